// What the token store keeps for one account, and the name of its file. The file holds
// JSON: the refresh token, the last access token and when it expires, and who logged in.
#ifndef LARKPOST_OAUTH_TOKEN_STORE_H_
#define LARKPOST_OAUTH_TOKEN_STORE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/job_settings.h"

namespace larkpost::oauth {

struct StoredTokens {
  std::string account;       // who the provider said logged in; may be empty
  std::string refreshToken;  // empty for the client credentials grant
  std::string accessToken;
  std::int64_t accessExpiresAt = 0;  // seconds since 1970 (UTC)

  StoredTokens() = default;
  StoredTokens(StoredTokens&&) = default;
  StoredTokens& operator=(StoredTokens&&) = default;
  ~StoredTokens();  // wipes the tokens
};

std::string serializeTokens(const StoredTokens& tokens);

// std::nullopt for anything that is not a store file this program wrote.
std::optional<StoredTokens> parseStoredTokens(std::string_view text);

// One file per account: provider, tenant, client and user, hashed into a name that holds
// no character a file system could object to.
std::string storeFileName(const OAuthSettings& settings, std::string_view user);

// True when the access token is still good `marginSeconds` from `nowSeconds`.
bool accessTokenFresh(const StoredTokens& tokens, std::int64_t nowSeconds,
                      std::int64_t marginSeconds = 60);

}  // namespace larkpost::oauth

#endif  // LARKPOST_OAUTH_TOKEN_STORE_H_
