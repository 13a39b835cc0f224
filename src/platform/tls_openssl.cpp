// The client TLS interface on OpenSSL, built as the module larkpost-tls-openssl.so that
// the program loads on first use (openssl_loader_posix.cpp). OpenSSL talks to one end of a
// BIO pair and this file carries the bytes between the other end and the transport, so
// every wait, the handshake's included, is a transport wait with the caller's deadline.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <sys/socket.h>

#include <array>
#include <cstdlib>
#include <ctime>
#include <system_error>
#include <utility>

#include "platform/crypto.h"
#include "platform/tls.h"
#include "platform/tls_module.h"

namespace larkpost::platform {
namespace {

// What OpenSSL writes gathers here until it goes out in one transport send; a 64 KiB
// block of the message and its record overhead fit at once.
constexpr int kOutgoingBytes = 256 * 1024;
constexpr int kIncomingBytes = 32 * 1024;
// The client's close_notify is a courtesy: a server that does not take it at once does
// not hold up the end of the run.
constexpr std::int64_t kCloseNotifyMillis = 1000;

template <auto Free>
struct Freer {
  template <typename T>
  void operator()(T* object) const {
    Free(object);
  }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, Freer<SSL_CTX_free>>;
using SslPtr = std::unique_ptr<SSL, Freer<SSL_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO_free>>;

// --- Words for what OpenSSL reports ------------------------------------------------

// `text` on one printable line: control bytes (and, for text that is not UTF-8, every
// byte above 0x7E) become \xNN; UTF-8's C1 controls are escaped byte by byte.
std::string oneLine(std::string_view text, bool asciiOnly = false) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    bool c1Lead = byte == 0xC2 && i + 1 < text.size() &&
                  static_cast<unsigned char>(text[i + 1]) < 0xA0 &&
                  static_cast<unsigned char>(text[i + 1]) >= 0x80;
    bool c1Tail =
        i > 0 && static_cast<unsigned char>(text[i - 1]) == 0xC2 && byte >= 0x80 && byte < 0xA0;
    if (byte < 0x20 || byte == 0x7F || (asciiOnly && byte > 0x7F) || c1Lead || c1Tail) {
      line += "\\x";
      line += kHex[byte >> 4];
      line += kHex[byte & 0xF];
    } else {
      line += static_cast<char>(byte);
    }
  }
  return line;
}

// The reason of the oldest error OpenSSL queued, which names the cause; the later
// ones only say which functions passed it up.
std::string oldestErrorReason() {
  unsigned long code = ERR_peek_error();
  if (code == 0) return "unknown error";
  if (ERR_SYSTEM_ERROR(code)) return std::system_category().message(ERR_GET_REASON(code));
  if (const char* reason = ERR_reason_error_string(code)) return reason;
  return "OpenSSL error " + std::to_string(ERR_GET_REASON(code));
}

std::string handshakeFailure(IoStatus transport) {
  if (transport == IoStatus::kTimedOut) {
    return "the server did not complete the TLS handshake in time";
  }
  if (transport == IoStatus::kClosed) {
    return "the server closed the connection during the TLS handshake";
  }
  unsigned long code = ERR_peek_error();
  if (code == 0) return "the TLS handshake failed";
  if (ERR_GET_LIB(code) == ERR_LIB_SSL) {
    switch (ERR_GET_REASON(code)) {
      case SSL_R_UNSUPPORTED_PROTOCOL:          // it answered with an older version
      case SSL_R_TLSV1_ALERT_PROTOCOL_VERSION:  // it refused the versions offered
      case SSL_R_VERSION_TOO_LOW:
        return "the server offers only TLS 1.1 or older";
    }
  }
  return oldestErrorReason();
}

// --- The server's certificates -------------------------------------------------------

std::string attributeName(const ASN1_OBJECT* type) {
  int nid = OBJ_obj2nid(type);
  if (nid != NID_undef) {
    if (const char* shortName = OBJ_nid2sn(nid)) return shortName;
  }
  std::string dotted(static_cast<std::size_t>(OBJ_obj2txt(nullptr, 0, type, 1)) + 1, '\0');
  dotted.resize(static_cast<std::size_t>(
      OBJ_obj2txt(dotted.data(), static_cast<int>(dotted.size()), type, 1)));
  return dotted;
}

std::string attributeValue(const ASN1_STRING* value) {
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, value);
  if (length < 0) {  // not text in any encoding its type allows: shown as bytes
    ERR_clear_error();
    return oneLine({reinterpret_cast<const char*>(ASN1_STRING_get0_data(value)),
                    static_cast<std::size_t>(ASN1_STRING_length(value))},
                   true);
  }
  std::string text = oneLine({reinterpret_cast<char*>(utf8), static_cast<std::size_t>(length)});
  OPENSSL_free(utf8);
  return text;
}

