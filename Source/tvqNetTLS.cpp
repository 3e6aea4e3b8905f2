#include "tvqNetTLS.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

// For TLS 1.2: forward secrecy and an AEAD cipher only. TLS 1.3 keeps
// OpenSSL's default suites.
constexpr const char* kCiphers12 =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// ALPN's wire form of the one protocol served.
constexpr unsigned char kALPN[] = {8, 'h', 't', 't', 'p', '/', '1', '.', '1'};

// A client offering only other protocols gets no ALPN in the answer; the
// handshake goes on.
int SelectALPN(SSL*, const unsigned char** aOut, unsigned char* aOutLength, const unsigned char* aIn,
               unsigned int aInLength, void*) {
  unsigned char* out = nullptr;
  if (SSL_select_next_proto(&out, aOutLength, kALPN, sizeof kALPN, aIn, aInLength) != OPENSSL_NPN_NEGOTIATED)
    return SSL_TLSEXT_ERR_NOACK;
  *aOut = out;
  return SSL_TLSEXT_ERR_OK;
}

// A key file with a pass phrase is not read: there is nobody to ask.
int NoPassPhrase(char*, int, int, void*) { return 0; }

std::string ReadWholeFile(const std::string& aFile) {
  errno = 0;
  std::FILE* file = std::fopen(aFile.c_str(), "rb");
  if (!file) throw std::runtime_error(aFile + ": cannot be read (" + std::strerror(errno) + ")");
  std::string text;
  char buffer[8192];
  std::size_t count;
  while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, count);
  const bool failed = std::ferror(file) != 0;
  const int error = errno;
  std::fclose(file);
  if (failed) throw std::runtime_error(aFile + ": cannot be read (" + std::strerror(error) + ")");
  return text;
}

struct BioOf {
  explicit BioOf(const std::string& aText) : bio(BIO_new_mem_buf(aText.data(), static_cast<int>(aText.size()))) {
    if (!bio) throw std::bad_alloc();
  }
  ~BioOf() { BIO_free(bio); }
  BIO* bio;
};

std::string OpenSSLError() {
  const unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "TLS error";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

}  // namespace

// ---------------------------------------------------------------- TtvqTLSContext

TtvqTLSContext::~TtvqTLSContext() { SSL_CTX_free(FContext); }

std::shared_ptr<TtvqTLSContext> TtvqTLSContext::Load(const std::string& aCertFile, const std::string& aKeyFile) {
  const std::string certText = ReadWholeFile(aCertFile);
  const std::string keyText = ReadWholeFile(aKeyFile);
  ERR_clear_error();

  std::unique_ptr<X509, decltype(&X509_free)> leaf(nullptr, X509_free);
  std::vector<std::unique_ptr<X509, decltype(&X509_free)>> chain;
  {
    BioOf in(certText);
    leaf.reset(PEM_read_bio_X509(in.bio, nullptr, NoPassPhrase, nullptr));
    if (!leaf) {
      ERR_clear_error();
      throw std::runtime_error(aCertFile + ": no PEM certificate in it");
    }
    while (X509* next = PEM_read_bio_X509(in.bio, nullptr, NoPassPhrase, nullptr)) chain.emplace_back(next, X509_free);
    ERR_clear_error();  // the end of the file reads as an error
  }
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(nullptr, EVP_PKEY_free);
  {
    BioOf in(keyText);
    key.reset(PEM_read_bio_PrivateKey(in.bio, nullptr, NoPassPhrase, nullptr));
    if (!key) {
      ERR_clear_error();
      throw std::runtime_error(aKeyFile + ": no PEM private key in it");
    }
  }

  std::shared_ptr<TtvqTLSContext> result(new TtvqTLSContext());
  result->FCertFile = aCertFile;
  result->FKeyFile = aKeyFile;
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) throw std::runtime_error("TLS: " + OpenSSLError());
  result->FContext = context;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION);
  if (SSL_CTX_set_cipher_list(context, kCiphers12) != 1) throw std::runtime_error("TLS: " + OpenSSLError());
  SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_NO_COMPRESSION);
  // An idle connection gives its record buffers back.
  SSL_CTX_set_mode(context, SSL_MODE_RELEASE_BUFFERS);
  SSL_CTX_set_alpn_select_cb(context, SelectALPN, nullptr);
  // Resumption: session tickets (on by default) and the server's cache.
  static const unsigned char kSessionContext[] = "tickerhall";
  SSL_CTX_set_session_id_context(context, kSessionContext, sizeof kSessionContext - 1);
  SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);

  if (SSL_CTX_use_certificate(context, leaf.get()) != 1)
    throw std::runtime_error(aCertFile + ": the certificate cannot be used (" + OpenSSLError() + ")");
  for (auto& certificate : chain)
    if (SSL_CTX_add1_chain_cert(context, certificate.get()) != 1)
      throw std::runtime_error(aCertFile + ": the chain cannot be used (" + OpenSSLError() + ")");
  if (SSL_CTX_use_PrivateKey(context, key.get()) != 1 || SSL_CTX_check_private_key(context) != 1) {
    ERR_clear_error();
    throw std::runtime_error(aKeyFile + ": the key does not match the certificate in " + aCertFile);
  }
  return result;
}

