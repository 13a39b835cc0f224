// The OpenSSL backend against a real TLS server: OpenSSL's server side in a thread on a
// loopback port, with certificates made here.
#include <gtest/gtest.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <array>
#include <cstdio>
#include <cctype>
#include <functional>
#include <regex>
#include <thread>

#include "platform/tls.h"

namespace larkpost::platform {
namespace {

using enum TrustProblem;

struct Credential {
  std::shared_ptr<EVP_PKEY> key;
  std::shared_ptr<X509> cert;
};

constexpr const char* kLoopbackNames = "DNS:localhost,IP:127.0.0.1,IP:::1";

// A certificate for `cn` and the names in `san` (a CA when empty), valid from `fromDays`
// to `toDays` from now, signed by `issuer` or else by itself.
Credential issue(const char* cn, const Credential* issuer, const char* san = kLoopbackNames,
                 long fromDays = -1, long toDays = 30) {
  static long serial = 1;
  Credential made{{EVP_EC_gen("P-256"), EVP_PKEY_free}, {X509_new(), X509_free}};
  X509* cert = made.cert.get();
  X509_set_version(cert, X509_VERSION_3);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
  X509_gmtime_adj(X509_getm_notBefore(cert), fromDays * 86400);
  X509_gmtime_adj(X509_getm_notAfter(cert), toDays * 86400);
  X509_NAME* name = X509_get_subject_name(cert);
  for (auto [field, value] : {std::pair{"C", "DE"}, {"O", "Example"}, {"CN", cn}}) {
    X509_NAME_add_entry_by_txt(name, field, MBSTRING_UTF8,
                               reinterpret_cast<const unsigned char*>(value), -1, -1, 0);
  }
  X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer->cert.get()) : name);
  X509_set_pubkey(cert, made.key.get());
  X509V3_CTX context{};
  X509V3_set_ctx(&context, issuer ? issuer->cert.get() : cert, cert, nullptr, nullptr, 0);
  X509_EXTENSION* extension =
      *san ? X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, san)
           : X509V3_EXT_conf_nid(nullptr, &context, NID_basic_constraints, "critical,CA:TRUE");
  X509_add_ext(cert, extension, -1);
  X509_EXTENSION_free(extension);
  X509_sign(cert, (issuer ? issuer : &made)->key.get(), EVP_sha256());
  return made;
}

// A PEM file of `holding` (empty when null) that goes when the test does.
struct PemFile {
  std::string path;
  ~PemFile() { std::remove(path.c_str()); }
};

PemFile pemFile(const Credential* holding) {
  static int count = 0;
  PemFile file{::testing::TempDir() + "larkpost-ca-" + std::to_string(++count) + ".pem"};
  BIO* out = BIO_new_file(file.path.c_str(), "w");
  if (holding) PEM_write_bio_X509(out, holding->cert.get());
  BIO_free(out);
  return file;
}

struct Served {
  std::string sni, received;
  bool closeNotify = false;  // the client's close_notify arrived
};
using Serve = std::function<void(BIO* connection, Served& served)>;

// Listens on a loopback port and serves one connection in a thread; without `serve` it
// never accepts, so a client connects and then hears nothing.
struct LoopbackServer {
  explicit LoopbackServer(Serve serve = nullptr) {
    startUp();                      // a client hanging up early must not end the tests by SIGPIPE
    BIO_do_accept(acceptor.get());  // binds and listens
    port = static_cast<std::uint16_t>(std::stoi(BIO_get_accept_port(acceptor.get())));
    if (!serve) return;
    thread = std::jthread([this, serve] {
      if (BIO_do_accept(acceptor.get()) != 1) return;
      serve(std::unique_ptr<BIO, decltype(&BIO_free)>(BIO_pop(acceptor.get()), BIO_free).get(),
            served);
    });
  }
  std::unique_ptr<Socket> connect() const { return connectTcp("127.0.0.1", port, 2000).socket; }
  const Served& finish() {
    thread.join();
    return served;
  }

  std::unique_ptr<BIO, decltype(&BIO_free)> acceptor{BIO_new_accept("127.0.0.1:0"), BIO_free};
  std::uint16_t port = 0;
  Served served;
  std::jthread thread;  // last, so it is joined before the rest goes
};

