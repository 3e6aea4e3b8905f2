// A server for the browser tests: the quote table with its ticker, the
// dataset sub-protocol bound to it and the base sub-protocol, on an
// ephemeral loopback port. It prints "port N" once listening, and one line
// "received <sub-protocol> <text>" for every text a client sends, so that a
// test can check the exact texts its page built. Ends on SIGTERM or when
// its standard input closes.
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "tvqWebSocket_HTTPResponse.h"
#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Protocol_Dataset_Server.h"
#include "tvqWebSocket_Server.h"
#include "uDMQuotes.h"

namespace {

void Print(const std::string& aLine) {
  std::string line = aLine;
  for (char& c : line)
    if (c == '\n' || c == '\r') c = ' ';
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

}  // namespace

int main() {
  const int signalFd = tvqStopSignalDescriptor();  // before any thread exists

  TtvqEventLoop loop;
  tvqSetPlatform(&loop);
  tvqRegisterWebResources();

  TDMQuotes quotes;
  TtvqWebSocketServer server;
  TtvqWSPServer_Dataset dataset;
  TtvqWSProtocol_tvq_Server base;
  // Every RPC is refused, so that a page sees an error reply.
  base.RPCAuthentication.Enabled = true;
  for (TtvqWSProtocol* component : {static_cast<TtvqWSProtocol*>(&dataset), static_cast<TtvqWSProtocol*>(&base)}) {
    component->OnRawMessage = [component](TtvqWSConnection*, const std::string& aText, bool&) {
      Print("received " + component->Protocol + " " + aText);
    };
  }
  server.OnError = [](TtvqWSConnection*, const std::string& aError) { Print("error " + aError); };
  loop.OnException = [](std::exception_ptr aError) {
    try {
      std::rethrow_exception(aError);
    } catch (const std::exception& e) {
      Print(std::string("exception ") + e.what());
    }
  };

  dataset.SetDataSet(&quotes.cdsQuotes);
  server.SetPort(0);
  TNetSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  dataset.SetServer(&server);
  base.SetServer(&server);
  server.SetActive(true);
  quotes.FillQuotes();
  loop.StartTimer(250, [&quotes] { quotes.MoveQuote(); });
  Print("port " + std::to_string(binding.Port));

  // A signal, or the standard input closing (the test that started this
  // server may die without a signal), ends the server.
  std::thread watch([&loop, signalFd] {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {signalFd, POLLIN, 0}};
    char buffer[256];
    while (::poll(fds, 2, -1) >= 0) {
      if (fds[1].revents != 0) break;
      if (fds[0].revents != 0 && ::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) break;
    }
    loop.Queue([&loop] { loop.Quit(); });
  });
  loop.Run();
  watch.join();
  server.SetActive(false);
  dataset.SetDataSet(nullptr);
  return 0;
}
