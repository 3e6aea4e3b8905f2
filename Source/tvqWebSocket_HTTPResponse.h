// Public: the built-in HTTP file responses: the process-wide registry of
// response classes (one per browser file the program carries), the
// embedded resources they read, and the byte layouts of the answers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tvqText.h"

class TtvqWSConnection_Base_Net;

// ---------------------------------------------------------------- embedded resources

// One embedded file: raw bytes under a resource name.
struct TtvqResource {
  const char* Name;
  const unsigned char* Data;
  std::size_t Size;
};

// Makes a table of resources known to the process (the program registers
// the table its build generated from web/; tests may add their own).
void tvqRegisterResources(const TtvqResource* aTable, std::size_t aCount);
// Registers the table the program's build generated from web/.
void tvqRegisterWebResources();
// The bytes of the named resource; none when no table holds it.
std::optional<std::string> tvqFindResource(std::string_view aName);

// The resource name of a browser file: "TVQ_JS_", "TVQ_HTML_" or
// "TVQ_CSS_" and the file name without its extension, upper case, dots
// turned into underscores.
std::string tvqResourceNameOf(std::string_view aFileName);

// ---------------------------------------------------------------- the registry

// One response class: the file name it answers and the resource it reads.
class TtvqWSHTTPResponse_Base {
 public:
  TtvqWSHTTPResponse_Base(std::string aFileName, std::string aResourceName)
      : FFileName(std::move(aFileName)), FResourceName(std::move(aResourceName)) {}
  const std::string& GetFileName() const { return FFileName; }
  const std::string& ResourceName() const { return FResourceName; }
  // The file's bytes; none when the program carries no such resource.
  std::optional<std::string> Content() const { return tvqFindResource(FResourceName); }

 private:
  std::string FFileName;
  std::string FResourceName;
};

class TtvqWSHTTPResponse {
 public:
  // Appends a class; registrations happen at start, before any server runs.
  static void RegisterFileName(const TtvqWSHTTPResponse_Base& aClass);
  // The first class in registration order whose file name equals aFileName,
  // ignoring the letter case of A to Z.
  static const TtvqWSHTTPResponse_Base* Find(std::string_view aFileName);
  static const std::vector<TtvqWSHTTPResponse_Base>& Registered();
};

// Registers the built-in browser files, in their fixed order (once).
void tvqRegisterBuiltInResponses();

// ---------------------------------------------------------------- answers

// "HTTP/1.1 200 OK", Cache-Control, Content-Type, Server; an empty line;
// the body; CR LF.
std::string tvqContentAnswer(std::string_view aContentType, std::string_view aBody);
// The status line and an empty line, nothing else.
std::string tvqStatusAnswer(int aCode, std::string_view aReason);
// "HTTP/1.1 302 Moved Temporarily", Connection, Location, Server; an empty line.
std::string tvqRedirectAnswer(std::string_view aLocation);
