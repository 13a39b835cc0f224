// Microsoft's endpoints carry the tenant in their path; "organizations" admits any work
// or school account. Google's mail scope is not granted through the device flow, so its
// logins go through the browser.
#include "oauth/provider.h"

#include <array>
#include <utility>

#include "core/ascii_case.h"

namespace larkpost::oauth {
namespace {

void override(std::string& endpoint, const std::string& setting) {
  if (!setting.empty()) endpoint = setting;
}

}  // namespace

Endpoints endpointsFor(const OAuthSettings& settings) {
  Endpoints endpoints;
  bool appOnly = settings.grant == OAuthGrant::kClientCredentials;
  switch (settings.provider) {
    case OAuthProvider::kMicrosoft: {
      std::string base = "https://login.microsoftonline.com/" +
                         (settings.tenant.empty() ? std::string("organizations") : settings.tenant) +
                         "/oauth2/v2.0/";
      endpoints = {base + "authorize", base + "token", base + "devicecode",
                   appOnly ? "https://outlook.office365.com/.default"
                           : "https://outlook.office.com/SMTP.Send offline_access"};
      break;
    }
    case OAuthProvider::kGoogle:
      endpoints = {"https://accounts.google.com/o/oauth2/v2/auth",
                   "https://oauth2.googleapis.com/token",
                   "https://oauth2.googleapis.com/device/code", "https://mail.google.com/"};
      break;
    case OAuthProvider::kCustom:
    case OAuthProvider::kNone:
      break;
  }
  override(endpoints.authorize, settings.authorizeUrl);
  override(endpoints.token, settings.tokenUrl);
  override(endpoints.device, settings.deviceUrl);
  override(endpoints.scope, settings.scope);
  return endpoints;
}

std::string_view providerName(OAuthProvider provider) {
  switch (provider) {
    case OAuthProvider::kMicrosoft:
      return "microsoft";
    case OAuthProvider::kGoogle:
      return "google";
    case OAuthProvider::kCustom:
      return "custom";
    case OAuthProvider::kNone:
      break;
  }
  return "none";
}

std::optional<OAuthProvider> parseProvider(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, OAuthProvider>, 4> kNames{{
      {"microsoft", OAuthProvider::kMicrosoft},
      {"google", OAuthProvider::kGoogle},
      {"custom", OAuthProvider::kCustom},
      {"", OAuthProvider::kNone},
  }};
  std::string name = lowerCased(text);
  for (auto [known, provider] : kNames) {
    if (name == known) return provider;
  }
  return std::nullopt;
}

std::optional<OAuthGrant> parseGrant(std::string_view text) {
  static constexpr std::array<std::pair<std::string_view, OAuthGrant>, 5> kNames{{
      {"auto", OAuthGrant::kAuto},
      {"", OAuthGrant::kAuto},
      {"device-code", OAuthGrant::kDeviceCode},
      {"browser", OAuthGrant::kBrowser},
      {"client-credentials", OAuthGrant::kClientCredentials},
  }};
  std::string name = lowerCased(text);
  for (auto [known, grant] : kNames) {
    if (name == known) return grant;
  }
  return std::nullopt;
}

OAuthGrant loginGrant(const OAuthSettings& settings, const Endpoints& endpoints) {
  if (settings.grant != OAuthGrant::kAuto) return settings.grant;
  if (settings.provider == OAuthProvider::kGoogle || endpoints.device.empty()) {
    return OAuthGrant::kBrowser;
  }
  return OAuthGrant::kDeviceCode;
}

}  // namespace larkpost::oauth
