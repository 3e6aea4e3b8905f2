// Public: TLS for the program (--tls-cert, --tls-key, --tls-port; the
// settings file's [tls] table), a plain value; the command line fills it
// (Options.cpp), the window logic applies it (TfrmServer::SetTLS).
#pragma once

#include <string>

struct TTLSOptions {
  // The certificate (PEM; a chain in it is sent whole) and its private key
  // (PEM). Both or neither; neither: no TLS.
  std::string CertFile, KeyFile;
  // The port that speaks TLS beside the plain one (--port); 0: the one port
  // speaks TLS.
  int Port = 0;
};
