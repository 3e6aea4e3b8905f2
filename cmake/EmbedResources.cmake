# Writes OUTPUT: a C++ source holding every browser file of WEB_DIR as a
# named resource (see tvqResourceNameOf) and tvqRegisterWebResources(),
# which makes the table known to the library. Run at build time.
file(GLOB files RELATIVE "${WEB_DIR}" "${WEB_DIR}/*.js" "${WEB_DIR}/*.html" "${WEB_DIR}/*.css" "${WEB_DIR}/*.swf")
list(SORT files)
# The program's own pages, served under their file names beside the
# library's built-in ones.
set(program_pages "wsquotes.html")

set(fixed_tvqWebSockets.js "TVQ_JS_TVQWEBSOCKETS")
set(fixed_tvqWebSocketsFlash.js "TVQ_JS_TVQWEBSOCKETSFLASH")
set(fixed_tvqWebSocketsEventSource.js "TVQ_JS_TVQWEBSOCKETSEVENTSOURCE")
set(fixed_tvqWebSockets.html "TVQ_HTML_TVQWEBSOCKETS")
set(fixed_WebSocketMain.swf "TVQ_WEBSOCKETMAIN_SWF")

set(arrays "")
set(entries "")
set(index 0)
foreach(file IN LISTS files)
  if(DEFINED fixed_${file})
    set(name "${fixed_${file}}")
  else()
    string(REGEX MATCH "[^.]+$" extension "${file}")
    string(REGEX REPLACE "\\.[^.]+$" "" stem "${file}")
    string(TOUPPER "${extension}" extension)
    string(TOUPPER "${stem}" stem)
    string(REPLACE "." "_" stem "${stem}")
    set(name "TVQ_${extension}_${stem}")
  endif()
  if(file MATCHES "\\.js$")
    # Scripts travel compact: no comment lines, no indentation, no blank
    # lines (the readable source stays in web/).
    file(READ "${WEB_DIR}/${file}" text)
    set(text "\n${text}")
    string(REGEX REPLACE "\n[ \t]*//[^\n]*" "" text "${text}")
    string(REGEX REPLACE "\n[ \t]+" "\n" text "${text}")
    string(REGEX REPLACE "\n\n+" "\n" text "${text}")
    string(REGEX REPLACE "^\n" "" text "${text}")
    set(compact "${OUTPUT}.${index}.js")
    file(WRITE "${compact}" "${text}")
    file(READ "${compact}" hex HEX)
    file(REMOVE "${compact}")
  else()
    file(READ "${WEB_DIR}/${file}" hex HEX)
  endif()
  string(LENGTH "${hex}" hex_length)
  math(EXPR size "${hex_length} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(APPEND arrays "static const unsigned char kData${index}[] = {${bytes}0};\n")
  string(APPEND entries "    {\"${name}\", kData${index}, ${size}},\n")
  math(EXPR index "${index} + 1")
endforeach()

set(pages "")
foreach(page IN LISTS program_pages)
  string(APPEND pages "  if (!TtvqWSHTTPResponse::Find(\"${page}\")) TtvqWSHTTPResponse::RegisterFileName({\"${page}\", tvqResourceNameOf(\"${page}\")});\n")
endforeach()

file(WRITE "${OUTPUT}.tmp" "// Generated from web/ at build time; do not edit.
#include \"tvqWebSocket_HTTPResponse.h\"

namespace {
${arrays}
const TtvqResource kResources[] = {
${entries}    {nullptr, nullptr, 0},
};
}  // namespace

void tvqRegisterWebResources() {
  tvqRegisterResources(kResources, sizeof kResources / sizeof kResources[0] - 1);
${pages}}
")
file(COPY_FILE "${OUTPUT}.tmp" "${OUTPUT}" ONLY_IF_DIFFERENT)
