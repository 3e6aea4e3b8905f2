// The first request read from plain text, without a socket: what kind of
// request it is, and how the opening handshake is parsed, refused or
// answered.
#include "tvqWebSocket_Request.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <ostream>

namespace {

using ::testing::ElementsAre;
using namespace std::string_literals;

const std::string kDataset = "dataset.tvq.tickerhall";
// The server's sub-protocols, as the program lists them.
const std::string kAccepted = "dataset.tvq.tickerhall,tvq.tickerhall";

// ---------------------------------------------------------------- lines and header values

TEST(RequestLines, SplitAtEitherLineBreakWithoutTheirCarriageReturns) {
  EXPECT_THAT(tvqSplitRequestLines("GET / HTTP/1.1\r\nHost: h\nX: 1\r\n\r\nbody"),
              ElementsAre("GET / HTTP/1.1", "Host: h", "X: 1", "", "body"));
  EXPECT_THAT(tvqSplitRequestLines(""), ElementsAre());
}

TEST(RequestLines, AHeaderValueIsTheFirstLineWithTheNameInAnyLetterCase) {
  const std::vector<std::string> lines = {"POST /x HTTP/1.1", "content-length: 5", "Content-Length: 7"};
  EXPECT_EQ(tvqHeaderValue(lines, "Content-Length: "), "5");
  EXPECT_EQ(tvqHeaderValue(lines, "Host: "), "");
}

// ---------------------------------------------------------------- kinds

const char* KindName(TtvqRequestKind aKind) {
  switch (aKind) {
    case rkUnknown: return "unknown";
    case rkAuthSession: return "auth session";
    case rkUpgrade: return "upgrade";
    case rkXHRPost: return "XHR post";
    case rkFallBack: return "fallback";
    case rkProtocolPost: return "protocol post";
    case rkFile: return "file";
    case rkAuthInfo: return "auth info";
  }
  return "?";
}

const std::string kUpgradeHeaders =
    "Host: h\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n";

struct TKindCase {
  std::string name, request;
  TtvqRequestKind kind;
  TwsTransport transport;
};

// The first kind that matches wins; the transport is what the intake marks.
TEST(RequestKind, FirstMatchWinsInTheIntakesOrder) {
  for (const TKindCase& c : {
           TKindCase{"auth session, even as an upgrade", "GET /tvq/req/auth/session/x HTTP/1.1\r\n" + kUpgradeHeaders,
                     rkAuthSession, trpUndefined},
           TKindCase{"auth session in other letters", "get /TVQ/REQ/Auth/Session/x HTTP/1.1\r\n\r\n", rkAuthSession,
                     trpUndefined},
           TKindCase{"upgrade", "GET /chat HTTP/1.1\r\n" + kUpgradeHeaders, rkUpgrade, trpUndefined},
           TKindCase{"upgrade in other letters", "get /chat http/1.1\r\nUPGRADE: WebSocket\r\n\r\n", rkUpgrade,
                     trpUndefined},
           TKindCase{"upgrade without a version", "GET /chat\r\n" + kUpgradeHeaders, rkUnknown, trpUndefined},
           TKindCase{"upgrade of a POST", "POST /chat HTTP/1.1\r\n" + kUpgradeHeaders, rkUnknown, trpUndefined},
           TKindCase{"XHR post", "POST /tvq/xhr/0123 HTTP/1.1\r\nContent-Length: 1\r\n\r\nx", rkXHRPost, trpHTTP},
           TKindCase{"XHR post with an upgrade line", "POST /tvq/xhr/0123 HTTP/1.1\r\n" + kUpgradeHeaders, rkXHRPost,
                     trpHTTP},
           TKindCase{"policy request", "<policy-file-request/>", rkFallBack, trpFlash},
           TKindCase{"policy request with more after it", std::string("<policy-file-request/>\0", 23), rkUnknown,
                     trpUndefined},
           TKindCase{"event stream", "GET /x HTTP/1.1\r\naccept: TEXT/EVENT-STREAM\r\n\r\n", rkFallBack, trpSSE},
           TKindCase{"event stream among other types", "GET /x HTTP/1.1\r\nAccept: text/event-stream, */*\r\n\r\n",
                     rkUnknown, trpUndefined},
           TKindCase{"event stream before a protocol post",
                     "POST /tvq/protocol/p/x HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", rkFallBack, trpSSE},
           TKindCase{"event stream of a script", "GET /a.js HTTP/1.1\r\nAccept: text/event-stream\r\n\r\n", rkFallBack,
                     trpSSE},
           TKindCase{"protocol post", "POST /tvq/protocol/p/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n", rkProtocolPost,
                     trpHTTP},
           TKindCase{"script", "GET /a.js HTTP/1.1\r\n\r\n", rkFile, trpHTTP},
           TKindCase{"script with a query", "GET /a.js?x=1 HTTP/1.1\r\n\r\n", rkUnknown, trpUndefined},
           TKindCase{"HEAD of a page", "HEAD /a.html HTTP/1.1\r\n\r\n", rkUnknown, trpUndefined},
           TKindCase{"POST of a page", "POST /a.html HTTP/1.1\r\n\r\n", rkUnknown, trpUndefined},
           TKindCase{"root without an index page", "GET / HTTP/1.1\r\n\r\n", rkUnknown, trpUndefined},
           TKindCase{"anything else", "hello", rkUnknown, trpUndefined},
       }) {
    SCOPED_TRACE(c.name);
    const TtvqRequest request = tvqClassifyRequest(c.request, {});
    EXPECT_STREQ(KindName(request.Kind), KindName(c.kind));
    EXPECT_EQ(request.Transport, c.transport);
    EXPECT_EQ(request.TransportIfUndefined, c.kind == rkFile);
    EXPECT_EQ(request.Lines, tvqSplitRequestLines(c.request));
    EXPECT_FALSE(request.Body.has_value());
  }
}

struct TFileCase {
  std::string requestLine;
  TtvqFileKind kind;
  std::string names, contentType;
};

TEST(RequestKind, WhichFileAGetNames) {
  TtvqRequestOptions options;
  options.IndexPage = "wsquotes.html";
  const std::string js = "text/javascript; charset=utf-8";
  for (const TFileCase& c : {
           TFileCase{"GET / HTTP/1.1", fkIndexPage, "wsquotes.html", "text/html"},
           TFileCase{"GET /? HTTP/1.1", fkIndexPage, "wsquotes.html", "text/html"},
           TFileCase{"GET /?host=a&port=1 HTTP/1.1", fkIndexPage, "wsquotes.html", "text/html"},
           TFileCase{"GET /tvqWebSockets.js HTTP/1.1", fkFiles, "tvqWebSockets.js", js},
           TFileCase{"GET /any/deeper/path/x.js HTTP/1.1", fkFiles, "x.js", js},
           TFileCase{"GET /X.JS HTTP/1.1", fkFiles, "X.JS", js},
           TFileCase{"GET /dataset.tvq.tickerhall.html HTTP/1.1", fkFiles, "dataset.tvq.tickerhall.html", "text/html"},
           TFileCase{"GET /style/site.css HTTP/1.1", fkFiles, "site.css", "text/css"},
           TFileCase{"GET /x.js", fkNone, "", ""},  // no version after the target
           TFileCase{"GET //x HTTP/1.1", fkNone, "", ""},
           TFileCase{"GET /index.htm HTTP/1.1", fkNone, "", ""},
           TFileCase{"GET /flash/WebSocketMain.swf HTTP/1.1", fkFlashMovie, "", ""},
           TFileCase{"GET /favicon.ico HTTP/1.1", fkFavicon, "", ""},
       }) {
    SCOPED_TRACE(c.requestLine);
    const TtvqRequest request = tvqClassifyRequest(c.requestLine + "\r\nHost: h\r\n\r\n", options);
    EXPECT_EQ(request.Kind, c.kind == fkNone ? rkUnknown : rkFile);
    EXPECT_EQ(request.File.Kind, c.kind);
    EXPECT_EQ(request.File.Names, c.names);
    EXPECT_EQ(request.File.ContentType, c.contentType);
  }
}

// The fallbacks' scripts come before the base script, and only for its exact name.
TEST(RequestKind, TheBaseScriptCarriesTheScriptsOfTheFallbacksThatAreOn) {
  struct Case {
    bool flash, eventStream;
    std::string requestLine, names;
  };
  for (const Case& c : {
           Case{false, false, "GET /tvqWebSockets.js HTTP/1.1", "tvqWebSockets.js"},
           Case{true, false, "GET /tvqWebSockets.js HTTP/1.1", "tvqWebSocketsFlash.js,tvqWebSockets.js"},
           Case{false, true, "GET /tvqWebSockets.js HTTP/1.1", "tvqWebSocketsEventSource.js,tvqWebSockets.js"},
           Case{true, true, "GET /tvqWebSockets.js HTTP/1.1",
                "tvqWebSocketsEventSource.js,tvqWebSocketsFlash.js,tvqWebSockets.js"},
           Case{true, true, "GET /TVQWEBSOCKETS.JS HTTP/1.1", "TVQWEBSOCKETS.JS"},
           Case{true, true, "GET /other.js HTTP/1.1", "other.js"},
       }) {
    SCOPED_TRACE(c.requestLine + (c.flash ? " flash" : "") + (c.eventStream ? " event stream" : ""));
    TtvqRequestOptions options;
    options.FlashFallBack = c.flash;
    options.EventStreamFallBack = c.eventStream;
    EXPECT_EQ(tvqClassifyRequest(c.requestLine + "\r\n\r\n", options).File.Names, c.names);
  }
}

// A comma list names each file once, where it first came, however often the request repeats it; more distinct
// files than the limit refuse the request, so a short request cannot ask for a large answer.
TEST(RequestKind, AFileListNamesEachFileOnceAndAtMostTheLimit) {
  struct Case {
    std::string name, requestLine;
    int limit;
    TtvqFileKind kind;
    std::string names;
  };
  std::string repeated = "GET /";
  for (int i = 0; i < 40; ++i) repeated += "tvq.tickerhall.js,";
  repeated += "tvq.tickerhall.js HTTP/1.1";
  std::string seventeen = "GET /", sixteen = "GET /", sixteenNames;
  for (int i = 0; i < 17; ++i) {
    const std::string file = "f" + std::to_string(i) + ".js";
    seventeen += file + (i < 16 ? "," : " HTTP/1.1");
    if (i < 16) {
      sixteen += file + (i < 15 ? "," : " HTTP/1.1");
      sixteenNames += file + (i < 15 ? "," : "");
    }
  }
  for (const Case& c : {
           Case{"one file 41 times", repeated, 16, fkFiles, "tvq.tickerhall.js"},
           Case{"repeats in another letter case", "GET /a.js,b.js,A.JS,b.js,c.js HTTP/1.1", 16, fkFiles,
                "a.js,b.js,c.js"},
           Case{"empty names left out", "GET /a.css,,a.css,b.css HTTP/1.1", 16, fkFiles, "a.css,b.css"},
           Case{"pages too", "GET /x.html,y.html,x.html HTTP/1.1", 2, fkFiles, "x.html,y.html"},
           Case{"as many as the limit", sixteen, 16, fkFiles, sixteenNames},
           Case{"one more than the limit", seventeen, 16, fkTooManyFiles, ""},
           Case{"three distinct among repeats, limit 2", "GET /a.js,a.js,b.js,c.js HTTP/1.1", 2, fkTooManyFiles, ""},
           Case{"no limit", seventeen, 0, fkFiles, sixteenNames + ",f16.js"},
       }) {
    SCOPED_TRACE(c.name);
    TtvqRequestOptions options;
    options.MaxFilesPerRequest = c.limit;
    const TtvqRequest request = tvqClassifyRequest(c.requestLine + "\r\nHost: h\r\n\r\n", options);
    EXPECT_EQ(request.Kind, rkFile);
    EXPECT_EQ(request.File.Kind, c.kind);
    EXPECT_EQ(request.File.Names, c.names);
    EXPECT_EQ(request.Transport, trpHTTP);
  }
}

// The fallbacks' scripts count among the base script's files.
TEST(RequestKind, TheFallbacksScriptsCountAgainstTheFileLimit) {
  TtvqRequestOptions options;
  options.FlashFallBack = options.EventStreamFallBack = true;
  options.MaxFilesPerRequest = 2;
  EXPECT_EQ(tvqClassifyRequest("GET /tvqWebSockets.js HTTP/1.1\r\n\r\n", options).File.Kind, fkTooManyFiles);
  options.MaxFilesPerRequest = 3;
  EXPECT_EQ(tvqClassifyRequest("GET /tvqWebSockets.js HTTP/1.1\r\n\r\n", options).File.Names,
            "tvqWebSocketsEventSource.js,tvqWebSocketsFlash.js,tvqWebSockets.js");
}

// A request for a kind of file that is switched off is not answered as a
// file, yet it still marks the connection's transport as HTTP.
TEST(RequestKind, ASwitchedOffFileGoesOnAsUnknownMarkedHTTP) {
  struct Case {
    std::string requestLine;
    bool html, javascript;
  };
  for (const Case& c : {Case{"GET / HTTP/1.1", false, true}, Case{"GET /a.html HTTP/1.1", false, true},
                        Case{"GET /a.css HTTP/1.1", false, true}, Case{"GET /a.js HTTP/1.1", true, false}}) {
    SCOPED_TRACE(c.requestLine);
    TtvqRequestOptions options;
    options.IndexPage = "wsquotes.html";
    options.HTMLFiles = c.html;
    options.JavascriptFiles = c.javascript;
    const TtvqRequest request = tvqClassifyRequest(c.requestLine + "\r\n\r\n", options);
    EXPECT_EQ(request.Kind, rkUnknown);
    EXPECT_EQ(request.File.Kind, fkNone);
    EXPECT_EQ(request.Transport, trpHTTP);
    EXPECT_TRUE(request.TransportIfUndefined);
  }
}

// ---------------------------------------------------------------- what an upgrade leaves buffered

const std::string kHixieHeaders =
    "GET /demo HTTP/1.1\r\nHost: example.com\r\nConnection: Upgrade\r\nSec-WebSocket-Key2: 12998 5 Y3 1  .P00\r\n"
    "Upgrade: WebSocket\r\nSec-WebSocket-Key1: 4 @1  46546xW%0l 1 5\r\nOrigin: http://example.com";

TEST(RequestUpgrade, OnlyAHixie76BodyStaysBufferedAndLeavesTheLines) {
  struct Case {
    std::string name, request;
    std::optional<std::string> body;
    std::size_t lines;
  };
  const std::string rfc = "GET /chat HTTP/1.1\r\n" + kUpgradeHeaders;
  for (const Case& c : {
           Case{"Hixie-76 body", kHixieHeaders + "\r\n\r\n^n:ds[4U", "^n:ds[4U", 7},
           Case{"more than the body", kHixieHeaders + "\r\n\r\n^n:ds[4U\x00hi\xFF"s, "^n:ds[4U", 7},
           Case{"body not come yet", kHixieHeaders + "\r\n\r\n", "", 7},
           Case{"bare line feeds", tvqSplitRequestLines(kHixieHeaders).front() + "\nUpgrade: websocket\n"
                                   "Sec-WebSocket-Key1: 1 2\nSec-WebSocket-Key2: 3 4\n\nABCDEFGH",
                "ABCDEFGH", 4},
           Case{"no blank line", kHixieHeaders + "\r\n", std::nullopt, 7},
           Case{"one numbered key only", "GET /d HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key1: 1 2\r\n\r\nABCD",
                std::nullopt, 5},
           Case{"RFC 6455 with bytes after it", rfc + "\x81\x80", std::nullopt, 7},
       }) {
    SCOPED_TRACE(c.name);
    const TtvqRequest request = tvqClassifyRequest(c.request, {});
    ASSERT_EQ(request.Kind, rkUpgrade);
    EXPECT_EQ(request.Body, c.body);
    EXPECT_EQ(request.Lines.size(), c.lines);
  }
}

// ---------------------------------------------------------------- the handshake

// The RFC 6455 sample request, one header a line.
std::vector<std::string> SampleRequest() {
  return {"GET /chat HTTP/1.1",
          "Host: server.example.com",
          "Upgrade: websocket",
          "Connection: Upgrade",
          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==",
          "Origin: http://example.com",
          "Sec-WebSocket-Protocol: chat, dataset.tvq.tickerhall",
          "Sec-WebSocket-Version: 13",
          ""};
}

// The Hixie-76 draft's example request (its body is "^n:ds[4U").
std::vector<std::string> HixieRequest() { return tvqSplitRequestLines(kHixieHeaders + "\r\n\r\n"); }

// aLines with the header named aName replaced by aLine, or removed when aLine
// is empty; added before the blank line when no line has that name.
std::vector<std::string> With(std::vector<std::string> aLines, const std::string& aName, const std::string& aLine) {
  const auto named = [&](const std::string& l) { return l.rfind(aName, 0) == 0; };
  const auto it = std::find_if(aLines.begin(), aLines.end(), named);
  if (it == aLines.end())
    aLines.insert(aLines.end() - 1, aLine);
  else if (aLine.empty())
    aLines.erase(it);
  else
    *it = aLine;
  return aLines;
}

TEST(Handshake, ParsesEveryFieldWhateverTheLetterCaseOfTheNames) {
  TtvqWSHandShakeServer h;
  tvqParseHandshake(With(With(SampleRequest(), "Origin", "origin: http://example.com"), "Sec-WebSocket-Extensions",
                         "SEC-WEBSOCKET-EXTENSIONS: permessage-deflate"),
                    h);
  EXPECT_TRUE(h.IsGET && h.IsUpgrade && h.IsConnection && h.IsHost && h.IsKey && h.IsOrigin && h.IsProtocols &&
              h.IsVersion && h.IsExtensions);
  EXPECT_FALSE(h.IsKey1 || h.IsKey2);
  EXPECT_EQ(h.Get, "/chat");
  EXPECT_EQ(h.Host, "server.example.com");
  EXPECT_EQ(h.Key, "dGhlIHNhbXBsZSBub25jZQ==");
  EXPECT_EQ(h.Origin, "http://example.com");
  EXPECT_EQ(h.Protocols, "chat, dataset.tvq.tickerhall");
  EXPECT_EQ(h.Version, "13");
  EXPECT_EQ(h.Extensions, "permessage-deflate");
  EXPECT_FALSE(tvqHandshakeHasBody(h));
}

// A refusal as the connection meets it: thrown by the parser, or returned
// by the answer; its error text and the HTTP status it is answered with.
struct TRefusal {
  std::string error;
  int status = 0;
  bool operator==(const TRefusal&) const = default;
};

TRefusal RefusalOf(const std::vector<std::string>& aLines, const std::string& aOrigins = "") {
  TtvqWSHandShakeServer h;
  try {
    tvqParseHandshake(aLines, h);
  } catch (const TtvqWSException& e) {
    return {e.what(), 400};
  }
  const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, aOrigins);
  return answer.Accepted ? TRefusal{} : TRefusal{answer.Error, answer.Status};
}

