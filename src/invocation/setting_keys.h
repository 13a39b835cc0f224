// The settings that both the settings file and a long option can give, in one table, so
// a key and its option always mean the same thing.
#ifndef LARKPOST_INVOCATION_SETTING_KEYS_H_
#define LARKPOST_INVOCATION_SETTING_KEYS_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/job_settings.h"

namespace larkpost {

struct SettingKey {
  std::string_view key;         // in section SMTP of the settings file
  std::string_view longOption;  // "--name" for "--name=value"; empty when there is none
  // The value's form, for --help; empty for a yes/no setting whose option may stand
  // alone: "--quiet" means "--quiet=yes".
  std::string_view help;
  // Applies `value`; false when it is no valid value for this setting.
  bool (*apply)(JobSettings& settings, const std::string& value);
};

std::span<const SettingKey> settingKeys();

inline bool isFlag(const SettingKey& setting) {
  return !setting.longOption.empty() && setting.help.empty();
}

// Every key of section SMTP the program reads, in the order of the documentation.
std::vector<std::string_view> knownSettingsKeys();

// The keys that hold secrets (Password, OAuthClientSecret, ...): never long options, and
// only in a settings file others cannot read.
std::span<const std::string_view> secretKeys();

// The setting with this long option name ("--security"), or nullptr.
const SettingKey* findLongOption(std::string_view name);

// "yes"/"no" and the usual synonyms, in any letter case.
std::optional<bool> parseYesNo(std::string_view text);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_SETTING_KEYS_H_