std::string distinguishedName(const X509_NAME* name) {
  std::string text;
  for (int i = 0; i < X509_NAME_entry_count(name); ++i) {
    const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
    if (!text.empty()) text += ", ";
    text += attributeName(X509_NAME_ENTRY_get_object(entry));
    text += '=';
    text += attributeValue(X509_NAME_ENTRY_get_data(entry));
  }
  return text;
}

std::string utcTime(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return "";
  std::array<char, 32> text{};
  std::strftime(text.data(), text.size(), "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text.data();
}

// An IPv4 or IPv6 address as the subjectAltName holds it (4 or 16 bytes), as text.
std::string addressText(const ASN1_OCTET_STRING* address) {
  const unsigned char* bytes = ASN1_STRING_get0_data(address);
  int length = ASN1_STRING_length(address);
  int family = length == 4 ? AF_INET : length == 16 ? AF_INET6 : AF_UNSPEC;
  std::array<char, INET6_ADDRSTRLEN> text{};
  if (family == AF_UNSPEC || inet_ntop(family, bytes, text.data(), text.size()) == nullptr) {
    return oneLine({reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length)}, true);
  }
  return text.data();
}

std::vector<std::string> alternativeNames(const X509* certificate) {
  std::vector<std::string> names;
  auto* all = static_cast<GENERAL_NAMES*>(
      X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr));
  if (all == nullptr) return names;
  for (int i = 0; i < sk_GENERAL_NAME_num(all); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(all, i);
    if (name->type == GEN_DNS) names.push_back(attributeValue(name->d.dNSName));
    if (name->type == GEN_IPADD) names.push_back(addressText(name->d.iPAddress));
  }
  GENERAL_NAMES_free(all);
  return names;
}

TlsCertificate describeCertificate(const X509* certificate) {
  return {distinguishedName(X509_get_subject_name(certificate)),
          distinguishedName(X509_get_issuer_name(certificate)),
          utcTime(X509_get0_notBefore(certificate)), utcTime(X509_get0_notAfter(certificate)),
          alternativeNames(certificate)};
}

std::string sha256Fingerprint(const X509* certificate) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest.data(), &length) != 1) return "";
  char* hex = OPENSSL_buf2hexstr(digest.data(), length);  // upper case, joined by colons
  std::string text = hex ? hex : "";
  OPENSSL_free(hex);
  return text;
}

TrustProblem trustProblem(long verifyResult) {
  switch (verifyResult) {
    case X509_V_OK:
      return TrustProblem::kNone;
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return TrustProblem::kExpired;
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return TrustProblem::kNotYetValid;
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return TrustProblem::kNameMismatch;
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return TrustProblem::kUnknownIssuer;
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return TrustProblem::kSelfSigned;
    default:
      return TrustProblem::kOther;
  }
}