void PrintTo(const TRefusal& aRefusal, std::ostream* aOut) {
  *aOut << (aRefusal.status ? std::to_string(aRefusal.status) + " " + aRefusal.error : "accepted");
}

TEST(Handshake, EachRefusalWithItsTextAndStatus) {
  struct Case {
    std::string name, header, line;
    TRefusal refusal;
  };
  const TRefusal accepted;
  const TRefusal badKey{"Error Decoding Header: WebSocket-Key", 400};
  for (const Case& c : {
           Case{"HTTP/1.0", "GET", "GET /chat HTTP/1.0", {"Error Decoding Header: GET", 400}},
           Case{"another upgrade", "Upgrade", "Upgrade: h2c", {"Error Decoding Header: WebSocket", 400}},
           Case{"upgrade in other letters", "Upgrade", "upgrade: WEBSOCKET", accepted},
           Case{"connection without upgrade", "Connection", "Connection: keep-alive",
                {"Error Decoding Header: Upgrade", 400}},
           Case{"connection among others", "Connection", "Connection: keep-alive, Upgrade", accepted},
           Case{"no key", "Sec-WebSocket-Key", "", badKey},
           Case{"key of 8 bytes", "Sec-WebSocket-Key", "Sec-WebSocket-Key: AAAAAAAAAAA=", badKey},
           Case{"key of 17 bytes", "Sec-WebSocket-Key", "Sec-WebSocket-Key: AAAAAAAAAAAAAAAAAAAAAAA=", badKey},
           Case{"key not base64", "Sec-WebSocket-Key", "Sec-WebSocket-Key: ????????????????????????", badKey},
           Case{"key with blanks after it", "Sec-WebSocket-Key", "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ== \t",
                accepted},
           Case{"unknown version", "Sec-WebSocket-Version", "Sec-WebSocket-Version: 99",
                {"Error Decoding Header: WebSocket Version", 426}},
           Case{"version 8", "Sec-WebSocket-Version", "Sec-WebSocket-Version: 8", accepted},
           Case{"version with a blank after it", "Sec-WebSocket-Version", "Sec-WebSocket-Version: 13 ", accepted},
           Case{"no version", "Sec-WebSocket-Version", "", accepted},
           Case{"protocols not offered", "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: chat, superchat",
                {"Error Protocol: chat\nsuperchat\n not supported.", 400}},
           Case{"only blanks between commas", "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol:  , ",
                {"Error Protocol:  not supported.", 400}},
           Case{"a blank after a comma", "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: chat, tvq.tickerhall",
                accepted},
           Case{"no protocol", "Sec-WebSocket-Protocol", "", accepted},
       }) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(RefusalOf(With(SampleRequest(), c.header, c.line)), c.refusal);
  }
}

