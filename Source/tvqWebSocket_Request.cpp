#include "tvqWebSocket_Request.h"

#include <openssl/evp.h>
#include <openssl/md5.h>
#include <openssl/sha.h>

#include <algorithm>
#include <charconv>
#include <cstdint>

#include "tvqText.h"

namespace {

constexpr const char* kServerLine = "Server: tvqWebSockets 4.4.6";

bool StartsWithText(const std::string& aLine, std::string_view aPrefix) {
  return aLine.size() >= aPrefix.size() && tvqMatchesMask(std::string_view(aLine).substr(0, aPrefix.size()), aPrefix);
}

// Whether any line contains aPart (letter case ignored).
bool AnyLineContains(const std::vector<std::string>& aLines, std::string_view aPart) {
  return std::any_of(aLines.begin(), aLines.end(), [&](const std::string& l) { return tvqContainsText(l, aPart); });
}

}  // namespace

std::vector<std::string> tvqSplitRequestLines(const std::string& aText) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < aText.size()) {
    std::size_t end = aText.find('\n', start);
    if (end == std::string::npos) end = aText.size();
    std::string line = aText.substr(start, end - start);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    start = end + 1;
  }
  return lines;
}

std::string tvqHeaderValue(const std::vector<std::string>& aLines, std::string_view aName) {
  for (const std::string& line : aLines)
    if (StartsWithText(line, aName)) return line.substr(aName.size());
  return {};
}

// ---------------------------------------------------------------- the kind of a first request