// What the handshake showed, as far as it got.
TlsDetails describeSession(SSL* ssl, bool complete) {
  TlsDetails details;
  if (complete) {
    int version = SSL_version(ssl);
    details.version = version == TLS1_3_VERSION   ? "TLS 1.3"
                      : version == TLS1_2_VERSION ? "TLS 1.2"
                                                  : SSL_get_version(ssl);
    if (const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl)) {
      const char* standard = SSL_CIPHER_standard_name(cipher);
      details.cipher = standard ? standard : SSL_CIPHER_get_name(cipher);
    }
  }
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl)) {
    for (int i = 0; i < sk_X509_num(chain); ++i) {
      details.chain.push_back(describeCertificate(sk_X509_value(chain, i)));
    }
  }
  const X509* leaf = SSL_get0_peer_certificate(ssl);
  if (leaf == nullptr) {
    if (complete) details.trustDetail = "the server sent no certificate";
    return details;
  }
  details.leafSha256 = sha256Fingerprint(leaf);
  long verifyResult = SSL_get_verify_result(ssl);
  details.trust = trustProblem(verifyResult);
  if (verifyResult != X509_V_OK) details.trustDetail = X509_verify_cert_error_string(verifyResult);
  return details;
}

// --- Setting up ---------------------------------------------------------------------

// The store's directory is searched by issuer hash, for the certificates a chain needs;
// its bundle file would be parsed whole on every run (some 40 ms and 1.5 MB). A bundle
// named by SSL_CERT_FILE is still honoured.
bool useSystemStore(SSL_CTX* context) {
  if (std::getenv(X509_get_default_cert_file_env()) != nullptr) {
    return SSL_CTX_set_default_verify_paths(context) == 1;
  }
  return SSL_CTX_set_default_verify_dir(context) == 1;
}

constexpr const char* kTls12Ciphers = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL:!PSK";

SslContextPtr makeContext(const TlsClientConfig& config, std::string& failure) {
  SslContextPtr context(SSL_CTX_new(TLS_client_method()));
  if (!context) {
    failure = "TLS cannot be set up: " + oldestErrorReason();
    return nullptr;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  // TLS 1.2 only with forward secrecy and an AEAD cipher; TLS 1.3's suites are all both.
  // What mail servers offer by default (Postfix, Exim, OpenSMTPD on OpenSSL or GnuTLS)
  // includes these; CBC with SHA-1 and RSA key exchange are gone.
  if (SSL_CTX_set_cipher_list(context.get(), kTls12Ciphers) != 1) {
    failure = "TLS cannot be set up: " + oldestErrorReason();
    return nullptr;
  }
  // Without renegotiation, writing never has to wait for the server to speak first.
  SSL_CTX_set_options(context.get(), SSL_OP_NO_RENEGOTIATION);
  // The chain is verified, but the result only goes into TlsDetails: the caller decides.
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
  if (config.caFile.empty()) {
    if (!useSystemStore(context.get())) {
      failure = "the system's certificate store cannot be used: " + oldestErrorReason();
      return nullptr;
    }
  } else if (SSL_CTX_load_verify_file(context.get(), config.caFile.c_str()) != 1) {
    failure = "the CA file " + oneLine(config.caFile) +
              (ERR_SYSTEM_ERROR(ERR_peek_error()) ? " cannot be read: "
                                                  : " holds no certificate that can be used: ") +
              oldestErrorReason();
    return nullptr;
  }
  return context;
}

// Names the server to OpenSSL: the name or address its certificate must show, and for
// names the SNI extension (which may not carry an address).
bool aimAt(SSL* ssl, std::string_view host, std::string& failure) {
  X509_VERIFY_PARAM* check = SSL_get0_param(ssl);
  std::string address(host.substr(0, host.find('%')));  // without an IPv6 zone
  if (X509_VERIFY_PARAM_set1_ip_asc(check, address.c_str()) == 1) return true;
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);  // the root, never in SNI
  if (host.empty() || host.find(':') != std::string_view::npos) {
    failure = "the server name " + oneLine(host) + " cannot be checked against a certificate";
    return false;
  }
  std::string name(host);
  // The names in the subject alternative names only, never the subject's CN (RFC 9525):
  // a certificate for an address could otherwise pass for a name in its CN.
  X509_VERIFY_PARAM_set_hostflags(
      check, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS | X509_CHECK_FLAG_NEVER_CHECK_SUBJECT);
  if (X509_VERIFY_PARAM_set1_host(check, name.data(), name.size()) != 1 ||
      SSL_set_tlsext_host_name(ssl, name.c_str()) != 1) {
    failure = "the server name " + oneLine(name) + " cannot be used for TLS";
    return false;
  }
  return true;
}

