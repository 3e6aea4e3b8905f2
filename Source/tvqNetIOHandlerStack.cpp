#include "tvqNetIOHandlerStack.h"

TNetTCPConnection::~TNetTCPConnection() {
  if (FIOHandler) FIOHandler->Close();
}

bool TNetTCPConnection::Connected() { return FIOHandler && FIOHandler->Connected(); }

void TNetTCPConnection::Disconnect(bool /*aNotifyPeer*/) {
  if (!FIOHandler || !FIOHandler->Opened()) return;
  FIOHandler->Close();
  if (OnDisconnected) OnDisconnected(*this);
}