namespace {

// The last path segment of a request line's target ("GET /a/b.js HTTP/1.1": b.js).
std::string FileNameOf(const std::string& aRequestLine) {
  std::string target = aRequestLine.substr(4);
  const std::size_t http = target.find(" HTTP");
  if (http != std::string::npos) target.resize(http);
  const std::size_t slash = target.rfind('/');
  return slash == std::string::npos ? target : target.substr(slash + 1);
}

// "GET /" with or without a query, and a version after it.
bool IsRootRequest(const std::string& aRequestLine) {
  if (aRequestLine.size() < 5) return false;
  const std::string_view target = std::string_view(aRequestLine).substr(4);
  const std::string_view path = target.substr(0, target.find_first_of("? "));
  return path == "/" && target.find(' ') != std::string_view::npos;
}

// A comma list with each name once, where it first came (letter case ignored, as the registry finds files), and
// without empty names; a request that repeats one file cannot make its answer any larger.
std::vector<std::string> DistinctNames(const std::string& aList) {
  std::vector<std::string> names;
  for (std::string& name : TtvqSplitCommas(aList)) {
    const auto same = [&](const std::string& n) { return tvqSameText(n, name); };
    if (!name.empty() && std::none_of(names.begin(), names.end(), same)) names.push_back(std::move(name));
  }
  return names;
}

// Keeps each named file once; more distinct files than the limit refuse the request.
void LimitFileNames(const TtvqRequestOptions& aOptions, TtvqFileRequest& aFile) {
  const std::vector<std::string> names = DistinctNames(aFile.Names);
  if (aOptions.MaxFilesPerRequest > 0 && names.size() > static_cast<std::size_t>(aOptions.MaxFilesPerRequest)) {
    aFile = {fkTooManyFiles, {}, {}};
    return;
  }
  aFile.Names.clear();
  for (const std::string& name : names) aFile.Names += (aFile.Names.empty() ? "" : ",") + name;
}

// The built-in file a GET names (aRequestLine empty: not a GET). A file-shaped request marks trpHTTP on aInto even
// when its kind of file is switched off; then it names no file.
void ClassifyFile(const std::string& aRequestLine, const TtvqRequestOptions& aOptions, TtvqRequest& aInto) {
  TtvqFileRequest& file = aInto.File;
  const auto fileShaped = [&](bool aServed, TtvqFileKind aKind) {
    aInto.Transport = trpHTTP;
    aInto.TransportIfUndefined = true;
    if (aServed) file.Kind = aKind;
    return aServed;
  };
  if (!aOptions.IndexPage.empty() && IsRootRequest(aRequestLine)) {
    if (!fileShaped(aOptions.HTMLFiles, fkIndexPage)) return;
    file.Names = aOptions.IndexPage;
    file.ContentType = "text/html";
  } else if (tvqMatchesMask(aRequestLine, "GET *.js *")) {
    if (!fileShaped(aOptions.JavascriptFiles, fkFiles)) return;
    file.Names = FileNameOf(aRequestLine);
    if (file.Names == "tvqWebSockets.js") {
      if (aOptions.FlashFallBack) file.Names = "tvqWebSocketsFlash.js," + file.Names;
      if (aOptions.EventStreamFallBack) file.Names = "tvqWebSocketsEventSource.js," + file.Names;
    }
    file.ContentType = "text/javascript; charset=utf-8";
  } else if (tvqMatchesMask(aRequestLine, "GET *.html *") || tvqMatchesMask(aRequestLine, "GET *.css *")) {
    if (!fileShaped(aOptions.HTMLFiles, fkFiles)) return;
    file.Names = FileNameOf(aRequestLine);
    file.ContentType = tvqMatchesMask(aRequestLine, "GET *.css *") ? "text/css" : "text/html";
  } else if (tvqMatchesMask(aRequestLine, "GET *WebSocketMain.swf *")) {
    fileShaped(true, fkFlashMovie);
  } else if (tvqMatchesMask(aRequestLine, "GET *favicon*")) {
    fileShaped(true, fkFavicon);
  }
  if (file.Kind == fkFiles) LimitFileNames(aOptions, file);
}

// "GET /tvq/auth/info", with or without a query, and a version after it.
bool IsAuthInfoRequest(const std::string& aRequestLine) {
  if (aRequestLine.size() < 5) return false;
  const std::string_view target = std::string_view(aRequestLine).substr(4);
  const std::string_view path = target.substr(0, target.find_first_of("? "));
  return path == "/tvq/auth/info" && target.find(' ') != std::string_view::npos;
}

// An upgrade with both numbered keys keeps its body (what follows the blank line, at most 8 bytes) buffered for the
// handshake, and its lines end at the blank line.
void KeepHixie76Body(const std::string& aText, TtvqRequest& aInto) {
  const bool hixie =
      AnyLineContains(aInto.Lines, "Sec-WebSocket-Key1: ") && AnyLineContains(aInto.Lines, "Sec-WebSocket-Key2: ");
  std::size_t end = aText.find("\r\n\r\n");
  std::size_t bodyAt = end == std::string::npos ? std::string::npos : end + 4;
  if (end == std::string::npos && (end = aText.find("\n\n")) != std::string::npos) bodyAt = end + 2;
  if (!hixie || bodyAt == std::string::npos) return;
  aInto.Body = aText.substr(bodyAt, 8);
  aInto.Lines = tvqSplitRequestLines(aText.substr(0, end));
}

}  // namespace

TtvqRequest tvqClassifyRequest(const std::string& aText, const TtvqRequestOptions& aOptions) {
  TtvqRequest request;
  request.Lines = tvqSplitRequestLines(aText);
  const std::vector<std::string>& lines = request.Lines;
  const std::string first = lines.empty() ? std::string() : lines.front();
  const std::string requestLine = tvqMatchesMask(first, "GET *") ? first : std::string();
  const auto kind = [&](TtvqRequestKind aKind, TwsTransport aTransport = trpUndefined) {
    request.Kind = aKind;
    request.Transport = aTransport;
    return request;
  };

  if (!requestLine.empty() && tvqContainsText(requestLine, "GET /tvq/req/auth/session/")) return kind(rkAuthSession);
  if (!requestLine.empty() && tvqMatchesMask(first, "*HTTP/1.*") && AnyLineContains(lines, "Upgrade: websocket")) {
    KeepHixie76Body(aText, request);
    return kind(rkUpgrade);
  }
  if (tvqMatchesMask(first, "POST /tvq/xhr/*")) return kind(rkXHRPost, trpHTTP);
  if (first == "<policy-file-request/>") return kind(rkFallBack, trpFlash);
  const auto eventStream = [](const std::string& l) { return tvqMatchesMask(l, "Accept: text/event-stream"); };
  if (std::any_of(lines.begin(), lines.end(), eventStream)) return kind(rkFallBack, trpSSE);
  if (tvqMatchesMask(first, "POST /tvq/protocol/*")) return kind(rkProtocolPost, trpHTTP);
  if (aOptions.AuthInfo && IsAuthInfoRequest(requestLine)) return kind(rkAuthInfo, trpHTTP);
  ClassifyFile(requestLine, aOptions, request);
  request.Kind = request.File.Kind == fkNone ? rkUnknown : rkFile;
  return request;
}

