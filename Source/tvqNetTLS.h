// Public: TLS for the TCP transport, through OpenSSL's libssl.
//
// TtvqTLSContext is one server certificate chain and its key, loaded and
// checked once and shared by every connection that speaks TLS: TLS 1.2 and
// 1.3 only, OpenSSL's TLS 1.3 suites, for TLS 1.2 only ECDHE with AES-GCM or
// ChaCha20-Poly1305; ALPN "http/1.1"; any SNI name; session tickets;
// renegotiation refused.
//
// TtvqTLSSession is the record layer of one connection over memory: the
// peer's bytes go in, plaintext comes out, plaintext to send becomes
// ciphertext that waits until the transport takes it. It touches no socket,
// so the handler below keeps the socket, its readiness waits and its
// non-blocking sends exactly as a plain connection has them.
//
// TNetIOHandlerTLS is the I/O handler of a TLS connection: the plain
// handler's socket calls, with the session between them and the buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tvqNetIOHandlerStack.h"

struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

class TtvqTLSContext {
 public:
  // Reads a PEM certificate file (the server's certificate first, then any
  // chain, which is sent whole) and a PEM key file. Raises
  // std::runtime_error naming the file: "FILE: cannot be read (reason)",
  // "FILE: no PEM certificate in it", "FILE: no PEM private key in it",
  // "KEYFILE: the key does not match the certificate in CERTFILE".
  static std::shared_ptr<TtvqTLSContext> Load(const std::string& aCertFile, const std::string& aKeyFile);

  TtvqTLSContext(const TtvqTLSContext&) = delete;
  TtvqTLSContext& operator=(const TtvqTLSContext&) = delete;
  ~TtvqTLSContext();

  const std::string& CertFile() const { return FCertFile; }
  const std::string& KeyFile() const { return FKeyFile; }
  ssl_ctx_st* Native() const { return FContext; }

 private:
  TtvqTLSContext() = default;
  ssl_ctx_st* FContext = nullptr;
  std::string FCertFile, FKeyFile;
};

// The server side of one TLS connection, over memory. Not locked: its
// owner serialises the calls.
class TtvqTLSSession {
 public:
  explicit TtvqTLSSession(std::shared_ptr<TtvqTLSContext> aContext);
  TtvqTLSSession(const TtvqTLSSession&) = delete;
  TtvqTLSSession& operator=(const TtvqTLSSession&) = delete;
  ~TtvqTLSSession();

  // The peer's bytes, as they came (any split): runs the handshake and
  // appends the plaintext they complete to aPlain. False once the session
  // has ended: the peer's close_notify, or a fatal error (a bad record, a
  // refused version, a renegotiation attempt), whose alert is then in the
  // output.
  bool Feed(const std::uint8_t* aData, std::size_t aLength, std::vector<std::uint8_t>& aPlain);
  // Encrypts all of the plaintext into the output; false when it cannot be
  // sent (the handshake is not done, or the session has ended).
  bool Encrypt(const std::uint8_t* aData, std::size_t aLength);
  // Moves the ciphertext produced so far to the end of aOut.
  void TakeOutput(std::vector<std::uint8_t>& aOut);

  bool HandshakeDone() const;
  bool Ended() const { return FEnded; }
  // Why it ended, in OpenSSL's words; empty after a close_notify.
  const std::string& Error() const { return FError; }
  // The protocol ALPN chose (empty: none), and the version ("TLSv1.3").
  std::string ALPN() const;
  std::string Version() const;

 private:
  // A step's result: true to go on, false once the session has ended.
  bool Settle(int aResult);
  std::shared_ptr<TtvqTLSContext> FContext;  // kept while the session lives
  ssl_st* FSSL = nullptr;
  bio_st* FIn = nullptr;   // the peer's bytes for OpenSSL (owned by FSSL)
  bio_st* FOut = nullptr;  // OpenSSL's bytes for the peer (owned by FSSL)
  bool FEnded = false;
  std::string FError;
};

// The I/O handler of a connection that speaks TLS. It takes over the socket
// of a plain handler just accepted.
//
// Reading (the connection's own thread): what the socket has is fed to the
// session, and the plaintext kept here until ReadFromSource takes it, so
// SourceIsReadable answers for plaintext, not for raw bytes, and its time
// limit holds however the records are split. HasBufferedInput tells the
// connection's waits that plaintext is here although the socket is quiet.
//
// Writing (any thread): WriteNoWait encrypts at most kChunk bytes and sends
// what the socket takes at once; the rest of that ciphertext waits here
// (HasPendingOutput: the waits then ask for POLLOUT, FlushPendingOutput
// sends on) and goes before anything written later. While ciphertext waits,
// WriteNoWait takes nothing, so the connection's backlog, and its cap, see
// a slow consumer as over a plain socket. Blocking writes (Write) wait for
// the socket as the plain handler does.
//
// Locks: FLock guards the session and the two buffers and is held only
// around in-memory work; FSendLock orders the sends of ciphertext (taken
// before FLock, only tried by non-blocking senders), so a blocking send
// never holds up the session, and records never leave out of order.
//
// A first byte that cannot begin a TLS record is no TLS client: a plain
// HTTP request is answered "400 Bad Request" in plain text saying that the
// port speaks TLS, and the connection ends as though the peer had closed.
class TNetIOHandlerTLS : public TNetIOHandlerStack {
 public:
  static constexpr std::size_t kChunk = 65536;

  TNetIOHandlerTLS(TNetIOHandlerSocket& aPlain, std::shared_ptr<TtvqTLSContext> aContext);

  bool UsesTLS() const override { return true; }
  bool HasBufferedInput() const override;
  bool HasPendingOutput() const override;
  std::size_t WriteNoWait(const std::uint8_t* aData, std::size_t aLength) override;
  bool FlushPendingOutput() override;

  bool HandshakeDone() const;
  std::string ALPN() const;
  std::string Version() const;

 protected:
  bool SourceIsReadable(int aTimeoutMs) override;
  std::size_t ReadDataFromSource(std::uint8_t* aBuffer, std::size_t aLength) override;
  std::size_t WriteDataToTarget(const std::uint8_t* aData, std::size_t aLength) override;

 private:
  // Takes what the socket has now (never waiting) through the session.
  void Pump();
  // Sends the waiting ciphertext: all of it, waiting as long as it takes, or
  // what the socket takes now. True when none is left.
  bool SendPending(bool aWait);
  void AnswerPlainRequest();

  mutable std::mutex FLock;
  std::mutex FSendLock;
  TtvqTLSSession FSession;
  std::vector<std::uint8_t> FPlain;    // decrypted, not yet read
  std::size_t FPlainAt = 0;
  std::vector<std::uint8_t> FPending;  // ciphertext the socket has not taken
  bool FFirstByteSeen = false;
  bool FEnded = false;  // the peer closed, or the session ended: reads see the close
};
