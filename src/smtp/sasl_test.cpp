// EHLO keywords and the SASL exchanges, byte for byte.
#include "smtp/sasl.h"
#include "smtp/scram.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base64_encoder.h"

// Every block this test binary frees with its size passes a scan, while one is being
// watched for: a secret left behind in freed memory (by a string that grew, say) is
// counted. Strings give their size back when they free, so no header of our own is
// needed, and blocks that the TLS module allocated with its own library free safely here.
namespace {
const std::string* gWatchedFor[4] = {};
int gLeftBehind = 0;

void scanFreed(void* block, std::size_t size) {
  std::string_view freed(static_cast<char*>(block), size);
  for (const std::string* needle : gWatchedFor) {
    if (needle && freed.find(*needle) != std::string_view::npos) ++gLeftBehind;
  }
}
}  // namespace

void* operator new(std::size_t size) {
  void* block = std::malloc(size == 0 ? 1 : size);
  if (!block) throw std::bad_alloc();
  return block;
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t size) noexcept {
  if (!block) return;
  scanFreed(block, size);
  std::free(block);
}

namespace larkpost {
namespace {

ServerCapabilities capabilitiesOf(std::vector<std::string> lines) {
  lines.insert(lines.begin(), "250-mail.example.com greets you");
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) lines[i][3] = '-';
  lines.back()[3] = ' ';
  return parseEhloReply(Reply{lines});
}

TEST(Capabilities, ReadsKeywordsInAnyCaseAndBothAuthForms) {
  ServerCapabilities c = capabilitiesOf({"250-pipelining", "250-SIZE 10240000", "250-StartTLS",
                                         "250-AUTH PLAIN login", "250-AUTH=LOGIN CRAM-MD5",
                                         "250-8BITMIME", "250-SMTPUTF8", "250 ENHANCEDSTATUSCODES"});
  EXPECT_TRUE(c.extended && c.pipelining && c.startTls && c.eightBitMime && c.smtpUtf8 &&
              c.enhancedStatusCodes && c.size);
  EXPECT_EQ(c.sizeLimit, 10240000u);
  EXPECT_EQ(c.authMechanisms, (std::vector<std::string>{"PLAIN", "LOGIN", "CRAM-MD5"}));
  EXPECT_EQ(c.keywordLines.size(), 8u);

  ServerCapabilities bare = capabilitiesOf({"250 SIZE"});
  EXPECT_TRUE(bare.size);
  EXPECT_EQ(bare.sizeLimit, 0u);
  EXPECT_FALSE(bare.startTls || bare.pipelining);
}

TEST(Sasl, ChoosesAmongWhatIsOffered) {
  ServerCapabilities both = capabilitiesOf({"250 AUTH LOGIN PLAIN XOAUTH2"});
  ServerCapabilities login = capabilitiesOf({"250 AUTH LOGIN"});
  ServerCapabilities oauth = capabilitiesOf({"250 AUTH XOAUTH2 OAUTHBEARER"});
  EXPECT_EQ(chooseMechanism(AuthChoice::kAuto, both), SaslMechanism::kPlain);
  EXPECT_EQ(chooseMechanism(AuthChoice::kAuto, login), SaslMechanism::kLogin);
  EXPECT_EQ(chooseMechanism(AuthChoice::kAuto, oauth), std::nullopt);  // OAuth only when named
  EXPECT_EQ(chooseMechanism(AuthChoice::kXoauth2, oauth), SaslMechanism::kXoauth2);
  EXPECT_EQ(chooseMechanism(AuthChoice::kOauthBearer, both), std::nullopt);
  EXPECT_EQ(chooseMechanism(AuthChoice::kNone, both), std::nullopt);
  ServerCapabilities scram = capabilitiesOf({"250 AUTH PLAIN LOGIN SCRAM-SHA-256"});
  EXPECT_EQ(chooseMechanism(AuthChoice::kAuto, scram), SaslMechanism::kScramSha256);
  EXPECT_EQ(chooseMechanism(AuthChoice::kPlain, scram), SaslMechanism::kPlain);
  EXPECT_EQ(chooseMechanism(AuthChoice::kScramSha256, both), std::nullopt);
}

// The worked example of RFC 7677 section 3.
TEST(Scram, FollowsTheWorkedExampleOfRfc7677) {
  ScramSha256 scram("user", "pencil", "rOprNGfwEbeRWgbNEkqO");
  EXPECT_EQ(scram.clientFirst(), "n,,n=user,r=rOprNGfwEbeRWgbNEkqO");
  EXPECT_FALSE(scram.serverVerified("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));  // not yet
  std::optional<std::string> final = scram.clientFinal(
      "r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096");
  ASSERT_TRUE(final);
  EXPECT_EQ(*final,
            "c=biws,r=rOprNGfwEbeRWgbNEkqO%hvYDpWUa2RaTCAfuxFIlj)hNlF$k0,"
            "p=dHzbZapWIk4jUhN+Ute9ytag9zjfMHgsqmmiz7AndVQ=");
  EXPECT_TRUE(scram.serverVerified("v=6rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
  EXPECT_FALSE(scram.serverVerified("v=7rriTRBi23WpRR/wtup+mMhUZUn/dB5nLTJRsjl95G4="));
  EXPECT_FALSE(scram.serverVerified("e=other-error"));
}

TEST(Scram, RefusesServerFirstMessagesThatCannotBeTrusted) {
  const char* refused[] = {
      "r=someoneelse,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",  // not our nonce
      "r=abc,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096",          // our nonce, nothing of the server's
      "r=abcdef,s=not base64,i=4096",
      "r=abcdef,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=0",
      "r=abcdef,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=4096x",
      "r=abcdef,s=W22ZaJ0SNY7soEsUEjb6gQ==,i=100000000",  // hours of hashing
      "r=abcdef,i=4096",
      "",
  };
  for (const char* serverFirst : refused) {
    ScramSha256 scram("u", "p", "abc");
    EXPECT_FALSE(scram.clientFinal(serverFirst)) << serverFirst;
  }
  ScramSha256 escaped("a,b=c", "p", "n");
  EXPECT_EQ(escaped.clientFirst(), "n,,n=a=2Cb=3Dc,r=n");
}

std::string text(const Secret& secret) { return std::string(secret.view()); }

TEST(Sasl, ExchangesOfEachMechanism) {
  SaslClient plain(SaslMechanism::kPlain, "user@example.com", "p4ss", "mail.example.com", 587);
  EXPECT_EQ(text(plain.command()), "AUTH PLAIN AHVzZXJAZXhhbXBsZS5jb20AcDRzcw==\r\n");
  EXPECT_EQ(text(plain.respond()), "*\r\n");

  SaslClient login(SaslMechanism::kLogin, "user", "p4ss", "h", 25);
  EXPECT_EQ(text(login.command()), "AUTH LOGIN\r\n");
  EXPECT_EQ(text(login.respond()), "dXNlcg==\r\n");
  EXPECT_EQ(text(login.respond()), "cDRzcw==\r\n");
  EXPECT_EQ(text(login.respond()), "*\r\n");

  // user=u^Aauth=Bearer t^A^A, then the empty line that answers an error challenge.
  SaslClient xoauth(SaslMechanism::kXoauth2, "u", "t", "h", 25);
  EXPECT_EQ(text(xoauth.command()), "AUTH XOAUTH2 dXNlcj11AWF1dGg9QmVhcmVyIHQBAQ==\r\n");
  EXPECT_EQ(text(xoauth.respond()), "\r\n");

  // n,a=u=2C,^Ahost=h^Aport=587^Aauth=Bearer t^A^A, then ^A after an error.
  SaslClient bearer(SaslMechanism::kOauthBearer, "u,", "t", "h", 587);
  EXPECT_EQ(text(bearer.command()),
            "AUTH OAUTHBEARER bixhPXU9MkMsAWhvc3Q9aAFwb3J0PTU4NwFhdXRoPUJlYXJlciB0AQE=\r\n");
  EXPECT_EQ(text(bearer.respond()), "AQ==\r\n");
}

TEST(Sasl, LongTokensWaitForTheFirstChallenge) {
  std::string token(2000, 't');
  SaslClient xoauth(SaslMechanism::kXoauth2, "u", token, "h", 25);
  EXPECT_EQ(text(xoauth.command()), "AUTH XOAUTH2\r\n");
  std::string response = text(xoauth.respond());
  EXPECT_GT(response.size(), 2000u);
  EXPECT_TRUE(response.ends_with("AQE=\r\n"));
  EXPECT_EQ(text(xoauth.respond()), "\r\n");  // the error challenge comes after it
}

TEST(Sasl, NoCopyOfTheSecretIsLeftInFreedMemory) {
  const std::string token = "ya29.a0AfH6SMBx-token-that-must-not-linger-" + std::string(60, 'k');
  for (SaslMechanism mechanism : {SaslMechanism::kPlain, SaslMechanism::kLogin,
                                  SaslMechanism::kXoauth2, SaslMechanism::kOauthBearer}) {
    for (const std::string& user : {std::string("u"), std::string(600, 'u')}) {  // inline, then not
      // The token, and the base64 of each message that carries it, as the server gets it.
      SaslClient probe(mechanism, user, token, "mail.example.com", 587);
      std::string wholeMessage = Base64Encoder::encodeUnbroken(
          mechanism == SaslMechanism::kLogin ? token : std::string(probe.command().view()));
      const std::string needles[] = {token, wholeMessage.substr(wholeMessage.find(' ') + 1, 40),
                                     Base64Encoder::encodeUnbroken(token).substr(0, 40)};
      gLeftBehind = 0;
      for (int i = 0; i < 3; ++i) gWatchedFor[i] = &needles[i];
      {
        SaslClient sasl(mechanism, user, token, "mail.example.com", 587);
        Secret command = sasl.command();
        for (int round = 0; round < 3; ++round) Secret response = sasl.respond();
      }
      for (auto& watched : gWatchedFor) watched = nullptr;
      EXPECT_EQ(gLeftBehind, 0) << mechanismName(mechanism) << " user of " << user.size();
    }
  }
}

}  // namespace
}  // namespace larkpost
