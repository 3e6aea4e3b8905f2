// The program: the server window as the main window, the main loop until
// it is closed. Qt takes its own arguments first (-platform, -style, ...);
// the rest are the program's options, as the headless program has them:
// --port and --listen (and --config) apply here, and TLS (--tls-cert,
// --tls-key, --tls-port); --quiet and --log-format concern only the
// headless program's standard output. The certificate is loaded once, at
// start: SIGHUP does not reload it here.
#include <QApplication>

#include <cstdio>
#include <iostream>

#include "Options.h"
#include "frmServer.h"
#include "tvqNetTLS.h"
#include "tvqWebSocket_HTTPResponse.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const TParsedOptions parsed = tvqParseOptions(argc, argv);
  if (parsed.Exit) {
    std::fputs(parsed.Output.c_str(), stdout);
    std::fputs(parsed.Error.c_str(), stderr);
    return parsed.ExitCode;
  }
  if (parsed.Options.HashPassword) return tvqHashPasswordCommand(std::cin, std::cout, std::cerr);
  // A users file that cannot be used stops the program before the window.
  if (!parsed.Options.Access.UsersFile.empty()) {
    try {
      tvqReadUsersFile(parsed.Options.Access.UsersFile);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 2;
    }
  }
  // Nor does a certificate or key that cannot be used.
  if (!parsed.Options.TLS.CertFile.empty()) {
    try {
      TtvqTLSContext::Load(parsed.Options.TLS.CertFile, parsed.Options.TLS.KeyFile);
    } catch (const std::exception& e) {
      std::fprintf(stderr, "%s\n", e.what());
      return 2;
    }
  }
  TQtPlatform platform;
  tvqSetPlatform(&platform);
  tvqRegisterWebResources();
  // The settings reach the window logic before the window starts the server.
  const TProgramOptions& options = parsed.Options;
  TfrmServerWindow frmServer(platform, options.Port, options.Listen, [&options](TfrmServer& aForm) {
    aForm.SetTLS(options.TLS);
    aForm.SetTrafficLimits(options.Traffic);
    aForm.SetConnectionLimits(options.Connections);
    aForm.SetAccess(options.Access);
    aForm.SetMaxFilesPerRequest(options.MaxFilesPerRequest);
    aForm.SetProtocolLimits(options.Protocol);
  });
  frmServer.show();
  return application.exec();
}