// A control character (a tab aside) in the request line or in a header value the server keeps refuses the request:
// the Hixie-76 answer copies Host, Origin and the target into its own header lines, and nothing the client wrote may
// start a line there. A line feed already ends a line, so what follows it is a header of its own, never a value.
TEST(Handshake, AControlCharacterInAKeptValueRefusesTheRequest) {
  struct Case {
    std::string name, header, line;
    TRefusal refusal;
  };
  const TRefusal accepted;
  const TRefusal badHost{"Error Decoding Header: Host", 400}, badOrigin{"Error Decoding Header: Origin", 400};
  for (const auto& request : {SampleRequest(), HixieRequest()}) {
    const bool hixie = request.front() == "GET /demo HTTP/1.1";
    for (const Case& c : {
             Case{"bare CR in Host", "Host", "Host: a.example\rSet-Cookie: x=1", badHost},
             Case{"CR at the end of Host", "Host", "Host: a.example\r", badHost},
             Case{"NUL in Host", "Host", "Host: a\0b"s, badHost},
             Case{"escape in Host", "Host", "Host: a\x1b[2Jb", badHost},
             Case{"DEL in Host", "Host", "Host: a\x7f", badHost},
             Case{"bare CR in Origin", "Origin", "Origin: http://a\rX-Injected: 1", badOrigin},
             Case{"vertical tab in Origin", "Origin", "Origin: http://a\vb", badOrigin},
             Case{"CR in the target", "GET", "GET /demo\rX-Injected: 1 HTTP/1.1", {"Error Decoding Header: GET", 400}},
             Case{"CR in the protocols", "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: tvq.tickerhall\r",
                  {"Error Decoding Header: WebSocket-Protocol", 400}},
             Case{"CR in the extensions", "Sec-WebSocket-Extensions", "Sec-WebSocket-Extensions: x\ry",
                  {"Error Decoding Header: WebSocket-Extensions", 400}},
             Case{"tab in Origin", "Origin", "Origin: http://a\tb", accepted},
             Case{"UTF-8 in Host", "Host", "Host: b\xC3\xBC" "cher.example", accepted},
         }) {
      SCOPED_TRACE(std::string(hixie ? "Hixie-76: " : "RFC 6455: ") + c.name);
      EXPECT_EQ(RefusalOf(With(request, c.header, c.line)), c.refusal);
    }
  }
}

