// The rules that decide how a session is secured and whom it trusts. The sessions
// themselves run end to end against real and scripted servers in tests/.
#include "smtp/session.h"

#include <gtest/gtest.h>

#include "core/run_failure.h"

namespace larkpost {
namespace {

TEST(Session, SecurityFollowsThePortUnlessNamed) {
  JobSettings settings;
  for (auto [port, security] : {std::pair{25, Security::kNone}, {465, Security::kTls},
                                {587, Security::kStartTls}, {2525, Security::kNone}}) {
    settings.port = port;
    EXPECT_EQ(effectiveSecurity(settings), security) << port;
  }
  settings.security = Security::kNone;
  EXPECT_EQ(effectiveSecurity(settings), Security::kNone);
}

TEST(Session, PasswordsStayOffPlaintextToOtherMachines) {
  // Before connecting only an address literal tells; after, the address connected to
  // decides, whatever the name says ("x.localhost" may resolve anywhere).
  struct Case {
    std::string server;
    std::optional<Security> security;
    bool plaintextAuth;
    AuthChoice auth;
    std::optional<bool> connectedToLoopback;
    bool refused;
  };
  const Case cases[] = {
      {"192.0.2.7", std::nullopt, false, AuthChoice::kAuto, std::nullopt, true},
      {"[2001:db8::1]", std::nullopt, false, AuthChoice::kAuto, std::nullopt, true},
      {"::ffff:127.0.0.1", std::nullopt, false, AuthChoice::kAuto, std::nullopt, false},
      {"127.0.0.2", std::nullopt, false, AuthChoice::kAuto, std::nullopt, false},
      {"::1", std::nullopt, false, AuthChoice::kAuto, std::nullopt, false},
      {"[::1]", std::nullopt, false, AuthChoice::kAuto, std::nullopt, false},
      {"mail.example.com", std::nullopt, false, AuthChoice::kAuto, std::nullopt, false},
      {"mail.example.com", std::nullopt, false, AuthChoice::kAuto, false, true},
      {"mail.example.com", std::nullopt, false, AuthChoice::kAuto, true, false},
      {"mail.example.com", Security::kStartTls, false, AuthChoice::kAuto, false, false},
      {"mail.example.com", std::nullopt, true, AuthChoice::kAuto, false, false},
      {"mail.example.com", std::nullopt, false, AuthChoice::kNone, false, false},
      {"evil.localhost", std::nullopt, false, AuthChoice::kAuto, false, true},
      {"localhost", std::nullopt, false, AuthChoice::kAuto, false, true},
      {"127.0.0.1", std::nullopt, false, AuthChoice::kPlain, false, true},
  };
  for (const Case& c : cases) {
    JobSettings settings;
    settings.server = c.server;
    settings.security = c.security;
    settings.plaintextAuth = c.plaintextAuth;
    settings.auth = c.auth;
    settings.user = "me@example.com";
    bool refused = false;
    try {
      refusePlaintextPassword(settings, c.connectedToLoopback);
    } catch (const RunFailure& failure) {
      refused = true;
      EXPECT_EQ(failure.message, "Refusing to send the password for me@example.com unencrypted "
                                 "to server (" + c.server + "); set Security=starttls or tls\n");
    }
    EXPECT_EQ(refused, c.refused) << c.server;
  }
}

TEST(Session, TrustComesFromTheStoreOrTheFingerprintAlone) {
  const std::string leaf =
      "AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:45:67:89:AB:CD:EF:01:23:"
      "45:67:89";
  EXPECT_EQ(normalizedFingerprint("abcdef0123456789ABCDEF0123456789abcdef0123456789abcdef0123456789"),
            leaf);
  EXPECT_EQ(normalizedFingerprint(leaf), leaf);
  EXPECT_EQ(normalizedFingerprint("abcd"), std::nullopt);
  EXPECT_EQ(normalizedFingerprint(std::string(64, 'g')), std::nullopt);

  platform::TlsDetails details;
  details.leafSha256 = leaf;
  details.trust = platform::TrustProblem::kSelfSigned;
  JobSettings settings;
  settings.server = "mail.example.com";
  EXPECT_EQ(distrustReason(details, settings),
            "the certificate is self-signed (trust it with Fingerprint or CAFile)");
  settings.fingerprint = leaf;  // pinned: the store's verdict no longer counts
  EXPECT_EQ(distrustReason(details, settings), std::nullopt);
  details.trust = platform::TrustProblem::kNone;
  settings.fingerprint = std::string(64, '0');
  EXPECT_EQ(distrustReason(details, settings),
            "its SHA-256 fingerprint is " + leaf + ", not the one in Fingerprint");
  settings.fingerprint.clear();
  details.trust = platform::TrustProblem::kNameMismatch;
  details.chain = {{}};
  EXPECT_EQ(distrustReason(details, settings),
            "the certificate is not for mail.example.com; it is for no host name or address");
  details.chain[0].names = {"a.test", "b.test", "192.0.2.1", "::1", "e.test", "f.test", "g.test"};
  EXPECT_EQ(distrustReason(details, settings),
            "the certificate is not for mail.example.com; it is for a.test, b.test, 192.0.2.1, "
            "::1, e.test and 2 more");
  EXPECT_EQ(certificateNamesText(std::span(details.chain[0].names).first(5), 5),
            "a.test, b.test, 192.0.2.1, ::1, e.test");
  settings.tlsVerify = false;
  EXPECT_EQ(distrustReason(details, settings), std::nullopt);
}

}  // namespace
}  // namespace larkpost
