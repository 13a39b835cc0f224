// Values are checked when they are read: a mistyped Security or Auth must end the run
// before anything is sent, not quietly fall back to something weaker.
#include "invocation/setting_keys.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <vector>

#include "core/ascii_case.h"
#include "compose/header_fields.h"
#include "oauth/provider.h"
#include "smtp/dsn.h"
#include "smtp/session.h"

namespace larkpost {
namespace {

bool setSecurity(JobSettings& settings, const std::string& value) {
  std::string name = lowerCased(value);
  if (name == "none") {
    settings.security = Security::kNone;
  } else if (name == "starttls") {
    settings.security = Security::kStartTls;
  } else if (name == "tls") {
    settings.security = Security::kTls;
  } else {
    return false;
  }
  return true;
}

bool setAuth(JobSettings& settings, const std::string& value) {
  static constexpr std::array<std::pair<std::string_view, AuthChoice>, 7> kNames{{
      {"auto", AuthChoice::kAuto},
      {"plain", AuthChoice::kPlain},
      {"login", AuthChoice::kLogin},
      {"xoauth2", AuthChoice::kXoauth2},
      {"oauthbearer", AuthChoice::kOauthBearer},
      {"scram-sha-256", AuthChoice::kScramSha256},
      {"none", AuthChoice::kNone},
  }};
  std::string name = lowerCased(value);
  for (auto [known, choice] : kNames) {
    if (name == known) {
      settings.auth = choice;
      return true;
    }
  }
  return false;
}

bool setFingerprint(JobSettings& settings, const std::string& value) {
  if (value.empty()) {
    settings.fingerprint.clear();
    return true;
  }
  std::optional<std::string> fingerprint = normalizedFingerprint(value);
  if (!fingerprint) return false;
  settings.fingerprint = *fingerprint;
  return true;
}

// The name goes into a header field: anything but an RFC 2045 token could break it open.
// Empty means the platform's own.
bool setCharset(JobSettings& settings, const std::string& value) {
  if (value.empty()) {
    settings.charset = platform::defaultCharset();
    return true;
  }
  if (!isCharsetName(value)) return false;
  settings.charset = value;
  return true;
}

bool setOAuthProvider(JobSettings& settings, const std::string& value) {
  std::optional<OAuthProvider> provider = oauth::parseProvider(value);
  if (!provider) return false;
  settings.oauth.provider = *provider;
  return true;
}

bool setOAuthGrant(JobSettings& settings, const std::string& value) {
  std::optional<OAuthGrant> grant = oauth::parseGrant(value);
  if (!grant) return false;
  settings.oauth.grant = *grant;
  return true;
}

template <std::string OAuthSettings::*field>
bool setOAuthText(JobSettings& settings, const std::string& value) {
  settings.oauth.*field = value;
  return true;
}

bool setPasswordStore(JobSettings& settings, const std::string& value) {
  std::string name = lowerCased(value);
  if (name != "credman" && name != "none" && !name.empty()) return false;
  settings.passwordFromStore = name == "credman";
  return true;
}

bool setDsnNotify(JobSettings& settings, const std::string& value) {
  std::optional<std::string> notify = value.empty() ? std::string() : normalizedNotify(value);
  if (!notify) return false;
  settings.dsnNotify = *notify;
  return true;
}

bool setDsnReturn(JobSettings& settings, const std::string& value) {
  std::optional<std::string> ret = value.empty() ? std::string() : normalizedReturn(value);
  if (!ret) return false;
  settings.dsnReturn = *ret;
  return true;
}

// An identifier too long for the server is refused here rather than dropped later.
bool setDsnEnvid(JobSettings& settings, const std::string& value) {
  if (!isSendableEnvid(value)) return false;
  settings.dsnEnvid = value;
  return true;
}

bool setAliases(JobSettings& settings, const std::string& value) {
  settings.aliasesPath = value;
  return true;
}

template <bool JobSettings::*field>
bool setYesNo(JobSettings& settings, const std::string& value) {
  std::optional<bool> yes = parseYesNo(value);
  if (!yes) return false;
  settings.*field = *yes;
  return true;
}

template <std::int32_t JobSettings::*field>
bool setCount(JobSettings& settings, const std::string& value) {
  std::int32_t count = 0;
  auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), count);
  if (error != std::errc() || end != value.data() + value.size() || count < 0) return false;
  settings.*field = count;
  return true;
}

template <std::string JobSettings::*field>
bool setText(JobSettings& settings, const std::string& value) {
  settings.*field = value;
  return true;
}

