// The server the conformance suite talks to: the library's WebSocket server
// writing every text and binary message back as it came, on connections
// without a sub-protocol and on those that negotiated "echo". An echo
// longer than 64 KiB leaves in fragments of 64 KiB, so that the suite also
// sees the server's own fragmenting.
//
//   conformance_echo_server --port N [--strict]
//
// Without --strict the server has the program's options (CleanDisconnect
// and ValidateUTF8 off: no close frame sent back); --strict turns both on. It listens on
// 127.0.0.1, prints "port N" once listening (N is the bound port, useful
// with --port 0) and ends on SIGTERM or SIGINT.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tvqWebSocket_Platform.h"
#include "tvqWebSocket_Protocol_Base_Server.h"
#include "tvqWebSocket_Server.h"

namespace {

constexpr int kEchoFragmentSize = 64 * 1024;

int Usage() {
  std::fprintf(stderr, "usage: conformance_echo_server --port N [--strict]\n");
  return 2;
}

template <class TComponent>
void Echo(TComponent& aComponent) {
  aComponent.OnMessage = [](TtvqWSConnection* c, const std::string& text) { c->WriteData(text, kEchoFragmentSize); };
  aComponent.OnBinary = [](TtvqWSConnection* c, const TtvqBytes& data) { c->WriteData(data, kEchoFragmentSize); };
}

}  // namespace

int main(int argc, char** argv) {
  int port = -1;
  bool strict = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 0 || value > 65535) return Usage();
      port = static_cast<int>(value);
    } else if (std::strcmp(argv[i], "--strict") == 0) {
      strict = true;
    } else {
      return Usage();
    }
  }
  if (port < 0) return Usage();

  const int signalFd = tvqStopSignalDescriptor();  // before any thread exists
  TtvqEventLoop loop;
  tvqSetPlatform(&loop);
  TtvqWebSocketServer server;
  // Events are raised on each connection's own thread, so an echo is
  // written before the reader takes the next frame: a message's echo
  // precedes the close that a bad frame after it causes, as on the wire.
  server.SetNotifyEvents(neNoSync);
  server.Options.CleanDisconnect = strict;
  server.Options.ValidateUTF8 = strict;
  Echo(server);
  TtvqWSProtocol_Server echo;
  echo.Protocol = "echo";
  Echo(echo);
  echo.SetServer(&server);
  server.SetPort(port);
  TNetSocketHandle& binding = server.Bindings().Add();
  binding.IP = "127.0.0.1";
  server.SetActive(true);
  std::printf("port %d\n", binding.Port);
  std::fflush(stdout);
  std::thread stopper = tvqQuitOnStopSignal(loop, signalFd);
  loop.Run();
  server.SetActive(false);
  echo.SetServer(nullptr);
  stopper.join();
  return 0;
}
