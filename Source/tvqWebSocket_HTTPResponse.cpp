#include "tvqWebSocket_HTTPResponse.h"

#include <cctype>
#include <mutex>

#include "tvqWebSocket_Classes.h"

namespace {

std::mutex gResourcesLock;
std::vector<std::pair<const TtvqResource*, std::size_t>>& ResourceTables() {
  static std::vector<std::pair<const TtvqResource*, std::size_t>> tables;
  return tables;
}

std::vector<TtvqWSHTTPResponse_Base>& Registry() {
  static std::vector<TtvqWSHTTPResponse_Base> registry;
  return registry;
}

}  // namespace

void tvqRegisterResources(const TtvqResource* aTable, std::size_t aCount) {
  std::lock_guard guard(gResourcesLock);
  ResourceTables().emplace_back(aTable, aCount);
}

std::optional<std::string> tvqFindResource(std::string_view aName) {
  std::lock_guard guard(gResourcesLock);
  for (const auto& [table, count] : ResourceTables())
    for (std::size_t i = 0; i < count; ++i)
      if (aName == table[i].Name) return std::string(reinterpret_cast<const char*>(table[i].Data), table[i].Size);
  return std::nullopt;
}

std::string tvqResourceNameOf(std::string_view aFileName) {
  const std::size_t dot = aFileName.rfind('.');
  const std::string_view extension = dot == std::string_view::npos ? std::string_view{} : aFileName.substr(dot + 1);
  const std::string_view stem = aFileName.substr(0, dot);
  std::string name = "TVQ_";
  for (char c : extension) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  name += '_';
  for (char c : stem) name += c == '.' ? '_' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return name;
}

void TtvqWSHTTPResponse::RegisterFileName(const TtvqWSHTTPResponse_Base& aClass) { Registry().push_back(aClass); }

const TtvqWSHTTPResponse_Base* TtvqWSHTTPResponse::Find(std::string_view aFileName) {
  for (const TtvqWSHTTPResponse_Base& entry : Registry()) {
    if (tvqSameText(entry.GetFileName(), aFileName)) return &entry;
  }
  return nullptr;
}

const std::vector<TtvqWSHTTPResponse_Base>& TtvqWSHTTPResponse::Registered() { return Registry(); }

void tvqRegisterBuiltInResponses() {
  static std::once_flag once;
  std::call_once(once, [] {
    const std::string id = tvqBaseSubProtocol;
    // The first four carry fixed resource names; the others follow the rule.
    TtvqWSHTTPResponse::RegisterFileName({"tvqWebSockets.js", "TVQ_JS_TVQWEBSOCKETS"});
    TtvqWSHTTPResponse::RegisterFileName({"tvqWebSocketsFlash.js", "TVQ_JS_TVQWEBSOCKETSFLASH"});
    TtvqWSHTTPResponse::RegisterFileName({"tvqWebSocketsEventSource.js", "TVQ_JS_TVQWEBSOCKETSEVENTSOURCE"});
    TtvqWSHTTPResponse::RegisterFileName({"tvqWebSockets.html", "TVQ_HTML_TVQWEBSOCKETS"});
    for (const std::string& file :
         {id + ".js", id + ".html", "dataset." + id + ".js", "dataset." + id + ".html", "webrtc." + id + ".js",
          "webrtc." + id + ".html", "apprtc." + id + ".js", "apprtc." + id + ".css", "wamp." + id + ".js",
          "wamp." + id + ".html", "files." + id + ".js", "files." + id + ".html", "presence." + id + ".js",
          "presence." + id + ".html"})
      TtvqWSHTTPResponse::RegisterFileName({file, tvqResourceNameOf(file)});
  });
}

std::string tvqContentAnswer(std::string_view aContentType, std::string_view aBody) {
  std::string answer = "HTTP/1.1 200 OK\r\nCache-Control: no-cache\r\nContent-Type: ";
  answer += aContentType;
  answer += "\r\nServer: tvqWebSockets 4.4.6\r\n\r\n";
  answer += aBody;
  answer += "\r\n";
  return answer;
}

std::string tvqStatusAnswer(int aCode, std::string_view aReason) {
  return "HTTP/1.1 " + std::to_string(aCode) + " " + std::string(aReason) + "\r\n\r\n";
}

std::string tvqRedirectAnswer(std::string_view aLocation) {
  return "HTTP/1.1 302 Moved Temporarily\r\nConnection: close\r\nLocation: " + std::string(aLocation) +
         "\r\nServer: tvqWebSockets 4.4.6\r\n\r\n";
}
