// Each mechanism's messages, built so that no copy of the secret outlives its use: the
// plain text and its base64 form are wiped as soon as the next form exists.
#include "smtp/sasl.h"

#include "core/base64_decoder.h"
#include "core/base64_encoder.h"
#include "platform/crypto.h"
#include "smtp/dialogue.h"

namespace larkpost {
namespace {

// A secret message in base64, the plain form wiped.
Secret encoded(std::string plain) {
  Secret result(Base64Encoder::encodeUnbroken(plain));
  wipe(plain);
  return result;
}

// A user name inside a GS2 header (RFC 5801): "," and "=" escaped.
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

Secret line(Secret text) {
  std::string withEnd(text.view());
  withEnd += "\r\n";
  return Secret(withEnd);
}

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
  std::string plain;
  switch (mechanism_) {
    case SaslMechanism::kPlain:  // authorization identity left empty: the user's own
      plain = '\0' + user_ + '\0';
      plain += secret_;
      break;
    case SaslMechanism::kLogin:
      return Secret();
    case SaslMechanism::kScramSha256:
      // No nonce from the system's generator: no login, rather than a guessable one.
      if (scram_->clientFirst().ends_with("r=")) return Secret();
      return encoded(scram_->clientFirst());
    case SaslMechanism::kXoauth2:
      plain = "user=" + user_ + "\x01" "auth=Bearer ";
      plain += secret_;
      plain += "\x01\x01";
      break;
    case SaslMechanism::kOauthBearer:
      plain = "n,a=" + gs2Name(user_) + ",\x01" "host=" + host_ + "\x01" "port=" +
              std::to_string(port_) + "\x01" "auth=Bearer ";
      plain += secret_;
      plain += "\x01\x01";
      break;
  }
  return encoded(std::move(plain));
}

Secret SaslClient::command() {
  std::string text = "AUTH ";
  text += mechanismName(mechanism_);
  Secret initial = initialResponse();
  if (!initial.empty() && text.size() + 1 + initial.view().size() + 2 <= kMaxCommandLine) {
    text += ' ';
    text += initial.view();
    initialSent_ = true;
  }
  text += "\r\n";
  return Secret(text);
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
      if (challenges_ == 2) return line(encoded(std::string(secret_)));
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

}  // namespace larkpost
