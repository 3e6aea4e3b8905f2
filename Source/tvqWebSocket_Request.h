// Public (no transport headers): a connection's first request read as plain text: the classifier that tells what
// kind of request it is and what the intake does with it, and the parser and answerer of the WebSocket opening
// handshake (RFC 6455 and Hixie-76). No connection object, no socket, no I/O: the server's intake and its
// connections feed these the bytes they gathered and carry out the result.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tvqWebSocket_Types.h"

// A request split into lines at its line breaks (CR LF or LF).
std::vector<std::string> tvqSplitRequestLines(const std::string& aText);

// The value of the first line that starts with aName (letter case ignored),
// what follows the name; empty when no line does.
std::string tvqHeaderValue(const std::vector<std::string>& aLines, std::string_view aName);

// ---------------------------------------------------------------- the kind of a first request

// What the classifier needs of the server's options.
struct TtvqRequestOptions {
  std::string IndexPage;  // the registered page served for "GET /"; empty: none
  bool HTMLFiles = true;
  bool JavascriptFiles = true;
  // The fallbacks' scripts are served before tvqWebSockets.js when they are on.
  bool FlashFallBack = false;
  bool EventStreamFallBack = false;
  // "GET /tvq/auth/info" is answered (with what the server asks of a login); off: it is an unknown request.
  bool AuthInfo = false;
  // The most distinct files one request may name in its comma list (0: no limit).
  int MaxFilesPerRequest = 16;
};

enum TtvqRequestKind {
  rkUnknown,       // none of the others: the application's OnUnknownProtocol decides
  rkAuthSession,   // GET /tvq/req/auth/session/...: closed without an answer
  rkUpgrade,       // a WebSocket upgrade: the handshake follows
  rkXHRPost,       // POST /tvq/xhr/<guid>: a message for another connection
  rkFallBack,      // the Flash policy request or an event stream: closed, the fallbacks are not served
  rkProtocolPost,  // POST /tvq/protocol/<name>/...: a sub-protocol's HTTP request
  rkFile,          // a built-in file: answered, then closed
  rkAuthInfo,      // GET /tvq/auth/info: what the server asks of a login, answered in JSON, then closed
};

enum TtvqFileKind {
  fkNone,
  fkIndexPage,   // the index page for "GET /"
  fkFiles,       // a script, page or style sheet named by the request
  fkFlashMovie,  // WebSocketMain.swf, answered when the program carries it
  fkFavicon,     // answered 404: there is no icon
  fkTooManyFiles,  // answered 400: more distinct files named than MaxFilesPerRequest
};

// Which built-in file a GET names.
struct TtvqFileRequest {
  TtvqFileKind Kind = fkNone;
  // fkIndexPage and fkFiles: the registered file names, comma-separated, whose contents are joined in this order;
  // each name once (letter case ignored, as the registry finds them), where it was first named.
  std::string Names;
  std::string ContentType;
};

// What the intake does with a first request.
struct TtvqRequest {
  TtvqRequestKind Kind = rkUnknown;
  // The transport the intake marks the connection with (trpUndefined: none). A file-shaped request marks trpHTTP
  // only on a connection without a transport, even when its kind of file is switched off and it goes on as
  // rkUnknown.
  TwsTransport Transport = trpUndefined;
  bool TransportIfUndefined = false;
  // The request's lines, kept as the connection's HeadersRequest (an upgrade's Hixie-76 body cut off).
  std::vector<std::string> Lines;
  // An upgrade: the input is cleared and only these bytes, the Hixie-76 body (up to 8), stay buffered; none when
  // there is no Hixie-76 body after a blank line.
  std::optional<std::string> Body;
  TtvqFileRequest File;  // rkFile: which file
};

// Classifies the first request; the first kind that matches wins, in the order the intake always checked them:
// auth session, upgrade, XHR post, Flash policy, event stream, protocol post, auth info, file, unknown.
TtvqRequest tvqClassifyRequest(const std::string& aText, const TtvqRequestOptions& aOptions);

// ---------------------------------------------------------------- when a first request is complete

enum TtvqRequestState {
  rsIncomplete,  // an HTTP request whose header, or body, has not all come: the rest is waited for, whatever the gaps
  rsComplete,    // an HTTP request with its header and its body (a Hixie-76 key's 8 bytes, a post's Content-Length)
  rsUnframed,    // not HTTP: complete once the line stays quiet for the read time-out, as always
};

// How far the bytes gathered so far are a request. A body longer than aMaxBody is not waited for (the request is
// refused when read).
TtvqRequestState tvqFirstRequestState(std::string_view aGathered, std::size_t aMaxBody);

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
// "...: Upgrade" for a Connection without it, and "...: GET", "...: Host", "...: Origin" and so on for a control
// character other than a tab in the request line or in a value it keeps); what the lines before it set stays in
// aInto.
void tvqParseHandshake(const std::vector<std::string>& aLines, TtvqWSHandShakeServer& aInto);
// Whether 8 body bytes (Key3) follow the headers: both numbered keys carry a value.
bool tvqHandshakeHasBody(const TtvqWSHandShakeServer& aHandshake);
// Keeps the body bytes in aInto.Key3 as hexadecimal digits.
void tvqRecordKey3(TtvqWSHandShakeServer& aInto, const std::string& aKey3);

// The server's decision on a parsed opening request.
struct TtvqHandshakeAnswer {
  bool Accepted = false;
  // Refused: the error text and the HTTP status of the refusal (426 for an unknown version, 403 for an origin
  // that is not allowed, else 400).
  std::string Error;
  int Status = 400;
  // What was decided before the checks ended; the connection keeps it also when they refuse: the framing (none when
  // there is no key at all) and the chosen sub-protocol (none when refused before or at the choice).
  std::optional<TwsSpecification> Specification;
  std::optional<std::string> Protocol;  // as the client wrote it; empty: no sub-protocol
  // Accepted: the 101 response lines. A Hixie-76 answer adds the challenge (tvqHixie76Challenge) after the blank
  // line; the connection computes it once OnHandshake has seen the lines, so a numbered key without blanks fails
  // there, after the event.
  std::vector<std::string> Lines;
};

// Checks the request and builds the answer lines. aAcceptedProtocols: the server's
// sub-protocols, comma-separated (the client's order and letter case decide the choice); aOriginsAllowed:
// comma-separated patterns (empty: any origin).
TtvqHandshakeAnswer tvqAnswerHandshake(const TtvqWSHandShakeServer& aHandshake,
                                       const std::string& aAcceptedProtocols, const std::string& aOriginsAllowed);

// ---------------------------------------------------------------- logins

// The login a request target carries: ".../tvq/auth/url/USER/PASSWORD", each segment percent-encoded (a
// missing password segment is an empty password; segments after it, and a query, are ignored).
struct TtvqLogin {
  bool Given = false;  // the target has the login path
  bool Valid = true;   // false: a segment is not valid percent-encoding, or the user is empty
  std::string User;
  std::string Password;
};
TtvqLogin tvqLoginOfTarget(std::string_view aTarget);
// The request target as it may be logged: the password segment of a login path replaced by "***".
std::string tvqTargetForLog(std::string_view aTarget);
// Percent-decoding of one URL segment; none for a broken escape.
std::optional<std::string> tvqPercentDecode(std::string_view aText);
