// Where each provider's OAuth endpoints are and which scope reaches its SMTP server.
#ifndef LARKPOST_OAUTH_PROVIDER_H_
#define LARKPOST_OAUTH_PROVIDER_H_

#include <optional>
#include <string>
#include <string_view>

#include "core/job_settings.h"

namespace larkpost::oauth {

struct Endpoints {
  std::string authorize;  // empty when the provider has none (or it is not set)
  std::string token;
  std::string device;
  std::string scope;
};

// The provider's endpoints, each replaced by its setting when that is set.
Endpoints endpointsFor(const OAuthSettings& settings);

// "microsoft", "google", "custom".
std::string_view providerName(OAuthProvider provider);

// microsoft|google|custom (any letter case), or std::nullopt.
std::optional<OAuthProvider> parseProvider(std::string_view text);

// device-code|browser|client-credentials|auto, or std::nullopt.
std::optional<OAuthGrant> parseGrant(std::string_view text);

// How --oauth-login logs in when neither the option nor OAuthGrant says: the device grant
// where the provider lets it reach mail (Microsoft, or a custom provider with a device
// endpoint), else the browser.
OAuthGrant loginGrant(const OAuthSettings& settings, const Endpoints& endpoints);

}  // namespace larkpost::oauth

#endif  // LARKPOST_OAUTH_PROVIDER_H_
