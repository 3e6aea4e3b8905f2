// The headless front end: the server window's logic without a window. The
// log lines go to standard output, one per line, timestamped (text or JSON,
// --log-format); an error's message goes to standard error and the program
// goes on. The main-thread queue and the timer run on the library's event
// loop. SIGINT and SIGTERM stop it cleanly: timer off, server off, every
// thread joined, exit code 0. With TLS, SIGHUP loads the certificate and key
// again (without TLS it keeps its default action). A server that cannot
// start (its port taken, say) ends the program with exit code 1; a bad
// option, or a certificate and key that cannot be used, with 2.
#include <poll.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <iostream>
#include <thread>

#include "LogLine.h"
#include "Options.h"
#include "fServer.h"
#include "tvqWebSocket_HTTPResponse.h"

namespace {

// Where the program listens, for its first line: "port 5413 on every
// address: open http://localhost:5413/", with a TLS port "...; TLS on port
// 5414: open https://localhost:5414/", and with TLS on the one port
// "port 5413 on every address, TLS: open https://localhost:5413/".
std::string ListeningOn(const TProgramOptions& aOptions) {
  const std::string first = aOptions.Listen.empty() ? "localhost" : aOptions.Listen.front();
  const std::string host = first.find(':') != std::string::npos ? "[" + first + "]" : first;
  const auto open = [&host](bool aTLS, int aPort) {
    return std::string(aTLS ? "https://" : "http://") + host + ":" + std::to_string(aPort) + "/";
  };
  std::string text = "port " + std::to_string(aOptions.Port);
  if (aOptions.Listen.empty()) text += " on every address";
  else {
    text += " on";
    for (const std::string& address : aOptions.Listen) text += " " + address;
  }
  const bool tlsOnly = !aOptions.TLS.CertFile.empty() && aOptions.TLS.Port == 0;
  text += std::string(tlsOnly ? ", TLS" : "") + ": open " + open(tlsOnly, aOptions.Port);
  if (aOptions.TLS.Port != 0)
    text += "; TLS on port " + std::to_string(aOptions.TLS.Port) + ": open " + open(true, aOptions.TLS.Port);
  return text;
}

// With TLS: blocks SIGHUP in the calling thread, and so in every thread it
// starts afterwards, and returns a descriptor that becomes readable when it
// arrives. Without TLS: -1, and SIGHUP keeps its default action.
int ReloadSignalDescriptor(bool aTLS) {
  if (!aTLS) return -1;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

// The thread that waits for the signals: a stop signal quits the loop (as
// tvqQuitOnStopSignal does), each SIGHUP runs aReload on the main thread.
// Join it after the loop has returned.
std::thread WaitForSignals(TtvqEventLoop& aLoop, int aStop, int aReloadSignal, std::function<void()> aReload) {
  if (aReloadSignal < 0) return tvqQuitOnStopSignal(aLoop, aStop);
  return std::thread([&aLoop, aStop, aReloadSignal, reload = std::move(aReload)] {
    pollfd waits[2] = {{aStop, POLLIN, 0}, {aReloadSignal, POLLIN, 0}};
    for (;;) {
      if (::poll(waits, 2, -1) < 0) {
        if (errno == EINTR) continue;
        break;
      }
      if (waits[0].revents != 0) break;
      if (waits[1].revents != 0) {
        // SIGHUPs that came together make one reload.
        signalfd_siginfo info;
        while (::read(aReloadSignal, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        }
        aLoop.Queue(reload);
      }
    }
    aLoop.Queue([&aLoop] { aLoop.Quit(); });
  });
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
  const int reloadFd = ReloadSignalDescriptor(!options.TLS.CertFile.empty());
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
  // A users file, a certificate or a key that cannot be used stops the
  // program before it serves.
  try {
    frmServer.SetTLS(options.TLS);
    frmServer.SetAccess(options.Access);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s\n", e.what());
    return 2;
  }

  std::thread stopper = WaitForSignals(loop, signalFd, reloadFd, [&frmServer] { frmServer.ReloadTLS(); });

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
  if (reloadFd >= 0) ::close(reloadFd);
  return exitCode;
}