// ---------------------------------------------------------------- when a first request is complete

namespace {

// Whether a request line can begin so: a method in capitals and a blank, or
// the first letters of one.
bool BeginsAsRequestLine(std::string_view aText) {
  constexpr std::size_t kLongestMethod = 16;
  std::size_t i = 0;
  while (i < aText.size() && i <= kLongestMethod && aText[i] >= 'A' && aText[i] <= 'Z') ++i;
  if (i == aText.size()) return i <= kLongestMethod;
  return i > 0 && aText[i] == ' ';
}

// The body a request's header announces: the Hixie-76 key's 8 bytes, or a
// post's Content-Length (none when it is not a number).
std::size_t AnnouncedBody(const std::vector<std::string>& aLines) {
  if (AnyLineContains(aLines, "Sec-WebSocket-Key1: ") && AnyLineContains(aLines, "Sec-WebSocket-Key2: ")) return 8;
  if (aLines.empty() || !tvqMatchesMask(aLines.front(), "POST *")) return 0;
  std::string value = tvqHeaderValue(aLines, "Content-Length: ");
  value.erase(0, value.find_first_not_of(' '));
  value.erase(value.find_last_not_of(' ') + 1);
  std::size_t length = 0;
  const auto [end, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
  return ec == std::errc() && end == value.data() + value.size() ? length : 0;
}

}  // namespace

TtvqRequestState tvqFirstRequestState(std::string_view aGathered, std::size_t aMaxBody) {
  const std::size_t lineEnd = aGathered.find('\n');
  std::string_view first = aGathered.substr(0, lineEnd);
  if (!BeginsAsRequestLine(first)) return rsUnframed;
  if (lineEnd == std::string_view::npos) return rsIncomplete;
  if (first.find(" HTTP/") == std::string_view::npos) return rsUnframed;
  // The header ends where the classifier ends it.
  std::size_t end = aGathered.find("\r\n\r\n");
  std::size_t bodyAt = end == std::string_view::npos ? std::string_view::npos : end + 4;
  if (end == std::string_view::npos && (end = aGathered.find("\n\n")) != std::string_view::npos) bodyAt = end + 2;
  if (bodyAt == std::string_view::npos) return rsIncomplete;
  const std::size_t body = AnnouncedBody(tvqSplitRequestLines(std::string(aGathered.substr(0, end))));
  if (body > aMaxBody) return rsComplete;
  return aGathered.size() - bodyAt >= body ? rsComplete : rsIncomplete;
}

// ---------------------------------------------------------------- the opening handshake

std::string tvqWebSocketAccept(const std::string& aKey) {
  const std::string text = aKey + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
  return tvqBase64Encode(std::string_view(reinterpret_cast<const char*>(digest), sizeof digest));
}

std::string tvqHixie76Challenge(const std::string& aKey1, const std::string& aKey2, const std::string& aKey3) {
  const auto keyValue = [](const std::string& aKey) {
    std::uint32_t number = 0, blanks = 0;
    for (char c : aKey) {
      if (c >= '0' && c <= '9') number = number * 10 + static_cast<std::uint32_t>(c - '0');
      if (c == ' ') ++blanks;
    }
    if (blanks == 0) throw TtvqWSException("Error decoding sec-webSocket-key.");
    return number / blanks;
  };
  const std::uint32_t k1 = keyValue(aKey1), k2 = keyValue(aKey2);
  unsigned char input[16];
  for (int i = 0; i < 4; ++i) {
    input[i] = static_cast<unsigned char>(k1 >> (24 - 8 * i));
    input[4 + i] = static_cast<unsigned char>(k2 >> (24 - 8 * i));
  }
  for (std::size_t i = 0; i < 8; ++i) input[8 + i] = i < aKey3.size() ? static_cast<unsigned char>(aKey3[i]) : 0;
  unsigned char digest[MD5_DIGEST_LENGTH];
  EVP_Digest(input, sizeof input, digest, nullptr, EVP_md5(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}

namespace {

// The header lines that only carry a value: their prefix (letter case
// ignored), presence flag and field.
struct THeaderField {
  std::string_view Prefix;
  bool TtvqWSHandShakeServer::*Present;
  std::string TtvqWSHandShakeServer::*Value;
  std::string_view Error;  // how a refusal names the header ("Error Decoding Header: <Error>")
};

const THeaderField kHeaderFields[] = {
    {"Host: ", &TtvqWSHandShakeServer::IsHost, &TtvqWSHandShakeServer::Host, "Host"},
    {"Sec-WebSocket-Key: ", &TtvqWSHandShakeServer::IsKey, &TtvqWSHandShakeServer::Key, "WebSocket-Key"},
    {"Origin: ", &TtvqWSHandShakeServer::IsOrigin, &TtvqWSHandShakeServer::Origin, "Origin"},
    {"Sec-WebSocket-Protocol: ", &TtvqWSHandShakeServer::IsProtocols, &TtvqWSHandShakeServer::Protocols,
     "WebSocket-Protocol"},
    {"Sec-WebSocket-Version: ", &TtvqWSHandShakeServer::IsVersion, &TtvqWSHandShakeServer::Version,
     "WebSocket Version"},
    {"Sec-WebSocket-Extensions: ", &TtvqWSHandShakeServer::IsExtensions, &TtvqWSHandShakeServer::Extensions,
     "WebSocket-Extensions"},
    {"Sec-WebSocket-Key1: ", &TtvqWSHandShakeServer::IsKey1, &TtvqWSHandShakeServer::Key1, "WebSocket-Key1"},
    {"Sec-WebSocket-Key2: ", &TtvqWSHandShakeServer::IsKey2, &TtvqWSHandShakeServer::Key2, "WebSocket-Key2"},
};

// Whether a header value holds a control character (a tab aside, which HTTP allows between words). The lines are
// split at line feeds, but a bare carriage return, a NUL or an escape stays inside a value, and the Hixie-76
// answer copies Host, Origin and the request target into its own header lines: such a request is refused, so
// nothing the client wrote can start a header line of the answer.
bool HasControlCharacter(std::string_view aValue) {
  return std::any_of(aValue.begin(), aValue.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b < 0x20 && b != '\t') || b == 0x7F;
  });
}

// A sub-protocol list split at its commas, each name without the blanks
// around it ("a, b" names a and b, as browsers write it).
std::vector<std::string> ProtocolNames(const std::string& aList) {
  std::vector<std::string> names;
  for (const std::string& part : TtvqSplitCommas(aList))
    if (const std::string_view name = tvqTrimBlanks(part); !name.empty()) names.emplace_back(name);
  return names;
}

// A header value without the blanks and tabs at its end (its start is the
// one blank after the colon).
std::string_view WithoutTrailingBlanks(std::string_view aValue) {
  while (!aValue.empty() && (aValue.back() == ' ' || aValue.back() == '\t')) aValue.remove_suffix(1);
  return aValue;
}

// A Sec-WebSocket-Key must be the base64 form of 16 bytes.
bool IsSixteenByteKey(std::string_view aKey) {
  aKey = WithoutTrailingBlanks(aKey);
  if (aKey.size() != 24 || aKey.substr(22) != "==") return false;
  unsigned char bytes[18];
  return EVP_DecodeBlock(bytes, reinterpret_cast<const unsigned char*>(aKey.data()), 24) == 18;
}

// The wire versions whose framing this server speaks: 13, and 8 of the
// draft that introduced the same framing.
bool IsKnownVersion(std::string_view aVersion) {
  aVersion = WithoutTrailingBlanks(aVersion);
  return aVersion == "13" || aVersion == "8";
}

// The first offered sub-protocol the server accepts, as the client wrote it
// (names compare without letter case); none when it accepts none of them.
std::optional<std::string> ChosenProtocol(const std::string& aOffered, const std::string& aAccepted) {
  const std::vector<std::string> accepted = ProtocolNames(aAccepted);
  for (const std::string& offered : ProtocolNames(aOffered))
    if (std::any_of(accepted.begin(), accepted.end(), [&](const std::string& a) { return tvqSameText(a, offered); }))
      return offered;
  return std::nullopt;
}

TtvqHandshakeAnswer Refusal(TtvqHandshakeAnswer aAnswer, std::string aError, int aStatus = 400) {
  aAnswer.Error = std::move(aError);
  aAnswer.Status = aStatus;
  return aAnswer;
}

// The 101 lines of an accepted request.
std::vector<std::string> ResponseLines(const TtvqWSHandShakeServer& h, TwsSpecification aSpecification,
                                       const std::string& aProtocol) {
  if (aSpecification == spHixie76)
    return {"HTTP/1.1 101 WebSocket Protocol Handshake", "Upgrade: WebSocket", "Connection: Upgrade",
            "Sec-WebSocket-Origin: " + h.Origin, "Sec-WebSocket-Location: ws://" + h.Host + h.Get,
            "Sec-WebSocket-Protocol: " + (aProtocol.empty() ? std::string("*") : aProtocol), kServerLine};
  std::vector<std::string> lines = {"HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade"};
  if (!aProtocol.empty()) lines.push_back("Sec-WebSocket-Protocol: " + aProtocol);
  lines.push_back("Sec-WebSocket-Accept: " + tvqWebSocketAccept(h.Key));
  lines.push_back(kServerLine);
  return lines;
}

}  // namespace

void tvqParseHandshake(const std::vector<std::string>& aLines, TtvqWSHandShakeServer& h) {
  for (const std::string& line : aLines) {
    if (StartsWithText(line, "GET /")) {
      h.IsGET = true;
      const std::size_t http = line.find(" HTTP");
      h.Get = line.substr(4, http == std::string::npos ? std::string::npos : http - 4);
      const std::size_t version = line.find("HTTP/");
      if ((version != std::string::npos && line.substr(version + 5) == "1.0") || HasControlCharacter(line))
        throw TtvqWSException("Error Decoding Header: GET");
    } else if (StartsWithText(line, "Upgrade: ")) {
      h.IsUpgrade = true;
      if (!tvqMatchesMask(line, "*websocket")) throw TtvqWSException("Error Decoding Header: WebSocket");
    } else if (StartsWithText(line, "Connection: ")) {
      h.IsConnection = true;
      if (!tvqMatchesMask(line, "*Upgrade*")) throw TtvqWSException("Error Decoding Header: Upgrade");
    } else {
      for (const THeaderField& field : kHeaderFields) {
        if (!StartsWithText(line, field.Prefix)) continue;
        h.*field.Present = true;
        h.*field.Value = line.substr(field.Prefix.size());
        if (HasControlCharacter(h.*field.Value))
          throw TtvqWSException("Error Decoding Header: " + std::string(field.Error));
        break;
      }
    }
  }
}

bool tvqHandshakeHasBody(const TtvqWSHandShakeServer& aHandshake) {
  return !aHandshake.Key1.empty() && !aHandshake.Key2.empty();
}

void tvqRecordKey3(TtvqWSHandShakeServer& aInto, const std::string& aKey3) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : aKey3) {
    const auto b = static_cast<std::uint8_t>(c);
    aInto.Key3 += {kHex[b >> 4], kHex[b & 0x0F]};
  }
}