// What an accepted Hixie-76 answer copies from the request holds no control character, whatever came around it.
TEST(Handshake, TheHixie76AnswerCarriesNoLineTheClientWrote) {
  for (const std::string& host : {"Host: a.example\nX-Injected: 1"s, "Host: a.example\r\nX-Injected: 1"s}) {
    SCOPED_TRACE(host);
    TtvqWSHandShakeServer h;
    std::vector<std::string> lines = HixieRequest();
    lines.erase(lines.begin() + 1);  // the Host line, replaced by the split text below
    const std::vector<std::string> split = tvqSplitRequestLines(host);
    lines.insert(lines.begin() + 1, split.begin(), split.end());
    tvqParseHandshake(lines, h);
    const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, "");
    ASSERT_TRUE(answer.Accepted) << answer.Error;
    for (const std::string& l : answer.Lines) {
      EXPECT_EQ(l.find_first_of("\r\n"), std::string::npos) << l;
      EXPECT_EQ(l.find("X-Injected"), std::string::npos) << l;
    }
    EXPECT_EQ(answer.Lines.at(4), "Sec-WebSocket-Location: ws://a.example/demo");
  }
}

// The parser stops at the refusing line: what came before it is kept (the
// connection's URL is its Get), nothing after it is read.
TEST(Handshake, ARefusingLineKeepsWhatCameBeforeIt) {
  TtvqWSHandShakeServer h;
  EXPECT_THROW(tvqParseHandshake(With(SampleRequest(), "Connection", "Connection: close"), h), TtvqWSException);
  EXPECT_EQ(h.Get, "/chat");
  EXPECT_TRUE(h.IsHost && h.IsUpgrade && h.IsConnection);
  EXPECT_FALSE(h.IsKey);
}

