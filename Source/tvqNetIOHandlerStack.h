// Public (part of the transport, but the transport's and the codec's tests
// include it): the I/O handler over a POSIX socket, and the TCP connection
// that owns one.
#pragma once

#include <functional>
#include <memory>

#include "tvqNetIOHandler.h"

class TNetIOHandlerStack : public TNetIOHandlerSocket {
 protected:
  bool SourceIsReadable(int aTimeoutMs) override { return FBinding->Select(aTimeoutMs); }
  std::size_t ReadDataFromSource(std::uint8_t* aBuffer, std::size_t aLength) override {
    return FBinding->Receive(aBuffer, aLength);
  }
  std::size_t WriteDataToTarget(const std::uint8_t* aData, std::size_t aLength) override {
    return FBinding->Send(aData, aLength);
  }
};

// One accepted TCP connection; it owns its I/O handler.
class TNetTCPConnection {
 public:
  explicit TNetTCPConnection(std::unique_ptr<TNetIOHandlerSocket> aIOHandler)
      : FIOHandler(std::move(aIOHandler)) {}
  TNetTCPConnection(const TNetTCPConnection&) = delete;
  TNetTCPConnection& operator=(const TNetTCPConnection&) = delete;
  ~TNetTCPConnection();

  TNetIOHandlerSocket* IOHandler() const { return FIOHandler.get(); }
  TNetIOHandlerSocket* Socket() const { return FIOHandler.get(); }

  // The I/O handler's answer; false without one. Only on the owning thread.
  bool Connected();
  // Closes the socket (from any thread) and raises OnDisconnected. Nothing
  // is sent to tell the peer, so aNotifyPeer changes nothing on the wire.
  void Disconnect(bool aNotifyPeer = true);

  std::function<void(TNetTCPConnection&)> OnDisconnected;

 private:
  std::unique_ptr<TNetIOHandlerSocket> FIOHandler;
};
