// Each mechanism's messages, built so that no copy of the secret outlives its use: the
// plain text and its base64 form are wiped as soon as the next form exists, and each is
// built in a buffer reserved to its final size, so no growing string leaves an unwiped
// copy behind in freed memory.
#include "smtp/sasl.h"

#include <initializer_list>

#include "core/base64_decoder.h"
#include "core/base64_encoder.h"
#include "platform/crypto.h"
#include "smtp/dialogue.h"

namespace larkpost {
namespace {

// The parts one after another, in a string allocated once.
std::string joined(std::initializer_list<std::string_view> parts) {
  std::size_t size = 0;
  for (std::string_view part : parts) size += part.size();
  std::string whole;
  whole.reserve(size);
  for (std::string_view part : parts) whole += part;
  return whole;
}

// A secret message in base64, the plain form wiped.
Secret encoded(std::string plain) {
  Secret result(Base64Encoder::encodeUnbroken(plain));
  wipe(plain);
  return result;
}

Secret line(Secret text) { return Secret(joined({text.view(), "\r\n"})); }

}  // namespace

std::string_view mechanismName(SaslMechanism mechanism) {
  switch (mechanism) {
    case SaslMechanism::kPlain:
      return "PLAIN";
    case SaslMechanism::kLogin:
      return "LOGIN";
    case SaslMechanism::kXoauth2:
      return "XOAUTH2";
    case SaslMechanism::kOauthBearer:
      return "OAUTHBEARER";
    case SaslMechanism::kScramSha256:
      return "SCRAM-SHA-256";
  }
  return "PLAIN";
}

std::optional<SaslMechanism> chooseMechanism(AuthChoice choice,
                                             const ServerCapabilities& capabilities) {
  auto offered = [&](SaslMechanism mechanism) -> std::optional<SaslMechanism> {
    if (capabilities.offersAuth(mechanismName(mechanism))) return mechanism;
    return std::nullopt;
  };
  switch (choice) {
    case AuthChoice::kAuto:
      // SCRAM first: the password itself never crosses the connection.
      if (auto scram = offered(SaslMechanism::kScramSha256)) return scram;
      if (auto plain = offered(SaslMechanism::kPlain)) return plain;
      return offered(SaslMechanism::kLogin);
    case AuthChoice::kPlain:
      return offered(SaslMechanism::kPlain);
    case AuthChoice::kLogin:
      return offered(SaslMechanism::kLogin);
    case AuthChoice::kXoauth2:
      return offered(SaslMechanism::kXoauth2);
    case AuthChoice::kOauthBearer:
      return offered(SaslMechanism::kOauthBearer);
    case AuthChoice::kScramSha256:
      return offered(SaslMechanism::kScramSha256);
    case AuthChoice::kNone:
      break;
  }
  return std::nullopt;
}

SaslClient::SaslClient(SaslMechanism mechanism, std::string_view user, std::string_view secret,
                       std::string_view host, int port)
    : mechanism_(mechanism), user_(user), secret_(secret), host_(host), port_(port) {
  if (mechanism == SaslMechanism::kScramSha256) {
    // 18 random bytes make a 24-character nonce without commas.
    std::optional<std::string> bytes = platform::randomBytes(18);
    scram_ = std::make_unique<ScramSha256>(user, secret,
                                           bytes ? Base64Encoder::encodeUnbroken(*bytes) : std::string());
  }
}

SaslClient::~SaslClient() = default;

bool SaslClient::serverVerified(std::string_view finalText) const {
  if (!scram_) return true;
  if (scramVerified_) return true;
  // A server may put its signature in the text of its final reply instead.
  std::size_t start = finalText.rfind(' ');
  std::optional<std::string> decoded =
      decodeBase64(start == std::string_view::npos ? finalText : finalText.substr(start + 1));
  return decoded && scram_->serverVerified(*decoded);
}

Secret SaslClient::initialResponse() const {
  using namespace std::string_view_literals;
  switch (mechanism_) {
    case SaslMechanism::kPlain:  // authorization identity left empty: the user's own
      return encoded(joined({"\0"sv, user_, "\0"sv, secret_}));
    case SaslMechanism::kLogin:
      return Secret();
    case SaslMechanism::kScramSha256:
      // No nonce from the system's generator: no login, rather than a guessable one.
      if (scram_->clientFirst().ends_with("r=")) return Secret();
      return encoded(scram_->clientFirst());
    case SaslMechanism::kXoauth2:
      return encoded(joined({"user=", user_, "\x01" "auth=Bearer ", secret_, "\x01\x01"}));
    case SaslMechanism::kOauthBearer:
      return encoded(joined({"n,a=", gs2Name(user_), ",\x01" "host=", host_, "\x01" "port=",
                             std::to_string(port_), "\x01" "auth=Bearer ", secret_, "\x01\x01"}));
  }
  return Secret();
}

Secret SaslClient::command() {
  Secret initial = initialResponse();
  std::string_view name = mechanismName(mechanism_);
  if (!initial.empty() && 5 + name.size() + 1 + initial.view().size() + 2 <= kMaxCommandLine) {
    initialSent_ = true;
    return Secret(joined({"AUTH ", name, " ", initial.view(), "\r\n"}));
  }
  return Secret(joined({"AUTH ", name, "\r\n"}));
}

Secret SaslClient::respond(std::string_view challenge) {
  ++challenges_;
  switch (mechanism_) {
    case SaslMechanism::kScramSha256: {
      if (!initialSent_) {
        initialSent_ = true;
        return line(initialResponse());
      }
      std::optional<std::string> decoded = decodeBase64(challenge);
      if (!decoded) break;
      if (std::optional<std::string> final = scram_->clientFinal(*decoded)) {
        return line(encoded(std::move(*final)));
      }
      // The server's last word: its signature, answered with an empty line when it is
      // right and cancelled when it is not.
      if (scram_->serverVerified(*decoded)) {
        scramVerified_ = true;
        return Secret(std::string("\r\n"));
      }
      break;
    }
    case SaslMechanism::kLogin:
      // The server asks for the user name, then the password.
      if (challenges_ == 1) return line(encoded(user_));
      if (challenges_ == 2) return line(encoded(joined({secret_})));
      break;
    case SaslMechanism::kPlain:
    case SaslMechanism::kXoauth2:
    case SaslMechanism::kOauthBearer:
      if (!initialSent_) {
        initialSent_ = true;
        return line(initialResponse());
      }
      // A challenge after the credentials is an OAuth error report. XOAUTH2 answers it
      // with an empty line, OAUTHBEARER with a single ^A (RFC 7628 3.2.3); then the
      // server sends its final reply.
      if (mechanism_ == SaslMechanism::kXoauth2 && challenges_ <= 2) return Secret(std::string("\r\n"));
      if (mechanism_ == SaslMechanism::kOauthBearer && challenges_ <= 2) {
        return line(encoded("\x01"));
      }
      break;
  }
  return Secret(std::string("*\r\n"));
}

std::string gs2Name(std::string_view user) {
  std::string out;
  for (char c : user) {
    if (c == ',') {
      out += "=2C";
    } else if (c == '=') {
      out += "=3D";
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace larkpost