constexpr std::array<SettingKey, 36> kSettingKeys{{
    {"Security", "--security", "none|starttls|tls", setSecurity},
    {"User", "--user", "name", setText<&JobSettings::user>},
    // No long option: a password on the command line is in every process list.
    {"Password", "", "", setText<&JobSettings::password>},
    {"PasswordCommand", "--password-command", "command", setText<&JobSettings::passwordCommand>},
    {"PasswordStore", "--password-store", "none|credman", setPasswordStore},
    {"Auth", "--auth", "auto|plain|login|scram-sha-256|xoauth2|oauthbearer|none", setAuth},
    {"CAFile", "--ca-file", "file", setText<&JobSettings::caFile>},
    {"Fingerprint", "--fingerprint", "sha256", setFingerprint},
    {"TlsVerify", "--tls-verify", "yes|no", setYesNo<&JobSettings::tlsVerify>},
    {"PlaintextAuth", "--plaintext-auth", "yes|no", setYesNo<&JobSettings::plaintextAuth>},
    {"MaxRecipients", "--max-recipients", "count", setCount<&JobSettings::maxRecipients>},
    {"Retry", "--retry", "count", setCount<&JobSettings::retries>},
    {"RetryDelay", "--retry-delay", "seconds", setCount<&JobSettings::retryDelaySeconds>},
    // --trace alone traces to standard error.
    {"Trace", "--trace", "file", setText<&JobSettings::tracePath>},
    {"Charset", "--charset", "name", setCharset},
    // For cron: nothing on standard output unless something went wrong.
    {"Quiet", "--quiet", "", setYesNo<&JobSettings::quiet>},
    {"Log", "--log", "file", setText<&JobSettings::logPath>},
    {"Syslog", "--syslog", "", setYesNo<&JobSettings::syslog>},
    {"IgnoreDots", "--ignore-dots", "", setYesNo<&JobSettings::ignoreDots>},
    {"OAuthProvider", "--oauth-provider", "microsoft|google|custom", setOAuthProvider},
    {"OAuthClientId", "--oauth-client-id", "id", setOAuthText<&OAuthSettings::clientId>},
    // Secrets again: no long option.
    {"OAuthClientSecret", "", "", setOAuthText<&OAuthSettings::clientSecret>},
    {"OAuthClientSecretCommand", "", "", setOAuthText<&OAuthSettings::clientSecretCommand>},
    {"OAuthTenant", "--oauth-tenant", "tenant", setOAuthText<&OAuthSettings::tenant>},
    {"OAuthScope", "--oauth-scope", "scopes", setOAuthText<&OAuthSettings::scope>},
    {"OAuthAuthorizeUrl", "--oauth-authorize-url", "url", setOAuthText<&OAuthSettings::authorizeUrl>},
    {"OAuthTokenUrl", "--oauth-token-url", "url", setOAuthText<&OAuthSettings::tokenUrl>},
    {"OAuthDeviceUrl", "--oauth-device-url", "url", setOAuthText<&OAuthSettings::deviceUrl>},
    {"OAuthCAFile", "--oauth-ca-file", "file", setOAuthText<&OAuthSettings::caFile>},
    {"OAuthGrant", "--oauth-grant", "auto|device-code|browser|client-credentials", setOAuthGrant},
    {"DsnNotify", "--dsn-notify", "never|success,failure,delay", setDsnNotify},
    {"DsnReturn", "--dsn-return", "hdrs|full", setDsnReturn},
    {"DsnEnvid", "--dsn-envid", "id", setDsnEnvid},
    {"DsnRequired", "--dsn-required", "yes|no", setYesNo<&JobSettings::dsnRequired>},
    // The sendmail mode's: recipients without '@' only arrive there.
    {"Aliases", "", "", setAliases},
    {"Qualify", "", "", setText<&JobSettings::qualifyDomain>},
}};

// An entry left out of the list above would be an empty one the size still counts. (Its
// key is what is asked: a function's address is no constant under the sanitizers.)
static_assert(std::ranges::none_of(kSettingKeys,
                                   [](const SettingKey& setting) { return setting.key.empty(); }));

// The keys only the settings file has, read on their own (see settings.cpp).
constexpr std::array<std::string_view, 6> kFileOnlyKeys{"Server",  "From", "Domain",
                                                        "Address", "Port", "Timeout"};

// The keys whose values are secrets: a settings file holding one must be the owner's
// alone.
constexpr std::array<std::string_view, 3> kSecretKeys{"Password", "OAuthClientSecret",
                                                      "OAuthClientSecretCommand"};

}  // namespace

std::span<const SettingKey> settingKeys() { return kSettingKeys; }

std::span<const std::string_view> secretKeys() { return kSecretKeys; }

const SettingKey* findLongOption(std::string_view name) {
  for (const SettingKey& setting : kSettingKeys) {
    if (!setting.longOption.empty() && setting.longOption == name) return &setting;
  }
  return nullptr;
}

std::vector<std::string_view> knownSettingsKeys() {
  std::vector<std::string_view> keys(kFileOnlyKeys.begin(), kFileOnlyKeys.end());
  for (const SettingKey& setting : kSettingKeys) keys.push_back(setting.key);
  return keys;
}

std::optional<bool> parseYesNo(std::string_view text) {
  std::string value = lowerCased(text);
  if (value == "yes" || value == "true" || value == "on" || value == "1") return true;
  if (value == "no" || value == "false" || value == "off" || value == "0") return false;
  return std::nullopt;
}

}  // namespace larkpost