// The checks run in the order the server always ran them; the first that
// fails refuses.
TtvqHandshakeAnswer tvqAnswerHandshake(const TtvqWSHandShakeServer& h,
                                       const std::string& aAcceptedProtocols, const std::string& aOriginsAllowed) {
  TtvqHandshakeAnswer answer;
  if (!h.IsKey && !h.IsKey1 && !h.IsKey2) return Refusal(answer, "Error Decoding Header: WebSocket-Key");
  const TwsSpecification specification = h.Key1.empty() ? spRFC6455 : spHixie76;
  answer.Specification = specification;
  if (specification == spRFC6455) {
    if (!IsSixteenByteKey(h.Key)) return Refusal(answer, "Error Decoding Header: WebSocket-Key");
    if (h.IsVersion && !IsKnownVersion(h.Version))
      return Refusal(answer, "Error Decoding Header: WebSocket Version", 426);
  }

  std::string chosen;
  if (!h.Protocols.empty()) {
    const std::optional<std::string> found = ChosenProtocol(h.Protocols, aAcceptedProtocols);
    if (!found) {
      std::string names;
      for (const std::string& offered : ProtocolNames(h.Protocols)) names += offered + "\n";
      return Refusal(answer, "Error Protocol: " + names + " not supported.");
    }
    chosen = *found;
  }
  answer.Protocol = chosen;

  if (!aOriginsAllowed.empty() && !h.Origin.empty()) {
    const std::vector<std::string> patterns = TtvqSplitCommas(aOriginsAllowed);
    const auto matches = [&](const std::string& p) { return tvqMatchesMask(h.Origin, p); };
    if (std::none_of(patterns.begin(), patterns.end(), matches))
      return Refusal(answer, "Origin " + h.Origin + " not allowed", 403);
  }

  answer.Accepted = true;
  answer.Lines = ResponseLines(h, specification, chosen);
  return answer;
}

