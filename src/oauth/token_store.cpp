// The file names a version, so a later program can tell an older layout from damage.
#include "oauth/token_store.h"

#include <nlohmann/json.hpp>

#include "core/secret.h"
#include "oauth/provider.h"
#include "platform/crypto.h"

namespace larkpost::oauth {
namespace {

using Json = nlohmann::json;
constexpr int kFormatVersion = 1;

std::string hex(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out += kHex[c >> 4];
    out += kHex[c & 15];
  }
  return out;
}

}  // namespace

StoredTokens::~StoredTokens() {
  wipe(refreshToken);
  wipe(accessToken);
}

std::string serializeTokens(const StoredTokens& tokens) {
  Json object = {{"larkpost_token_store", kFormatVersion},
                 {"account", tokens.account},
                 {"refresh_token", tokens.refreshToken},
                 {"access_token", tokens.accessToken},
                 {"access_expires_at", tokens.accessExpiresAt}};
  std::string text = object.dump(2) + "\n";
  wipe(object["refresh_token"].get_ref<std::string&>());
  wipe(object["access_token"].get_ref<std::string&>());
  return text;
}

std::optional<StoredTokens> parseStoredTokens(std::string_view text) {
  Json object = Json::parse(text, nullptr, false);
  if (object.is_discarded() || !object.is_object()) return std::nullopt;
  auto version = object.find("larkpost_token_store");
  if (version == object.end() || !version->is_number_integer() || *version != kFormatVersion) {
    return std::nullopt;
  }
  StoredTokens tokens;
  for (auto [name, field] : {std::pair{"account", &StoredTokens::account},
                             std::pair{"refresh_token", &StoredTokens::refreshToken},
                             std::pair{"access_token", &StoredTokens::accessToken}}) {
    auto found = object.find(name);
    if (found == object.end() || !found->is_string()) return std::nullopt;
    tokens.*field = found->get<std::string>();
    wipe(found->get_ref<std::string&>());
  }
  auto expires = object.find("access_expires_at");
  if (expires == object.end() || !expires->is_number_integer()) return std::nullopt;
  tokens.accessExpiresAt = expires->get<std::int64_t>();
  return tokens;
}

std::string storeFileName(const OAuthSettings& settings, std::string_view user) {
  Endpoints endpoints = endpointsFor(settings);
  // The token endpoint stands for provider and tenant, so a custom provider's accounts
  // do not mix with another's.
  std::string key = std::string(providerName(settings.provider)) + '\n' + endpoints.token + '\n' +
                    settings.clientId + '\n' + std::string(user) + '\n' +
                    (settings.grant == OAuthGrant::kClientCredentials ? "app" : "delegated");
  return "oauth-" + hex(platform::sha256(key)).substr(0, 32) + ".json";
}

bool accessTokenFresh(const StoredTokens& tokens, std::int64_t nowSeconds,
                      std::int64_t marginSeconds) {
  return !tokens.accessToken.empty() && tokens.accessExpiresAt - nowSeconds > marginSeconds;
}

}  // namespace larkpost::oauth
