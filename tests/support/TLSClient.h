// A TLS client for tests, through OpenSSL's client API over a loopback
// socket: it chooses the versions, ALPN and SNI it offers, trusts only the
// CA it is given, and sends and receives exact plaintext bytes.
#pragma once

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string>
#include <vector>

#include "LoopbackClient.h"

namespace test {

struct TLSClientOptions {
  int MinVersion = TLS1_2_VERSION;
  int MaxVersion = TLS1_3_VERSION;
  std::vector<std::string> ALPN;  // offered, in order; none: no ALPN
  std::string ServerName = "localhost";  // SNI; empty: none
  std::string CAFile;                    // trusted; empty: no verification
};

class TLSClient {
 public:
  TLSClient(int aPort, const TLSClientOptions& aOptions) : FSocket(aPort) {
    FContext = SSL_CTX_new(TLS_client_method());
    // Old versions are offered only when a test asks for them (to see the
    // server refuse them): the client's own floor goes down with them.
    if (aOptions.MinVersion < TLS1_2_VERSION) {
      SSL_CTX_set_security_level(FContext, 0);
      SSL_CTX_set_cipher_list(FContext, "DEFAULT:@SECLEVEL=0");
    }
    SSL_CTX_set_min_proto_version(FContext, aOptions.MinVersion);
    SSL_CTX_set_max_proto_version(FContext, aOptions.MaxVersion);
    if (!aOptions.CAFile.empty()) {
      SSL_CTX_load_verify_locations(FContext, aOptions.CAFile.c_str(), nullptr);
      SSL_CTX_set_verify(FContext, SSL_VERIFY_PEER, nullptr);
    }
    FSSL = SSL_new(FContext);
    if (!aOptions.ALPN.empty()) {
      std::string wire;
      for (const std::string& p : aOptions.ALPN) wire += static_cast<char>(p.size()) + p;
      SSL_set_alpn_protos(FSSL, reinterpret_cast<const unsigned char*>(wire.data()),
                          static_cast<unsigned>(wire.size()));
    }
    if (!aOptions.ServerName.empty()) SSL_set_tlsext_host_name(FSSL, aOptions.ServerName.c_str());
    SSL_set_fd(FSSL, FSocket.Fd());
    timeval limit{10, 0};
    ::setsockopt(FSocket.Fd(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~TLSClient() {
    SSL_free(FSSL);
    SSL_CTX_free(FContext);
  }
  TLSClient(const TLSClient&) = delete;
  TLSClient& operator=(const TLSClient&) = delete;

  // True when the handshake completed (and the certificate verified, when
  // a CA was given).
  bool Handshake() {
    ERR_clear_error();
    return SSL_connect(FSSL) == 1;
  }

  std::string ALPN() const {
    const unsigned char* data = nullptr;
    unsigned length = 0;
    SSL_get0_alpn_selected(FSSL, &data, &length);
    return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
  }
  int Version() const { return SSL_version(FSSL); }
  // The server certificate's subject CN, and how long the chain it sent is.
  std::string PeerCommonName() const {
    X509* cert = SSL_get1_peer_certificate(FSSL);
    if (!cert) return {};
    char name[256] = {};
    X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, name, sizeof name);
    X509_free(cert);
    return name;
  }
  int PeerChainLength() const {
    STACK_OF(X509)* chain = SSL_get_peer_cert_chain(FSSL);
    return chain ? sk_X509_num(chain) : 0;
  }

  bool Send(const std::string& aBytes) {
    return SSL_write(FSSL, aBytes.data(), static_cast<int>(aBytes.size())) == static_cast<int>(aBytes.size());
  }
  // Reads until aDelimiter has come (or exactly aCount bytes); what came
  // when the connection ends or the time runs out first.
  std::string ReceiveUntil(const std::string& aDelimiter) {
    std::string got;
    while (got.find(aDelimiter) == std::string::npos && ReadSome(got)) {
    }
    return got;
  }
  std::string Receive(std::size_t aCount) {
    std::string got;
    while (got.size() < aCount && ReadSome(got, aCount - got.size())) {
    }
    return got;
  }
  // Whether the server ended the connection within the time: its close,
  // an alert, or a reset.
  bool Closed() {
    std::string ignored;
    while (ReadSome(ignored)) {
    }
    return FEnded;
  }
  int Fd() const { return FSocket.Fd(); }

 private:
  bool ReadSome(std::string& aTo, std::size_t aMax = 16384) {
    char buffer[16384];
    const int count = SSL_read(FSSL, buffer, static_cast<int>(std::min<std::size_t>(aMax, sizeof buffer)));
    if (count > 0) {
      aTo.append(buffer, static_cast<std::size_t>(count));
      return true;
    }
    const int error = SSL_get_error(FSSL, count);
    // A time-out shows as a failed read with EAGAIN: the peer did not end.
    FEnded = !(error == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK)) &&
             error != SSL_ERROR_WANT_READ;
    ERR_clear_error();
    return false;
  }

  LoopbackClient FSocket;
  SSL_CTX* FContext = nullptr;
  SSL* FSSL = nullptr;
  bool FEnded = false;
};

}  // namespace test
