// Choosing and reading the settings file into JobSettings.
#ifndef LARKPOST_INVOCATION_SETTINGS_H_
#define LARKPOST_INVOCATION_SETTINGS_H_

#include <cstddef>
#include <span>
#include <string>

#include "invocation/job_settings.h"

namespace larkpost {

struct SettingsChoice {
  std::string path;
  std::size_t firstOptionIndex = 1;  // where the options begin on the command line
};

// A first argument that begins with '-' and is at least 5 characters long names the
// settings file (the rest of it after the '-'); otherwise `defaultPath` is used.
SettingsChoice chooseSettingsFile(std::span<const std::string> args,
                                  const std::string& defaultPath);

// Fills the settings-file fields of `settings` (section SMTP) and returns the index of
// the first option argument. A missing file, section or key leaves the defaults.
std::size_t loadSettings(std::span<const std::string> args, JobSettings& settings);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_SETTINGS_H_