// ---------------------------------------------------------------- TtvqTLSSession

TtvqTLSSession::TtvqTLSSession(std::shared_ptr<TtvqTLSContext> aContext) : FContext(std::move(aContext)) {
  FSSL = SSL_new(FContext->Native());
  FIn = BIO_new(BIO_s_mem());
  FOut = BIO_new(BIO_s_mem());
  if (!FSSL || !FIn || !FOut) {
    SSL_free(FSSL);
    BIO_free(FIn);
    BIO_free(FOut);
    throw std::bad_alloc();
  }
  // An empty input asks for more instead of reading as the end.
  BIO_set_mem_eof_return(FIn, -1);
  BIO_set_mem_eof_return(FOut, -1);
  SSL_set_bio(FSSL, FIn, FOut);
  SSL_set_accept_state(FSSL);
}

TtvqTLSSession::~TtvqTLSSession() { SSL_free(FSSL); }

bool TtvqTLSSession::Settle(int aResult) {
  switch (SSL_get_error(FSSL, aResult)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: return true;
    case SSL_ERROR_ZERO_RETURN:
      FEnded = true;
      ERR_clear_error();
      return false;
    default:
      FEnded = true;
      FError = OpenSSLError();
      return false;
  }
}

bool TtvqTLSSession::Feed(const std::uint8_t* aData, std::size_t aLength, std::vector<std::uint8_t>& aPlain) {
  if (FEnded) return false;
  while (aLength > 0) {
    const int part = static_cast<int>(std::min<std::size_t>(aLength, INT_MAX));
    const int written = BIO_write(FIn, aData, part);
    if (written <= 0) throw std::bad_alloc();
    aData += written;
    aLength -= static_cast<std::size_t>(written);
  }
  ERR_clear_error();
  if (!SSL_is_init_finished(FSSL)) {
    const int result = SSL_do_handshake(FSSL);
    if (result != 1) return Settle(result);
  }
  std::uint8_t buffer[16384];
  while (true) {
    ERR_clear_error();
    const int count = SSL_read(FSSL, buffer, sizeof buffer);
    if (count <= 0) return Settle(count);
    aPlain.insert(aPlain.end(), buffer, buffer + count);
  }
}

bool TtvqTLSSession::Encrypt(const std::uint8_t* aData, std::size_t aLength) {
  if (FEnded || !SSL_is_init_finished(FSSL)) return false;
  while (aLength > 0) {
    ERR_clear_error();
    const int part = static_cast<int>(std::min<std::size_t>(aLength, INT_MAX));
    const int written = SSL_write(FSSL, aData, part);
    if (written <= 0) {
      Settle(written);
      return false;
    }
    aData += written;
    aLength -= static_cast<std::size_t>(written);
  }
  return true;
}