// A foreign page is forbidden (403), not a malformed request.
TEST(Handshake, OriginsOutsideTheAllowedPatternsAreRefused) {
  struct Case {
    std::string origin, allowed;
    bool accepted;
  };
  for (const Case& c : {Case{"http://trusted.host", "http://trusted.*,https://*.example.org", true},
                        Case{"https://app.example.org", "http://trusted.*,https://*.example.org", true},
                        Case{"HTTP://TRUSTED.HOST", "http://trusted.*", true},
                        Case{"http://example.com", "http://trusted.*,https://*.example.org", false},
                        Case{"http://example.com", "", true},
                        Case{"", "http://trusted.*", true}}) {
    SCOPED_TRACE(c.origin + " in " + c.allowed);
    const std::string line = c.origin.empty() ? "" : "Origin: " + c.origin;
    const std::vector<std::string> lines = With(SampleRequest(), "Origin", line);
    const TRefusal expected = c.accepted ? TRefusal{} : TRefusal{"Origin " + c.origin + " not allowed", 403};
    EXPECT_EQ(RefusalOf(lines, c.allowed), expected);
  }
}

// The connection keeps what was decided before a refusal (its framing, its
// chosen sub-protocol): the error reaches the components by that protocol.
TEST(Handshake, ARefusalCarriesWhatWasDecidedBeforeIt) {
  struct Case {
    std::string name, header, line, origins;
    std::optional<TwsSpecification> specification;
    std::optional<std::string> protocol;
  };
  for (const Case& c : {
           Case{"no key", "Sec-WebSocket-Key", "", "", std::nullopt, std::nullopt},
           Case{"bad key", "Sec-WebSocket-Key", "Sec-WebSocket-Key: x", "", spRFC6455, std::nullopt},
           Case{"protocol", "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: chat", "", spRFC6455, std::nullopt},
           Case{"origin", "Origin", "Origin: http://elsewhere", "http://example.com", spRFC6455, kDataset},
           Case{"origin without a protocol", "Sec-WebSocket-Protocol", "", "http://elsewhere", spRFC6455, ""},
       }) {
    SCOPED_TRACE(c.name);
    TtvqWSHandShakeServer h;
    tvqParseHandshake(With(SampleRequest(), c.header, c.line), h);
    const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, c.origins);
    EXPECT_FALSE(answer.Accepted);
    EXPECT_EQ(answer.Specification, c.specification);
    EXPECT_EQ(answer.Protocol, c.protocol);
    EXPECT_TRUE(answer.Lines.empty());
  }
}

