// The OAuth 2.0 messages (RFC 6749, 8628, 7636) as text: request bodies to write and
// answers to read. Pure logic; oauth_client.cpp sends and receives them.
#ifndef LARKPOST_OAUTH_TOKEN_MESSAGES_H_
#define LARKPOST_OAUTH_TOKEN_MESSAGES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkpost::oauth {

using FormFields = std::vector<std::pair<std::string, std::string>>;

// application/x-www-form-urlencoded, fields in the order given; empty values left out.
std::string formEncode(const FormFields& fields);

// The value of `name` in a query string ("a=1&b=2"), decoded; std::nullopt when absent.
std::optional<std::string> queryValue(std::string_view query, std::string_view name);

// What a token endpoint answered.
struct TokenAnswer {
  enum class Kind {
    kTokens,     // a successful answer with an access token
    kError,      // an OAuth error answer: see error and errorDescription
    kMalformed,  // neither: detail says what was wrong
  } kind = Kind::kMalformed;
  std::string accessToken;
  std::string refreshToken;  // empty when the answer carries none
  std::int64_t expiresIn = 0;  // seconds; 0 when not said
  std::string idToken;
  std::string error;
  std::string errorDescription;
  std::string detail;

  TokenAnswer() = default;
  TokenAnswer(TokenAnswer&&) = default;
  TokenAnswer& operator=(TokenAnswer&&) = default;
  ~TokenAnswer();  // wipes the tokens
};

// Reads a token endpoint's answer: JSON with access_token, or with error.
TokenAnswer parseTokenAnswer(long httpStatus, std::string_view body);

// "error (description)", or "error" alone, for a message, control bytes escaped.
std::string describeError(const TokenAnswer& answer);

// The first answer of the device authorization grant.
struct DeviceAuthorization {
  std::string deviceCode;
  std::string userCode;
  std::string verificationUri;
  std::int64_t expiresIn = 900;  // seconds
  std::int64_t interval = 5;     // seconds between polls
};

// std::nullopt (and `error` set) when the answer lacks what the grant needs.
std::optional<DeviceAuthorization> parseDeviceAuthorization(long httpStatus, std::string_view body,
                                                            std::string& error);

// Who an OpenID Connect ID token names (preferred_username, email or upn), for telling
// the user; the token is only read, never trusted for anything.
std::string accountInIdToken(std::string_view idToken);

// base64url without padding (RFC 4648 section 5).
std::string base64Url(std::string_view bytes);

// The PKCE S256 challenge for `verifier`.
std::string pkceChallenge(std::string_view verifier);

}  // namespace larkpost::oauth

#endif  // LARKPOST_OAUTH_TOKEN_MESSAGES_H_