// --- The secured stream -------------------------------------------------------------

class OpenSslStream final : public Socket {
 public:
  OpenSslStream(std::unique_ptr<Socket> transport, SslPtr ssl, BioPtr network)
      : transport_(std::move(transport)), ssl_(std::move(ssl)), network_(std::move(network)) {}
  OpenSslStream(const OpenSslStream&) = delete;
  OpenSslStream& operator=(const OpenSslStream&) = delete;

  ~OpenSslStream() override {
    if (broken_) return;
    ERR_clear_error();
    SSL_shutdown(ssl_.get());  // queues the close_notify; the server's is not awaited
    flush(monotonicMillis() + kCloseNotifyMillis);
    ERR_clear_error();
  }

  // The transport's status, or kOk with OpenSSL's error queue telling why it failed.
  struct Outcome {
    IoStatus transport = IoStatus::kOk;
    int sslError = SSL_ERROR_NONE;
    bool succeeded() const { return transport == IoStatus::kOk && sslError == SSL_ERROR_NONE; }
  };

  Outcome handshake(std::int64_t deadline) {
    Outcome outcome = drive([this] { return SSL_do_handshake(ssl_.get()); }, deadline);
    // The client's last handshake message, or the alert saying why it gave up.
    IoStatus flushed = flush(deadline);
    if (outcome.succeeded()) outcome.transport = flushed;
    broken_ = !outcome.succeeded();
    return outcome;
  }

  TlsDetails describe(bool complete) const { return describeSession(ssl_.get(), complete); }