TEST(Handshake, AnswersTheRFC6455SampleRequest) {
  TtvqWSHandShakeServer h;
  tvqParseHandshake(SampleRequest(), h);
  const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, "http://example.com");
  ASSERT_TRUE(answer.Accepted) << answer.Error;
  EXPECT_EQ(answer.Specification, spRFC6455);
  EXPECT_EQ(answer.Protocol, kDataset);
  EXPECT_THAT(answer.Lines, ElementsAre("HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
                                        "Sec-WebSocket-Protocol: dataset.tvq.tickerhall",
                                        "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=",
                                        "Server: tvqWebSockets 4.4.6"));
  EXPECT_EQ(tvqWebSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");

  TtvqWSHandShakeServer noProtocol;
  tvqParseHandshake(With(SampleRequest(), "Sec-WebSocket-Protocol", ""), noProtocol);
  EXPECT_THAT(tvqAnswerHandshake(noProtocol, kAccepted, "").Lines,
              ElementsAre("HTTP/1.1 101 Switching Protocols", "Upgrade: websocket", "Connection: Upgrade",
                          "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=", "Server: tvqWebSockets 4.4.6"));
}

// The first offered name the server accepts is chosen, written as the
// client wrote it; the server's own order does not count.
TEST(Handshake, TheClientsOrderAndLetterCaseChooseTheProtocol) {
  struct Case {
    std::string offered, accepted, chosen;
  };
  for (const Case& c : {Case{"dataset.tvq.tickerhall", kAccepted, kDataset},
                        Case{"tvq.tickerhall,dataset.tvq.tickerhall", kAccepted, "tvq.tickerhall"},
                        Case{"chat, DATASET.tvq.tickerhall ,tvq.tickerhall", kAccepted, "DATASET.tvq.tickerhall"},
                        Case{"Tvq.Tickerhall", "dataset.tvq.tickerhall, tvq.tickerhall", "Tvq.Tickerhall"}}) {
    SCOPED_TRACE(c.offered + " / " + c.accepted);
    TtvqWSHandShakeServer h;
    tvqParseHandshake(With(SampleRequest(), "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: " + c.offered), h);
    const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, c.accepted, "");
    ASSERT_TRUE(answer.Accepted) << answer.Error;
    EXPECT_EQ(answer.Protocol, c.chosen);
    EXPECT_EQ(answer.Lines.at(3), "Sec-WebSocket-Protocol: " + c.chosen);
  }
}

