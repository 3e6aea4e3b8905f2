// The headless front end: the server window's logic without a window. The
// log lines go to standard output, one per line; an error's message goes
// to standard error and the program goes on. The main-thread queue and the
// timer run on the library's event loop. SIGINT and SIGTERM stop it
// cleanly: timer off, server off, every thread joined, exit code 0.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <thread>

#include "fServer.h"
#include "tvqWebSocket_HTTPResponse.h"

int main() {
  const int signalFd = tvqStopSignalDescriptor();  // before any thread exists
  std::signal(SIGPIPE, SIG_IGN);

  TtvqEventLoop loop;
  tvqSetPlatform(&loop);
  tvqRegisterWebResources();

  const auto line = [](std::FILE* aStream) {
    return [aStream](const std::string& aText) {
      std::fprintf(aStream, "%s\n", aText.c_str());
      std::fflush(aStream);
    };
  };
  TfrmServer frmServer(loop, line(stdout), line(stderr));
  loop.OnException = [&frmServer](std::exception_ptr aError) { frmServer.ShowError(aError); };

  std::thread stopper = tvqQuitOnStopSignal(loop, signalFd);

  loop.Queue([&frmServer] { frmServer.FormCreate(); });
  loop.Run();
  frmServer.Run(&TfrmServer::btnStopClick);
  stopper.join();
  ::close(signalFd);
  return 0;
}
