// Client TLS over an established connection: one interface, with OpenSSL behind it on
// POSIX (tls_openssl.cpp, a module that openssl_loader_posix.cpp loads on first use) and
// SChannel on Windows (tls_schannel*.cpp). The backend runs the handshake and reports
// what it saw; whether to trust the server (the certificate store, a CAFile, a pinned
// fingerprint, or nothing) is decided by the caller.
#ifndef LARKPOST_PLATFORM_TLS_H_
#define LARKPOST_PLATFORM_TLS_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace larkpost::platform {

struct TlsClientConfig {
  // The server as the user named it: a host name (checked against the certificate and
  // sent as SNI) or an IPv4/IPv6 literal (checked against the certificate's IP
  // addresses; no SNI).
  std::string host;
  // A PEM file of one or more trusted certificates used instead of the system's store;
  // empty for the system's store.
  std::string caFile;
};

// Why the certificate chain does not establish trust for `host`.
enum class TrustProblem {
  kNone,           // a valid chain to a trusted root, and the name matches
  kExpired,        // a certificate of the chain has expired
  kNotYetValid,    // a certificate of the chain is not valid yet
  kNameMismatch,   // the certificate is for another name or address
  kUnknownIssuer,  // the chain does not end at a trusted root
  kSelfSigned,     // a self-signed certificate the server sent (its own, or the root of the
                   // chain it sent) ends the chain and is not trusted
  kOther,          // anything else; TlsDetails::trustDetail says what
};

struct TlsCertificate {
  // Distinguished names with their attributes in the order the certificate encodes
  // them, written "C=DE, O=Example, CN=smtp.example.com".
  std::string subject;
  std::string issuer;
  // Validity in UTC, written "2026-12-07 09:30:00 UTC".
  std::string notBefore;
  std::string notAfter;
  // The DNS names and IP addresses of its subjectAltName, in the certificate's order:
  // the names it may be used for.
  std::vector<std::string> names;
};

struct TlsDetails {
  std::string version;  // "TLS 1.2", "TLS 1.3"
  std::string cipher;   // the cipher suite's standard (IANA) name where the backend knows it
  std::vector<TlsCertificate> chain;  // the server's certificate first, as it sent them
  // SHA-256 of the server's certificate (DER), upper-case hex pairs joined by colons.
  std::string leafSha256;
  TrustProblem trust = TrustProblem::kOther;
  std::string trustDetail;  // the backend's own words about the problem, if any
};

struct TlsHandshake {
  // The secured stream once the handshake succeeded (TLS 1.2 or newer), else null. It
  // owns the transport; destroying it sends the client's close_notify, without
  // waiting for the server's.
  std::unique_ptr<Socket> socket;
  IoStatus transport = IoStatus::kOk;  // kTimedOut or kClosed when the transport failed
  std::string failure;  // why the handshake failed, in plain words, when socket is null
  TlsDetails details;   // filled as far as the handshake got
};

// Runs the client side of a TLS handshake over `transport`, which it takes over; every
// wait ends at `deadline` (a monotonicMillis() value). Refuses anything older than TLS 1.2.
// The certificate chain is examined but never stops the handshake: details.trust says
// what was found, and the caller decides.
TlsHandshake startTls(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                      std::int64_t deadline);

// The TLS library and its version, such as "OpenSSL 3.0.19" or "SChannel".
std::string tlsBackendVersion();

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_TLS_H_