TEST(Handshake, AnswersTheHixie76DraftsExample) {
  TtvqWSHandShakeServer h;
  tvqParseHandshake(HixieRequest(), h);
  ASSERT_TRUE(tvqHandshakeHasBody(h));
  tvqRecordKey3(h, "^n:ds[4U");
  EXPECT_EQ(h.Key3, "5E6E3A64735B3455");
  const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, "");
  ASSERT_TRUE(answer.Accepted) << answer.Error;
  EXPECT_EQ(answer.Specification, spHixie76);
  EXPECT_THAT(answer.Lines, ElementsAre("HTTP/1.1 101 WebSocket Protocol Handshake", "Upgrade: WebSocket",
                                        "Connection: Upgrade", "Sec-WebSocket-Origin: http://example.com",
                                        "Sec-WebSocket-Location: ws://example.com/demo", "Sec-WebSocket-Protocol: *",
                                        "Server: tvqWebSockets 4.4.6"));
  EXPECT_EQ(tvqHixie76Challenge(h.Key1, h.Key2, "^n:ds[4U"), "8jKS'y:G*Co,Wxa-");

  TtvqWSHandShakeServer withProtocol;
  tvqParseHandshake(With(HixieRequest(), "Sec-WebSocket-Protocol", "Sec-WebSocket-Protocol: tvq.tickerhall"),
                    withProtocol);
  EXPECT_EQ(tvqAnswerHandshake(withProtocol, kAccepted, "").Lines.at(5),
            "Sec-WebSocket-Protocol: tvq.tickerhall");
}

// A numbered key without blanks does not refuse the answer: its error comes
// from the challenge, which the connection writes after OnHandshake has seen
// the lines.
TEST(Handshake, AHixie76KeyWithoutBlanksFailsAtTheChallenge) {
  struct Case {
    std::string name, header, line;
  };
  for (const Case& c : {Case{"first key without blanks", "Sec-WebSocket-Key1", "Sec-WebSocket-Key1: 12345"},
                        Case{"no second key", "Sec-WebSocket-Key2", ""}}) {
    SCOPED_TRACE(c.name);
    TtvqWSHandShakeServer h;
    tvqParseHandshake(With(HixieRequest(), c.header, c.line), h);
    const TtvqHandshakeAnswer answer = tvqAnswerHandshake(h, kAccepted, "");
    EXPECT_TRUE(answer.Accepted);
    EXPECT_EQ(answer.Lines.size(), 7u);
    try {
      tvqHixie76Challenge(h.Key1, h.Key2, "^n:ds[4U");
      ADD_FAILURE() << "no error from the challenge";
    } catch (const TtvqWSException& e) {
      EXPECT_STREQ(e.what(), "Error decoding sec-webSocket-key.");
    }
  }
}

