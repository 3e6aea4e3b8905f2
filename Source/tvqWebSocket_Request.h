// Public (no transport headers): the parser and answerer of the WebSocket opening handshake (RFC 6455 and
// Hixie-76), from a request's lines. No connection object, no socket, no I/O: the server's connections feed these
// the lines and bytes they gathered and carry out the result.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tvqWebSocket_Classes.h"

// ---------------------------------------------------------------- the opening handshake

// The parsed opening request.
struct TtvqWSHandShakeServer {
  std::string Get, Host, Origin, Key, Key1, Key2, Protocols, Version, Extensions;
  std::string Key3;  // the 8 body bytes of a Hixie-76 request, as 16 hexadecimal digits
  bool IsGET = false, IsUpgrade = false, IsConnection = false, IsHost = false, IsKey = false, IsKey1 = false,
       IsKey2 = false, IsOrigin = false, IsProtocols = false, IsVersion = false, IsExtensions = false;
};

// The RFC 6455 accept value of a Sec-WebSocket-Key.
std::string tvqWebSocketAccept(const std::string& aKey);
// The 16 bytes a Hixie-76 server answers for Key1, Key2 and the 8 body
// bytes; "Error decoding sec-webSocket-key." for a key without blanks.
std::string tvqHixie76Challenge(const std::string& aKey1, const std::string& aKey2, const std::string& aKey3);

// Reads the header lines into aInto, line by line (names' letter case ignored). Throws TtvqWSException at the first
// line that refuses the request ("Error Decoding Header: GET" for HTTP/1.0, "...: WebSocket" for another Upgrade,
// "...: Upgrade" for a Connection without it); what the lines before it set stays in aInto.
void tvqParseHandshake(const std::vector<std::string>& aLines, TtvqWSHandShakeServer& aInto);
// Whether 8 body bytes (Key3) follow the headers: both numbered keys carry a value.
bool tvqHandshakeHasBody(const TtvqWSHandShakeServer& aHandshake);
// Keeps the body bytes in aInto.Key3 as hexadecimal digits.
void tvqRecordKey3(TtvqWSHandShakeServer& aInto, const std::string& aKey3);

// The server's decision on a parsed opening request.
struct TtvqHandshakeAnswer {
  bool Accepted = false;
  // Refused: the error text and the HTTP status of the refusal (426 for an unknown version, else 400).
  std::string Error;
  int Status = 400;
  // What was decided before the checks ended; the connection keeps it also when they refuse: the framing (none when
  // there is no key at all) and the chosen sub-protocol (none when refused before or at the choice).
  std::optional<TwsSpecification> Specification;
  std::optional<std::string> Protocol;  // as the client wrote it; empty: no sub-protocol
  // Accepted: the 101 response lines, and for Hixie-76 the 16 challenge bytes after the blank line.
  std::vector<std::string> Lines;
  std::string Challenge;
  // Hixie-76 with a numbered key without blanks: the error the connection raises after OnHandshake has seen the
  // lines, when it would write the challenge.
  std::string ChallengeError;
};

// Checks the request and builds the answer. aKey3: the body bytes read; aAcceptedProtocols: the server's
// sub-protocols, comma-separated (the client's order and letter case decide the choice); aOriginsAllowed:
// comma-separated patterns (empty: any origin).
TtvqHandshakeAnswer tvqAnswerHandshake(const TtvqWSHandShakeServer& aHandshake, const std::string& aKey3,
                                       const std::string& aAcceptedProtocols, const std::string& aOriginsAllowed);
