// Reads the settings file through the platform's profile reader.
#include "invocation/settings.h"

#include "invocation/options.h"
#include "core/printable.h"
#include "core/run_failure.h"
#include "core/secret.h"
#include "invocation/setting_keys.h"
#include "platform/platform.h"

namespace larkpost {

namespace {
constexpr std::size_t kMinSettingsArgumentLength = 5;
constexpr const char* kSection = "SMTP";
// The keys whose values give the password; OAuth client secrets have theirs.
constexpr std::string_view kPasswordKeysList[] = {"Password", "PasswordCommand"};
constexpr std::span<const std::string_view> kPasswordKeys(kPasswordKeysList);

void readText(const std::string& path, const char* key, std::string& field) {
  if (auto value = platform::profileString(path, kSection, key)) field = *value;
}

void readSettings(const std::string& path, JobSettings& settings) {
  readText(path, "Server", settings.server);
  readText(path, "From", settings.senderName);
  readText(path, "Domain", settings.domain);
  readText(path, "Address", settings.senderAddress);
  // Read as text, so that a value out of range is refused as written, not wrapped into
  // a port; a value without digits keeps the default.
  std::optional<std::string> port = platform::profileString(path, kSection, "Port");
  if (port && parsePort(*port)) setPort(settings, *port);
  settings.timeoutSeconds = platform::profileInt(path, kSection, "Timeout", 0);
  for (const SettingKey& setting : settingKeys()) {
    std::optional<std::string> value = platform::profileString(path, kSection, setting.key);
    if (value && !setting.apply(settings, *value)) {
      throw localFailure(FailureCause::kSettings, "Invalid value '" + printable(*value) + "' for " +
                                                      std::string(setting.key) +
                                                      " in the settings file\n");
    }
  }
  refuseExposedSecrets(path, kPasswordKeys, "a password");
  for (std::string_view key : secretKeys()) {
    if (key != "Password") refuseExposedSecrets(path, std::span(&key, 1), key);
  }
  if (!settings.password.empty()) platform::protectMemoryFromDumps();
}

// A file named on the command line and not read would otherwise go unnoticed: the run
// would send through the default server instead. Having no default file is normal.
bool worthReporting(const SettingsChoice& choice, platform::ProfileAccess access) {
  return access == platform::ProfileAccess::kUnreadable ||
         (access == platform::ProfileAccess::kMissing && choice.named);
}
}  // namespace

void refuseExposedSecrets(const std::string& path, std::span<const std::string_view> secretKeys,
                          std::string_view what) {
  bool holdsSecret = false;
  for (std::string_view key : secretKeys) {
    std::optional<std::string> value = platform::profileString(path, kSection, key);
    holdsSecret = holdsSecret || (value && !value->empty());
  }
  if (!holdsSecret) return;
  platform::FileExposure exposure = platform::fileExposure(path);
  const char* how = nullptr;
  switch (exposure) {
    case platform::FileExposure::kPrivate:
      return;
    case platform::FileExposure::kReadableByOthers:
      how = "can be read by others";
      break;
    case platform::FileExposure::kWritableByOthers:
      how = "can be changed by others";
      break;
    case platform::FileExposure::kOwnedByOther:
      how = "belongs to another user";
      break;
  }
  throw localFailure(FailureCause::kSettings,
                     "Settings file '" + printable(path) + "' holds " + std::string(what) + " and " +
                         how + "; " + platform::makePrivateAdvice(exposure) + "\n");
}

SettingsChoice chooseSettingsFile(std::span<const std::string> args,
                                  const std::string& defaultPath) {
  // "--name" is a long option, never a settings file.
  if (args.size() > 1 && args[1].size() >= kMinSettingsArgumentLength && args[1][0] == '-' &&
      args[1][1] != '-') {
    return {args[1].substr(1), 2, true};
  }
  return {defaultPath, 1, false};
}

bool loadSettingsFile(const std::string& path, bool named, JobSettings& settings) {
  platform::ProfileAccess access = platform::profileAccess(path);
  if (access == platform::ProfileAccess::kReadable) readSettings(path, settings);
  return !worthReporting({path, 1, named}, access);
}

std::size_t loadSettings(std::span<const std::string> args, JobSettings& settings,
                         std::ostream& out) {
  SettingsChoice choice = chooseSettingsFile(args, platform::defaultSettingsPath());
  platform::ProfileAccess access = platform::profileAccess(choice.path);
  if (access == platform::ProfileAccess::kReadable) {
    readSettings(choice.path, settings);
  } else if (worthReporting(choice, access)) {
    out << "Settings file '" << printable(choice.path) << "' could not be read, using defaults\n";
  }
  return choice.firstOptionIndex;
}

}  // namespace larkpost