// Serves TLS with `leaf` (followed by `sent`), then runs `session`.
Serve tlsServer(Credential leaf, const Credential* sent = nullptr,
                std::function<void(SSL*, Served&)> session = {}, int maxVersion = 0) {
  std::shared_ptr<X509> extra = sent ? sent->cert : nullptr;
  return [=](BIO* connection, Served& served) {
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    SSL_CTX_use_certificate(context.get(), leaf.cert.get());
    SSL_CTX_use_PrivateKey(context.get(), leaf.key.get());
    if (extra) SSL_CTX_add1_chain_cert(context.get(), extra.get());
    if (maxVersion) {  // old versions need the lowest security level
      SSL_CTX_set_security_level(context.get(), 0);
      SSL_CTX_set_min_proto_version(context.get(), TLS1_VERSION);
      SSL_CTX_set_max_proto_version(context.get(), maxVersion);
    }
    std::shared_ptr<SSL> ssl(SSL_new(context.get()), SSL_free);
    BIO_up_ref(connection);
    SSL_set_bio(ssl.get(), connection, connection);
    if (SSL_accept(ssl.get()) != 1) return;
    const char* sni = SSL_get_servername(ssl.get(), TLSEXT_NAMETYPE_host_name);
    served.sni = sni ? sni : "";
    if (session) session(ssl.get(), served);
  };
}

std::int64_t soon() { return monotonicMillis() + 5000; }

// Each trust problem runs end to end on both builds in tests/test_secure.py; these are the
// cases only this backend's own checks decide.
TEST(OpenSslTls, TrustProblemsAreReportedAndTheHandshakeStillCompletes) {
  Credential ca = issue("Test CA", nullptr, ""), otherCa = issue("Other CA", nullptr, "");
  PemFile caFile = pemFile(&ca);
  struct Case {
    const char* name;
    Credential leaf;
    const char* host;
    TrustProblem trust;
    const Credential* sent = nullptr;
    bool systemStore = false;
  } cases[] = {
      {"a name with its root's dot", issue("x", &ca), "localhost.", kNone},
      {"IPv4", issue("x", &ca), "127.0.0.1", kNone},
      {"IPv6", issue("x", &ca), "::1", kNone},
      {"other address", issue("x", &ca, "DNS:localhost"), "127.0.0.1", kNameMismatch},
      {"system store", issue("x", &ca), "localhost", kUnknownIssuer, nullptr, true},
      {"self-signed root sent", issue("x", &otherCa), "localhost", kSelfSigned, &otherCa},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(tlsServer(c.leaf, c.sent));
    TlsHandshake tls =
        startTls(server.connect(), {c.host, c.systemStore ? "" : caFile.path}, soon());
    ASSERT_TRUE(tls.socket) << tls.failure;
    EXPECT_EQ(tls.details.trust, c.trust) << tls.details.trustDetail;
    EXPECT_EQ(tls.details.trustDetail.empty(), c.trust == kNone);
    tls.socket.reset();
    EXPECT_EQ(server.finish().sni, std::isalpha(c.host[0]) ? "localhost" : "");  // names only
  }
}

TEST(OpenSslTls, FailedHandshakesSayWhyByTheDeadline) {
  PemFile empty = pemFile(nullptr);
  struct Case {
    const char* name;
    Serve serve;
    IoStatus transport;
    std::string failure;
    std::string caFile = "";
  } cases[] = {
      {"TLS 1.1 only", tlsServer(issue("x", nullptr), nullptr, {}, TLS1_1_VERSION), IoStatus::kOk,
       "the server offers only TLS 1.1 or older"},
      {"plaintext",
       [](BIO* connection, Served&) {
         std::array<char, 4096> line{};
         BIO_read(connection, line.data(), line.size());  // the ClientHello, taken for a command
         BIO_puts(connection, "500 unknown command\r\n");
         BIO_read(connection, line.data(), line.size());  // until the client hangs up
       },
       IoStatus::kOk, "wrong version number"},
      {"hangs up", [](BIO*, Served&) {}, IoStatus::kClosed,
       "the server closed the connection during the TLS handshake"},
      {"silent", nullptr, IoStatus::kTimedOut,
       "the server did not complete the TLS handshake in time"},
      {"no CA file", nullptr, IoStatus::kOk,
       "the CA file /no/ca.pem cannot be read: No such file or directory", "/no/ca.pem"},
      {"empty CA file", nullptr, IoStatus::kOk,
       "the CA file " + empty.path +
           " holds no certificate that can be used: no certificate or crl found",
       empty.path},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LoopbackServer server(c.serve);
    std::int64_t deadline = monotonicMillis() + 500;
    TlsHandshake tls = startTls(server.connect(), {"localhost", c.caFile}, deadline);
    EXPECT_FALSE(tls.socket);
    EXPECT_EQ(tls.transport, c.transport);
    EXPECT_EQ(tls.failure, c.failure);
    EXPECT_GE(monotonicMillis(), c.transport == IoStatus::kTimedOut ? deadline : 0);
    EXPECT_LT(monotonicMillis(), deadline + 500);
  }
}

