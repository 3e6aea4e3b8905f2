// Public: the text helpers every unit of the library shares: comparison and
// search with the letter case ignored, mask matching, blank trimming,
// comma-separated lists, base64, and the length of a UTF-8 sequence.
// tvqWebSocket_Classes.h and tvqWebSocket_HTTPResponse.h include it, so their
// includers see these as before.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Whether two texts are equal, the letter case of A to Z ignored.
bool tvqSameText(std::string_view a, std::string_view b);

// Whole-string match with * for any run and ? for one character, letter
// case ignored.
bool tvqMatchesMask(std::string_view aText, std::string_view aMask);
// Whether aText contains aPart, letter case ignored.
bool tvqContainsText(std::string_view aText, std::string_view aPart);

// aText without the blanks and tabs at its start and end.
std::string_view tvqTrimBlanks(std::string_view aText);

// Splits a comma-separated list; only commas separate, blanks belong to the
// names, empty names are dropped.
std::vector<std::string> TtvqSplitCommas(const std::string& aText);

// Standard base64 (RFC 4648, padded) of bytes.
std::string tvqBase64Encode(std::string_view aBytes);

// What a UTF-8 lead byte begins: how many continuation bytes follow (0 for
// ASCII) and the allowed range of the first of them (the later ones are
// 0x80 to 0xBF); false for a byte that cannot begin a well-formed sequence.
bool tvqUTF8Lead(std::uint8_t aByte, int& aFollowing, std::uint8_t& aLo, std::uint8_t& aHi);

// The length of the well-formed UTF-8 sequence at the start of aBytes
// (aLength bytes available): 1 to 4, or 0 when it is not well-formed
// (overlong, a surrogate, above U+10FFFF, cut off, a stray byte).
std::size_t tvqUTF8SequenceLength(const std::uint8_t* aBytes, std::size_t aLength);
