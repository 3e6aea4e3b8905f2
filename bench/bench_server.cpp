// Tickerhall's server as the benchmark meets it: the quote table bound to
// the dataset sub-protocol on a loopback port, without the ticker (the
// reference server has none), events on the library's event loop as in
// the program. Prints "port N" once listening; SIGTERM or SIGINT end it.
//   bench_server [PORT]
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Protocol_Dataset_Server.h"
#include "tvqWebSocket_Server.h"
#include "uDMQuotes.h"

int main(int argc, char** argv) {
  const int signalFd = tvqStopSignalDescriptor();  // before any thread exists
  TtvqEventLoop loop;
  tvqSetPlatform(&loop);
  TDMQuotes quotes;
  TtvqWebSocketServer server;
  TtvqWSPServer_Dataset dataset;
  dataset.SetDataSet(&quotes.cdsQuotes);
  server.SetPort(argc > 1 ? std::atoi(argv[1]) : 0);
  TNetSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  dataset.SetServer(&server);
  server.SetActive(true);
  quotes.FillQuotes();
  std::printf("port %d\n", binding.Port);
  std::fflush(stdout);
  std::thread stopper = tvqQuitOnStopSignal(loop, signalFd);
  loop.Run();
  server.SetActive(false);
  dataset.SetDataSet(nullptr);
  stopper.join();
  return 0;
}