TEST(OpenSslTls, VerifiedSessionIsDescribedCarriesDataBothWaysAndEndsWithCloseNotify) {
  Credential ca = issue("Test CA", nullptr, ""), leaf = issue("Relay \x1B[2J Z\xC3\xBCrich", &ca);
  PemFile caFile = pemFile(&ca);
  const std::size_t kUp = 8 << 20, kDown = 3 << 20, kBlock = 64 << 10;
  std::string up(kUp, '\0'), down(kDown, '\0'), buffer(kBlock, '\0'), received;
  for (std::size_t i = 0; i < kUp; ++i) up[i] = static_cast<char>(i % 251);
  for (std::size_t i = 0; i < kDown; ++i) down[i] = static_cast<char>(i % 241);
  auto session = [&](SSL* ssl, Served& served) {
    std::string into(kBlock, '\0');
    std::size_t got = 0;
    while (served.received.size() < kUp && SSL_read_ex(ssl, into.data(), kBlock, &got)) {
      served.received.append(into, 0, got);
    }
    SSL_write_ex(ssl, down.data(), down.size(), &got);
    SSL_shutdown(ssl);                            // sends the server's close_notify
    served.closeNotify = SSL_shutdown(ssl) == 1;  // waits for the client's
  };
  LoopbackServer server(tlsServer(leaf, &ca, session));
  TlsHandshake tls = startTls(server.connect(), {"localhost", caFile.path}, soon());
  ASSERT_TRUE(tls.socket) << tls.failure;

  const TlsDetails& details = tls.details;
  EXPECT_EQ(details.version, "TLS 1.3");
  EXPECT_EQ(details.cipher, "TLS_AES_256_GCM_SHA384");
  ASSERT_EQ(details.chain.size(), 2u);
  EXPECT_EQ(details.chain[0].subject, "C=DE, O=Example, CN=Relay \\x1B[2J Z\xC3\xBCrich");
  EXPECT_EQ(details.chain[0].issuer, "C=DE, O=Example, CN=Test CA");
  EXPECT_EQ(details.chain[1].subject, details.chain[0].issuer);
  EXPECT_TRUE(std::regex_match(details.chain[0].notAfter,
                               std::regex("20[0-9]{2}(-[0-9]{2}){2} [0-9]{2}(:[0-9]{2}){2} UTC")));
  EXPECT_LT(details.chain[0].notBefore, details.chain[0].notAfter);
  std::array<unsigned char, 32> digest{};
  X509_digest(leaf.cert.get(), EVP_sha256(), digest.data(), nullptr);
  char* hex = OPENSSL_buf2hexstr(digest.data(), 32);
  EXPECT_EQ(details.leafSha256, hex);
  OPENSSL_free(hex);
  EXPECT_TRUE(std::regex_match(tlsBackendVersion(), std::regex(R"(OpenSSL 3\.\d+\.\d+)")));

  for (std::size_t at = 0; at < kUp; at += kBlock) {
    ASSERT_EQ(tls.socket->sendAll(std::string_view(up).substr(at, kBlock), soon()), IoStatus::kOk);
  }
  ReceiveResult result;
  while ((result = tls.socket->receive(buffer, soon())).status == IoStatus::kOk) {
    received.append(buffer, 0, result.bytes);
  }
  EXPECT_EQ(result.status, IoStatus::kClosed);  // the server's close_notify
  EXPECT_TRUE(received == down);
  tls.socket.reset();
  const Served& served = server.finish();
  EXPECT_TRUE(served.received == up);
  EXPECT_TRUE(served.closeNotify);
}

}  // namespace
}  // namespace larkpost::platform