  IoStatus sendAll(std::string_view bytes, std::int64_t deadline) override {
    if (broken_) return IoStatus::kClosed;
    if (bytes.empty()) return IoStatus::kOk;
    std::size_t written = 0;
    // One call takes all the bytes; while the pair is full, drive() sends what it holds.
    Outcome outcome = drive(
        [&] { return SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &written); }, deadline);
    if (outcome.succeeded()) outcome.transport = flush(deadline);
    if (outcome.succeeded()) return IoStatus::kOk;
    broken_ = true;  // a record may be cut short: nothing more can follow it
    return outcome.transport == IoStatus::kOk ? IoStatus::kClosed : outcome.transport;
  }

  ReceiveResult receive(std::span<char> into, std::int64_t deadline) override {
    if (broken_ || ended_) return {IoStatus::kClosed, 0};
    std::size_t got = 0;
    Outcome outcome =
        drive([&] { return SSL_read_ex(ssl_.get(), into.data(), into.size(), &got); }, deadline);
    if (outcome.succeeded()) return {IoStatus::kOk, got};
    // A receive that timed out leaves the stream whole: its bytes so far stay in the pair.
    if (outcome.transport == IoStatus::kTimedOut) return {IoStatus::kTimedOut, 0};
    if (outcome.sslError == SSL_ERROR_ZERO_RETURN) {
      ended_ = true;  // the server's close_notify
    } else {
      broken_ = true;
    }
    return {IoStatus::kClosed, 0};
  }

 private:
  // Repeats `operation` (an SSL call) until it succeeds or fails for good, moving bytes
  // between the pair and the transport whenever OpenSSL is waiting for them.
  template <typename Operation>
  Outcome drive(Operation operation, std::int64_t deadline) {
    for (;;) {
      ERR_clear_error();
      int result = operation();
      if (result > 0) return {};
      int error = SSL_get_error(ssl_.get(), result);
      IoStatus status;
      if (error == SSL_ERROR_WANT_WRITE) {
        status = flush(deadline);
      } else if (error == SSL_ERROR_WANT_READ) {
        status = fill(deadline);
      } else {
        return {IoStatus::kOk, error};
      }
      if (status != IoStatus::kOk) return {status, error};
    }
  }

  // Sends everything OpenSSL has written, straight from the pair's buffer.
  IoStatus flush(std::int64_t deadline) {
    char* data = nullptr;
    for (int ready; (ready = BIO_nread0(network_.get(), &data)) > 0;) {
      IoStatus status = transport_->sendAll({data, static_cast<std::size_t>(ready)}, deadline);
      if (status != IoStatus::kOk) {
        broken_ = true;
        return status;
      }
      BIO_nread(network_.get(), &data, ready);
    }
    return IoStatus::kOk;
  }

  // Waits for the server's next bytes and receives them straight into the pair. What
  // OpenSSL wrote first goes out first: the server may be waiting for it.
  IoStatus fill(std::int64_t deadline) {
    if (IoStatus status = flush(deadline); status != IoStatus::kOk) return status;
    char* space = nullptr;
    int room = BIO_nwrite0(network_.get(), &space);
    // OpenSSL asks for more only after taking all it was given, so there is room.
    if (room <= 0) return IoStatus::kClosed;
    ReceiveResult got = transport_->receive({space, static_cast<std::size_t>(room)}, deadline);
    if (got.status != IoStatus::kOk) return got.status;
    BIO_nwrite(network_.get(), &space, static_cast<int>(got.bytes));
    return IoStatus::kOk;
  }

  std::unique_ptr<Socket> transport_;
  SslPtr ssl_;           // owns the pair's inner end
  BioPtr network_;       // the pair's outer end, where the transport's bytes go in and out
  bool broken_ = false;  // failed: no close_notify, nothing more sent or received
  bool ended_ = false;   // the server's close_notify arrived
};

TlsHandshake startTlsSession(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                             std::int64_t deadline) {
  ERR_clear_error();  // what is left from earlier calls would hide why this one fails
  TlsHandshake result;
  SslContextPtr context = makeContext(config, result.failure);
  if (!context) return result;
  SslPtr ssl(SSL_new(context.get()));
  BIO* inner = nullptr;
  BIO* outer = nullptr;
  if (!ssl || BIO_new_bio_pair(&inner, kOutgoingBytes, &outer, kIncomingBytes) != 1) {
    result.failure = "TLS cannot be set up: " + oldestErrorReason();
    return result;
  }
  BioPtr network(outer);
  SSL_set_bio(ssl.get(), inner, inner);
  if (!aimAt(ssl.get(), config.host, result.failure)) return result;
  SSL_set_connect_state(ssl.get());

  auto stream =
      std::make_unique<OpenSslStream>(std::move(transport), std::move(ssl), std::move(network));
  OpenSslStream::Outcome outcome = stream->handshake(deadline);
  if (!outcome.succeeded()) {  // read before anything else touches OpenSSL's error queue
    result.transport = outcome.transport;
    result.failure = handshakeFailure(outcome.transport);
  }
  result.details = stream->describe(outcome.succeeded());
  if (outcome.succeeded()) result.socket = std::move(stream);
  ERR_clear_error();
  return result;
}

std::string backendVersion() {
  return std::string("OpenSSL ") + OpenSSL_version(OPENSSL_VERSION_STRING);
}

constexpr TlsModule kModule{LARKPOST_VERSION, startTlsSession, backendVersion, sha256, hmacSha256,
                            pbkdf2Sha256, randomBytes};

}  // namespace
}  // namespace larkpost::platform

// Everything else in the module stays hidden, its copy of the C++ library included.
extern "C" __attribute__((visibility("default"))) const larkpost::platform::TlsModule*
larkpost_tls_module() {
  return &larkpost::platform::kModule;
}