void TtvqTLSSession::TakeOutput(std::vector<std::uint8_t>& aOut) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(FOut, &data);
  if (size <= 0) return;
  aOut.insert(aOut.end(), data, data + size);
  (void)BIO_reset(FOut);
}

bool TtvqTLSSession::HandshakeDone() const { return SSL_is_init_finished(FSSL) == 1; }

std::string TtvqTLSSession::ALPN() const {
  const unsigned char* data = nullptr;
  unsigned int length = 0;
  SSL_get0_alpn_selected(FSSL, &data, &length);
  return data ? std::string(reinterpret_cast<const char*>(data), length) : std::string();
}

std::string TtvqTLSSession::Version() const { return SSL_get_version(FSSL); }

// ---------------------------------------------------------------- TNetIOHandlerTLS

TNetIOHandlerTLS::TNetIOHandlerTLS(TNetIOHandlerSocket& aPlain, std::shared_ptr<TtvqTLSContext> aContext)
    : FSession(std::move(aContext)) {
  TakeBinding(aPlain);
  ReadTimeout = aPlain.ReadTimeout;
  RecvBufferSize = aPlain.RecvBufferSize;
  SendBufferSize = aPlain.SendBufferSize;
  Open();
}

bool TNetIOHandlerTLS::HasBufferedInput() const {
  std::lock_guard guard(FLock);
  return FPlainAt < FPlain.size() || FEnded;
}

bool TNetIOHandlerTLS::HasPendingOutput() const {
  std::lock_guard guard(FLock);
  return !FPending.empty();
}

bool TNetIOHandlerTLS::HandshakeDone() const {
  std::lock_guard guard(FLock);
  return FSession.HandshakeDone();
}

std::string TNetIOHandlerTLS::ALPN() const {
  std::lock_guard guard(FLock);
  return FSession.ALPN();
}

std::string TNetIOHandlerTLS::Version() const {
  std::lock_guard guard(FLock);
  return FSession.Version();
}

bool TNetIOHandlerTLS::SourceIsReadable(int aTimeoutMs) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + milliseconds(std::max(aTimeoutMs, 0));
  while (true) {
    if (HasBufferedInput() || !SocketAllocated()) return true;
    int wait = -1;
    if (aTimeoutMs >= 0) {
      wait = static_cast<int>(std::max<long long>(0, duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
    }
    pollfd entry{Binding().Handle(), static_cast<short>(POLLIN | (HasPendingOutput() ? POLLOUT : 0)), 0};
    const int ready = ::poll(&entry, 1, wait);
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw ENetSocketError(errno);
    }
    if (ready > 0) {
      if (entry.revents & POLLOUT) SendPending(false);
      if (entry.revents & (POLLIN | POLLHUP | POLLERR)) Pump();
      if (HasBufferedInput()) return true;
    }
    if (aTimeoutMs >= 0 && steady_clock::now() >= deadline) return false;
  }
}

