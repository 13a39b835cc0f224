// The SASL mechanisms of SMTP AUTH (RFC 4954): PLAIN (RFC 4616), LOGIN, XOAUTH2 and
// OAUTHBEARER (RFC 7628). Pure logic: what to send at each step; the dialogue sends it.
#ifndef LARKPOST_SMTP_SASL_H_
#define LARKPOST_SMTP_SASL_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/job_settings.h"
#include "smtp/capabilities.h"
#include "core/secret.h"
#include "smtp/scram.h"

namespace larkpost {

enum class SaslMechanism { kPlain, kLogin, kXoauth2, kOauthBearer, kScramSha256 };

// A user name as a GS2 header (RFC 5801) and SCRAM's "n=" carry it: "," and "=" escaped
// as "=2C" and "=3D".
std::string gs2Name(std::string_view user);

std::string_view mechanismName(SaslMechanism mechanism);

// The mechanism to use: auto takes SCRAM-SHA-256, else PLAIN, else LOGIN; a named one only when offered; the
// OAuth mechanisms only when named. std::nullopt when the server offers none that fits.
std::optional<SaslMechanism> chooseMechanism(AuthChoice choice,
                                             const ServerCapabilities& capabilities);

// One login: the AUTH command, then a response to each 334 challenge. Every text it
// gives holds the secret in base64 and is a Secret itself.
class SaslClient {
 public:
  SaslClient(SaslMechanism mechanism, std::string_view user, std::string_view secret,
             std::string_view host, int port);
  ~SaslClient();

  // "AUTH <mechanism> [initial response]\r\n"; the initial response is left for the
  // first challenge when the command would pass SMTP's 512-octet line limit.
  Secret command();

  // The line answering a 334 challenge, CR LF included. After an OAuth error challenge
  // this is the reply the mechanism requires so the server can send its final answer;
  // a challenge the mechanism does not expect is cancelled with "*".
  Secret respond(std::string_view challenge = {});

  // SCRAM: whether the server proved it knows the password, in a challenge or in the
  // text of its final reply (`finalText`). True for every other mechanism.
  bool serverVerified(std::string_view finalText) const;

 private:
  Secret initialResponse() const;

  SaslMechanism mechanism_;
  std::string user_;
  std::string_view secret_;
  std::string host_;
  int port_;
  int challenges_ = 0;
  bool initialSent_ = false;
  std::unique_ptr<ScramSha256> scram_;
  bool scramVerified_ = false;
};

}  // namespace larkpost

#endif  // LARKPOST_SMTP_SASL_H_
