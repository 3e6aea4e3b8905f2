#include "tvqText.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>

namespace {

char Lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

}  // namespace

bool tvqSameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

bool tvqMatchesMask(std::string_view aText, std::string_view aMask) {
  // Iterative matching with one backtrack point for the last *.
  std::size_t t = 0, m = 0, starText = std::string_view::npos, starMask = std::string_view::npos;
  while (t < aText.size()) {
    if (m < aMask.size() && (aMask[m] == '?' || Lower(aMask[m]) == Lower(aText[t]))) {
      ++t;
      ++m;
    } else if (m < aMask.size() && aMask[m] == '*') {
      starMask = m++;
      starText = t;
    } else if (starMask != std::string_view::npos) {
      m = starMask + 1;
      t = ++starText;
    } else {
      return false;
    }
  }
  while (m < aMask.size() && aMask[m] == '*') ++m;
  return m == aMask.size();
}

bool tvqContainsText(std::string_view aText, std::string_view aPart) {
  return std::search(aText.begin(), aText.end(), aPart.begin(), aPart.end(),
                     [](char a, char b) { return Lower(a) == Lower(b); }) != aText.end() ||
         aPart.empty();
}

std::string_view tvqTrimBlanks(std::string_view aText) {
  while (!aText.empty() && (aText.front() == ' ' || aText.front() == '\t')) aText.remove_prefix(1);
  while (!aText.empty() && (aText.back() == ' ' || aText.back() == '\t')) aText.remove_suffix(1);
  return aText;
}

std::vector<std::string> TtvqSplitCommas(const std::string& aText) {
  std::vector<std::string> names;
  std::size_t start = 0;
  while (start <= aText.size()) {
    const std::size_t end = std::min(aText.find(',', start), aText.size());
    if (end > start) names.push_back(aText.substr(start, end - start));
    start = end + 1;
  }
  return names;
}

std::string tvqBase64Encode(std::string_view aBytes) {
  std::string text(4 * ((aBytes.size() + 2) / 3), '\0');
  const int written = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                      reinterpret_cast<const unsigned char*>(aBytes.data()),
                                      static_cast<int>(aBytes.size()));
  text.resize(static_cast<std::size_t>(std::max(written, 0)));
  return text;
}

bool tvqUTF8Lead(std::uint8_t aByte, int& aFollowing, std::uint8_t& aLo, std::uint8_t& aHi) {
  aLo = 0x80;
  aHi = 0xBF;
  if (aByte < 0x80) {
    aFollowing = 0;
  } else if (aByte >= 0xC2 && aByte <= 0xDF) {
    aFollowing = 1;
  } else if (aByte >= 0xE0 && aByte <= 0xEF) {
    aFollowing = 2;
    if (aByte == 0xE0) aLo = 0xA0;  // overlong
    if (aByte == 0xED) aHi = 0x9F;  // surrogates
  } else if (aByte >= 0xF0 && aByte <= 0xF4) {
    aFollowing = 3;
    if (aByte == 0xF0) aLo = 0x90;  // overlong
    if (aByte == 0xF4) aHi = 0x8F;  // above U+10FFFF
  } else {
    return false;
  }
  return true;
}

std::size_t tvqUTF8SequenceLength(const std::uint8_t* aBytes, std::size_t aLength) {
  int following = 0;
  std::uint8_t lo, hi;
  if (aLength == 0 || !tvqUTF8Lead(aBytes[0], following, lo, hi)) return 0;
  const auto length = static_cast<std::size_t>(following) + 1;
  if (length > aLength) return 0;  // cut off
  if (length == 1) return 1;
  if (aBytes[1] < lo || aBytes[1] > hi) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if ((aBytes[k] & 0xC0) != 0x80) return 0;
  return length;
}