void TNetIOHandlerTLS::Pump() {
  std::uint8_t buffer[16384];
  ssize_t count;
  while (true) {
    count = ::recv(Binding().Handle(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (count >= 0) break;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (errno != EINTR) throw ENetSocketError(errno);
  }
  if (count == 0) {
    std::lock_guard guard(FLock);
    FEnded = true;
    return;
  }
  if (!FFirstByteSeen) {
    FFirstByteSeen = true;
    // Every TLS client begins with a handshake record.
    if (buffer[0] != 0x16) {
      if (buffer[0] >= 'A' && buffer[0] <= 'Z') AnswerPlainRequest();
      std::lock_guard guard(FLock);
      FEnded = true;
      return;
    }
  }
  {
    std::lock_guard guard(FLock);
    if (!FSession.Feed(buffer, static_cast<std::size_t>(count), FPlain)) FEnded = true;
    FSession.TakeOutput(FPending);
  }
  SendPending(false);
}

// The request is read to its end first, so that closing the socket does not
// reset the connection before the client has read the answer.
void TNetIOHandlerTLS::AnswerPlainRequest() {
  std::uint8_t rest[4096];
  for (int i = 0; i < 16 && ::recv(Binding().Handle(), rest, sizeof rest, MSG_DONTWAIT) > 0; ++i) {
  }
  static const std::string kBody = "This port speaks TLS: use https:// or wss://.\n";
  const std::string answer = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n"
                             "Content-Length: " + std::to_string(kBody.size()) + "\r\n\r\n" + kBody;
  try {
    Binding().SendNoWait(reinterpret_cast<const std::uint8_t*>(answer.data()), answer.size());
  } catch (const ENetException&) {
    // the client is gone already
  }
}

std::size_t TNetIOHandlerTLS::ReadDataFromSource(std::uint8_t* aBuffer, std::size_t aLength) {
  std::lock_guard guard(FLock);
  const std::size_t count = std::min(aLength, FPlain.size() - FPlainAt);
  if (count == 0) return 0;  // only once the session has ended
  std::memcpy(aBuffer, FPlain.data() + FPlainAt, count);
  FPlainAt += count;
  if (FPlainAt == FPlain.size()) {
    FPlain.clear();
    FPlainAt = 0;
    if (FPlain.capacity() > 65536) std::vector<std::uint8_t>().swap(FPlain);
  }
  return count;
}

bool TNetIOHandlerTLS::SendPending(bool aWait) {
  std::unique_lock send(FSendLock, std::defer_lock);
  if (aWait) send.lock();
  else if (!send.try_lock()) return false;  // another sender is at it, and sends this too
  while (true) {
    std::vector<std::uint8_t> chunk;
    {
      std::lock_guard guard(FLock);
      if (FPending.empty()) return true;
      chunk.swap(FPending);
    }
    std::size_t done = 0;
    const auto keepRest = [&] {
      std::lock_guard guard(FLock);
      FPending.insert(FPending.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(done), chunk.end());
    };
    try {
      if (aWait) {
        while (done < chunk.size()) {
          const std::size_t count = Binding().Send(chunk.data() + done, chunk.size() - done);
          if (count == 0) throw ENetConnClosedGracefully();
          done += count;
        }
      } else {
        done = Binding().SendNoWait(chunk.data(), chunk.size());
      }
    } catch (...) {
      keepRest();
      throw;
    }
    if (done < chunk.size()) {
      keepRest();
      return false;
    }
  }
}

bool TNetIOHandlerTLS::FlushPendingOutput() { return SendPending(false); }

std::size_t TNetIOHandlerTLS::WriteNoWait(const std::uint8_t* aData, std::size_t aLength) {
  if (aLength == 0 || !SendPending(false)) return 0;
  const std::size_t count = std::min(aLength, kChunk);
  {
    std::lock_guard guard(FLock);
    if (!FSession.Encrypt(aData, count)) {
      if (FSession.Ended() || FEnded) throw ENetConnClosedGracefully();
      return 0;  // the handshake is not done yet: the bytes wait in the backlog
    }
    FSession.TakeOutput(FPending);
  }
  SendPending(false);
  return count;
}

// The blocking write of the plain handler: all of it, after what waits.
std::size_t TNetIOHandlerTLS::WriteDataToTarget(const std::uint8_t* aData, std::size_t aLength) {
  SendPending(true);
  {
    std::lock_guard guard(FLock);
    if (!FSession.Encrypt(aData, aLength)) return 0;  // read as a closed connection
    FSession.TakeOutput(FPending);
  }
  SendPending(true);
  return aLength;
}