// When the intake has a whole first request: an HTTP request at its blank
// line and its body, whatever is still missing is waited for; anything else
// is left to the quiet window.
TEST(FirstRequestState, AnHTTPRequestEndsAtItsBlankLineAndBody) {
  const std::string hixie = "GET /d HTTP/1.1\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key1: 1 2\r\nSec-WebSocket-Key2: 3 4\r\n\r\n";
  const std::string post = "POST /tvq/xhr/g HTTP/1.1\r\nContent-Length: 5\r\n\r\n";
  const struct {
    std::string gathered;
    TtvqRequestState state;
  } cases[] = {
      {"", rsIncomplete},
      {"G", rsIncomplete},
      {"GET /chat HT", rsIncomplete},
      {"GET /chat HTTP/1.1\r\nHost: h\r\n", rsIncomplete},
      {"GET /chat HTTP/1.1\r\nHost: h\r\n\r\n", rsComplete},
      {"GET /chat HTTP/1.1\nHost: h\n\n", rsComplete},
      {hixie, rsIncomplete},
      {hixie + "1234567", rsIncomplete},
      {hixie + "12345678", rsComplete},
      {post + "abcd", rsIncomplete},
      {post + "abcde", rsComplete},
      {"POST /x HTTP/1.1\r\nContent-Length: 99999\r\n\r\n", rsComplete},  // past the largest body: refused when read
      {"POST /x HTTP/1.1\r\nContent-Length: many\r\n\r\n", rsComplete},
      {"<policy-file-request/>", rsUnframed},
      {std::string("\x81\x85", 2), rsUnframed},
      {"get / HTTP/1.1\r\n", rsUnframed},
      {"GET /\r\n", rsUnframed},  // no version: not a request this server waits on
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZ", rsUnframed},
  };
  for (const auto& c : cases) EXPECT_EQ(tvqFirstRequestState(c.gathered, 16384), c.state) << c.gathered;
}

// ---------------------------------------------------------------- logins

// The login path of a request target, its segments percent-decoded.
TEST(Login, TheTargetsLoginPathGivesUserAndPassword) {
  struct Case {
    std::string target;
    bool given, valid;
    std::string user, password;
  };
  for (const Case& c : {
           Case{"/", false, true, "", ""},
           Case{"/chat?user=a", false, true, "", ""},
           Case{"/tvq/auth/url/alice/secret", true, true, "alice", "secret"},
           Case{"/tvq/auth/url/alice/", true, true, "alice", ""},
           Case{"/tvq/auth/url/alice", true, true, "alice", ""},
           Case{"/quotes/tvq/auth/url/alice/pw/dataset.tvq.tickerhall", true, true, "alice", "pw"},
           Case{"/tvq/auth/url/al%20ice/p%2Fw%25%3F%23", true, true, "al ice", "p/w%?#"},
           Case{"/tvq/auth/url/alice/pw?x=1", true, true, "alice", "pw"},
           Case{"/tvq/auth/url/alice/%C3%A9t%C3%A9", true, true, "alice", "\xC3\xA9t\xC3\xA9"},
           Case{"/tvq/auth/url//pw", true, false, "", ""},
           Case{"/tvq/auth/url/alice/%zz", true, false, "", ""},
           Case{"/tvq/auth/url/alice/%4", true, false, "", ""},
           Case{"/tvq/auth/url/%/pw", true, false, "", ""},
           Case{"/x?/tvq/auth/url/alice/pw", false, true, "", ""},  // in the query, not the path
       }) {
    SCOPED_TRACE(c.target);
    const TtvqLogin login = tvqLoginOfTarget(c.target);
    EXPECT_EQ(login.Given, c.given);
    EXPECT_EQ(login.Valid, c.valid);
    EXPECT_EQ(login.User, c.user);
    EXPECT_EQ(login.Password, c.password);
  }
}

// A target may be logged only with its password hidden.
TEST(Login, ALoggedTargetHidesThePassword) {
  struct Case {
    std::string target, logged;
  };
  for (const Case& c : {
           Case{"/", "/"},
           Case{"/tvq/auth/url/alice/secret", "/tvq/auth/url/alice/***"},
           Case{"/tvq/auth/url/alice/", "/tvq/auth/url/alice/***"},
           Case{"/tvq/auth/url/alice", "/tvq/auth/url/alice"},
           Case{"/p/tvq/auth/url/alice/s%2Fe/sub?q=1", "/p/tvq/auth/url/alice/***/sub?q=1"},
           Case{"/tvq/auth/url/alice?pw", "/tvq/auth/url/alice?pw"},
       }) {
    EXPECT_EQ(tvqTargetForLog(c.target), c.logged) << c.target;
  }
}

// "GET /tvq/auth/info" is its own kind only while the server answers it.
TEST(RequestKind, AuthInfoWhenTheServerAnswersIt) {
  TtvqRequestOptions options;
  options.AuthInfo = true;
  EXPECT_EQ(tvqClassifyRequest("GET /tvq/auth/info HTTP/1.1\r\nHost: h\r\n\r\n", options).Kind, rkAuthInfo);
  EXPECT_EQ(tvqClassifyRequest("GET /tvq/auth/info?t=1 HTTP/1.1\r\n\r\n", options).Kind, rkAuthInfo);
  EXPECT_EQ(tvqClassifyRequest("GET /tvq/auth/infos HTTP/1.1\r\n\r\n", options).Kind, rkUnknown);
  EXPECT_EQ(tvqClassifyRequest("POST /tvq/auth/info HTTP/1.1\r\n\r\n", options).Kind, rkUnknown);
  options.AuthInfo = false;
  EXPECT_EQ(tvqClassifyRequest("GET /tvq/auth/info HTTP/1.1\r\n\r\n", options).Kind, rkUnknown);
}

}  // namespace
