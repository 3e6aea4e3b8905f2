// Throw-away certificates for TLS tests, made at test time with OpenSSL
// (no key is ever committed): a CA, server certificates for localhost and
// 127.0.0.1 signed by it, written as PEM files into a temporary folder that
// goes with the object.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace test {

class TestCertificates {
 public:
  using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
  using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

  // A server pair "server" for CN localhost, and the files the error cases
  // need.
  TestCertificates() {
    char folder[] = "/tmp/tickerhall-tls-XXXXXX";
    if (!::mkdtemp(folder)) throw std::runtime_error("mkdtemp failed");
    Dir = folder;
    CAFile = Dir + "/ca.pem";
    WriteCert(CAFile, FCACert.get());
    const auto [cert, key] = MakeServerPair("server", "localhost");
    CertFile = cert;
    KeyFile = key;
    // A key of the same kind that belongs to no certificate.
    OtherKeyFile = Dir + "/other-key.pem";
    WriteKey(OtherKeyFile, NewKey().get());
    NotPemFile = Dir + "/not-pem.txt";
    WriteText(NotPemFile, "this is not a PEM file\n");
    MissingFile = Dir + "/missing.pem";
  }
  ~TestCertificates() {
    std::error_code ignored;
    std::filesystem::remove_all(Dir, ignored);
  }
  TestCertificates(const TestCertificates&) = delete;
  TestCertificates& operator=(const TestCertificates&) = delete;

  std::string Dir;
  std::string CAFile;      // the CA's certificate: what clients trust
  std::string CertFile;    // the server's certificate, then the CA's (the chain)
  std::string KeyFile;     // the server's key
  std::string OtherKeyFile;
  std::string NotPemFile;
  std::string MissingFile;  // never written

  // Another server certificate signed by the same CA, subject CN
  // aCommonName, names localhost and 127.0.0.1: aName-cert.pem (with the
  // chain) and aName-key.pem; returns both paths.
  std::pair<std::string, std::string> MakeServerPair(const std::string& aName, const std::string& aCommonName) {
    Key key = NewKey();
    Cert cert = NewCert(key.get(), aCommonName, FCACert.get(), FCAKey.get(), false);
    const std::string certFile = Dir + "/" + aName + "-cert.pem";
    const std::string keyFile = Dir + "/" + aName + "-key.pem";
    std::FILE* file = Open(certFile);
    PEM_write_X509(file, cert.get());
    PEM_write_X509(file, FCACert.get());
    std::fclose(file);
    WriteKey(keyFile, key.get());
    return {certFile, keyFile};
  }

 private:
  static Key NewKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    if (!key) throw std::runtime_error("key generation failed");
    return key;
  }

  static void AddExtension(X509* aCert, X509* aIssuer, int aNid, const char* aValue) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, aIssuer, aCert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, aNid, aValue);
    if (!extension) throw std::runtime_error("extension failed");
    X509_add_ext(aCert, extension, -1);
    X509_EXTENSION_free(extension);
  }

  // Self-signed when aIssuer is null.
  static Cert NewCert(EVP_PKEY* aKey, const std::string& aCommonName, X509* aIssuer, EVP_PKEY* aIssuerKey,
                      bool aCA) {
    static long serial = 1;
    Cert cert(X509_new(), X509_free);
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial++);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 3600L * 24);
    X509_set_pubkey(cert.get(), aKey);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(aCommonName.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert.get(), aIssuer ? X509_get_subject_name(aIssuer) : name);
    X509* issuer = aIssuer ? aIssuer : cert.get();
    if (aCA) {
      AddExtension(cert.get(), issuer, NID_basic_constraints, "critical,CA:TRUE");
      AddExtension(cert.get(), issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
      AddExtension(cert.get(), issuer, NID_basic_constraints, "CA:FALSE");
      AddExtension(cert.get(), issuer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
      AddExtension(cert.get(), issuer, NID_ext_key_usage, "serverAuth");
    }
    if (X509_sign(cert.get(), aIssuerKey ? aIssuerKey : aKey, EVP_sha256()) <= 0)
      throw std::runtime_error("signing failed");
    return cert;
  }

  static std::FILE* Open(const std::string& aFile) {
    std::FILE* file = std::fopen(aFile.c_str(), "w");
    if (!file) throw std::runtime_error("cannot write " + aFile);
    return file;
  }
  static void WriteCert(const std::string& aFile, X509* aCert) {
    std::FILE* file = Open(aFile);
    PEM_write_X509(file, aCert);
    std::fclose(file);
  }
  static void WriteKey(const std::string& aFile, EVP_PKEY* aKey) {
    std::FILE* file = Open(aFile);
    PEM_write_PrivateKey(file, aKey, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
  }
  static void WriteText(const std::string& aFile, const std::string& aText) {
    std::FILE* file = Open(aFile);
    std::fputs(aText.c_str(), file);
    std::fclose(file);
  }

  Key FCAKey = NewKey();
  Cert FCACert = NewCert(FCAKey.get(), "Tickerhall Test CA", nullptr, nullptr, true);
};

}  // namespace test
