// Reads the settings file through the platform's profile reader.
#include "invocation/settings.h"

#include "invocation/options.h"
#include "core/printable.h"
#include "core/run_failure.h"
#include "invocation/setting_keys.h"
#include "platform/platform.h"

namespace larkpost {

namespace {
constexpr std::size_t kMinSettingsArgumentLength = 5;
constexpr const char* kSection = "SMTP";

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
  // As msmtp does: a password others can read is no secret, and the user should know.
  if (!settings.password.empty() && platform::readableByOthers(path)) {
    throw localFailure(FailureCause::kSettings,
                       "Settings file '" + printable(path) +
                           "' holds a password and can be read by others; chmod 600 it\n");
  }
}

// A file named on the command line and not read would otherwise go unnoticed: the run
// would send through the default server instead. Having no default file is normal.
bool worthReporting(const SettingsChoice& choice, platform::ProfileAccess access) {
  return access == platform::ProfileAccess::kUnreadable ||
         (access == platform::ProfileAccess::kMissing && choice.named);
}
}  // namespace

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