// ---------------------------------------------------------------- logins

namespace {

constexpr std::string_view kLoginPath = "/tvq/auth/url/";

// Where the user segment of a login path starts; npos: no login path.
std::size_t LoginStart(std::string_view aTarget) {
  const std::string_view path = aTarget.substr(0, aTarget.find('?'));
  const std::size_t at = path.find(kLoginPath);
  return at == std::string_view::npos ? at : at + kLoginPath.size();
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<std::string> tvqPercentDecode(std::string_view aText) {
  std::string text;
  text.reserve(aText.size());
  for (std::size_t i = 0; i < aText.size(); ++i) {
    if (aText[i] != '%') {
      text += aText[i];
      continue;
    }
    if (i + 2 >= aText.size()) return std::nullopt;
    const int high = HexDigit(aText[i + 1]), low = HexDigit(aText[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    text += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return text;
}

TtvqLogin tvqLoginOfTarget(std::string_view aTarget) {
  TtvqLogin login;
  const std::size_t start = LoginStart(aTarget);
  if (start == std::string_view::npos) return login;
  login.Given = true;
  const std::string_view rest = aTarget.substr(start, aTarget.find('?', start) - start);
  const std::size_t slash = rest.find('/');
  const std::string_view user = rest.substr(0, slash);
  std::string_view password;
  if (slash != std::string_view::npos) {
    password = rest.substr(slash + 1);
    password = password.substr(0, password.find('/'));
  }
  const std::optional<std::string> userText = tvqPercentDecode(user), passwordText = tvqPercentDecode(password);
  if (!userText || !passwordText || userText->empty()) {
    login.Valid = false;
    return login;
  }
  login.User = *userText;
  login.Password = *passwordText;
  return login;
}

std::string tvqTargetForLog(std::string_view aTarget) {
  const std::size_t start = LoginStart(aTarget);
  if (start == std::string_view::npos) return std::string(aTarget);
  const std::size_t slash = aTarget.find('/', start);
  const std::size_t query = aTarget.find('?', start);
  if (slash == std::string_view::npos || (query != std::string_view::npos && query < slash))
    return std::string(aTarget);  // no password segment
  std::size_t end = aTarget.find_first_of("/?", slash + 1);
  if (end == std::string_view::npos) end = aTarget.size();
  return std::string(aTarget.substr(0, slash + 1)) + "***" + std::string(aTarget.substr(end));
}
