// The headless front end: the server window's logic without a window. The
// log lines go to standard output, one per line, timestamped (text or JSON,
// --log-format); an error's message goes to standard error and the program
// goes on. The main-thread queue and the timer run on the library's event
// loop. SIGINT and SIGTERM stop it cleanly: timer off, server off, every
// thread joined, exit code 0. A server that cannot start (its port taken,
// say) ends the program with exit code 1; a bad option with 2.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <thread>

#include "LogLine.h"
#include "Options.h"
#include "fServer.h"
#include "tvqWebSocket_HTTPResponse.h"

namespace {

// Where the program listens, for its first line.
std::string ListeningOn(const TProgramOptions& aOptions) {
  const std::string port = std::to_string(aOptions.Port);
  if (aOptions.Listen.empty()) return "port " + port + " on every address: open http://localhost:" + port + "/";
  std::string text = "port " + port + " on";
  for (const std::string& address : aOptions.Listen) text += " " + address;
  const std::string& first = aOptions.Listen.front();
  const std::string host = first.find(':') != std::string::npos ? "[" + first + "]" : first;
  return text + ": open http://" + host + ":" + port + "/";
}

}  // namespace

int main(int argc, char** argv) {
  const TParsedOptions parsed = tvqParseOptions(argc, argv);
  if (parsed.Exit) {
    std::fputs(parsed.Output.c_str(), stdout);
    std::fputs(parsed.Error.c_str(), stderr);
    return parsed.ExitCode;
  }
  const TProgramOptions& options = parsed.Options;
  if (options.HashPassword) return tvqHashPasswordCommand(std::cin, std::cout, std::cerr);

  const int signalFd = tvqStopSignalDescriptor();  // before any thread exists
  std::signal(SIGPIPE, SIG_IGN);

  TtvqEventLoop loop;
  tvqSetPlatform(&loop);
  tvqRegisterWebResources();

  const auto sink = [&options](std::FILE* aStream, const char* aLevel, bool aQuiet) {
    return [&options, aStream, aLevel, aQuiet](const std::string& aText) {
      if (aQuiet) return;
      const std::string line =
          tvqFormatLogLine(options.LogFormat, std::chrono::system_clock::now(), aLevel, aText) + "\n";
      std::fputs(line.c_str(), aStream);
      std::fflush(aStream);
    };
  };
  const auto notice = sink(stdout, "notice", options.Quiet);
  TfrmServer frmServer(loop, sink(stdout, "info", options.Quiet), sink(stderr, "error", false), options.Port,
                       options.Listen);
  loop.OnException = [&frmServer](std::exception_ptr aError) { frmServer.ShowError(aError); };
  frmServer.SetTrafficLimits(options.Traffic);
  frmServer.SetConnectionLimits(options.Connections);
  frmServer.SetProtocolLimits(options.Protocol);
  frmServer.SetMaxFilesPerRequest(options.MaxFilesPerRequest);
  // A users file that cannot be used stops the program before it serves.
  try {
    frmServer.SetAccess(options.Access);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }

  std::thread stopper = tvqQuitOnStopSignal(loop, signalFd);

  int exitCode = 0;
  loop.Queue([&] {
    frmServer.FormCreate();
    if (frmServer.WSServer.Active()) {
      notice("Tickerhall " + tvqProgramVersion() + " listening on " + ListeningOn(options));
      return;
    }
    // The error has been reported: nothing to serve.
    exitCode = 1;
    loop.Quit();
  });
  loop.Run();
  frmServer.Run(&TfrmServer::btnStopClick);
  if (exitCode != 0) ::kill(::getpid(), SIGTERM);  // ends the stop-signal thread
  stopper.join();
  ::close(signalFd);
  return exitCode;
}
