// The program: the server window as the main window, the main loop until
// it is closed. Qt takes its own arguments first (-platform, -style, ...);
// the rest are the program's options, as the headless program has them:
// --port and --listen (and --config) apply here; --quiet and --log-format
// concern only the headless program's standard output.
#include <QApplication>

#include <cstdio>

#include "Options.h"
#include "frmServer.h"
#include "tvqWebSocket_HTTPResponse.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const TParsedOptions parsed = tvqParseOptions(argc, argv);
  if (parsed.Exit) {
    std::fputs(parsed.Output.c_str(), stdout);
    std::fputs(parsed.Error.c_str(), stderr);
    return parsed.ExitCode;
  }
  TQtPlatform platform;
  tvqSetPlatform(&platform);
  tvqRegisterWebResources();
  TfrmServerWindow frmServer(platform, parsed.Options.Port, parsed.Options.Listen);
  frmServer.Form().SetProtocolLimits(parsed.Options.Protocol);
  frmServer.show();
  return application.exec();
}
