// Choosing and reading the settings file into JobSettings.
#ifndef LARKPOST_INVOCATION_SETTINGS_H_
#define LARKPOST_INVOCATION_SETTINGS_H_

#include <cstddef>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/job_settings.h"

namespace larkpost {

struct SettingsChoice {
  std::string path;
  std::size_t firstOptionIndex = 1;  // where the options begin on the command line
  bool named = false;                // the command line named the file
};

// A first argument that begins with a single '-' and is at least 5 characters long names
// the settings file (the rest of it after the '-'); otherwise `defaultPath` is used.
SettingsChoice chooseSettingsFile(std::span<const std::string> args,
                                  const std::string& defaultPath);

// One warning line each for the keys of section SMTP the program does not read, with
// the nearest known key when one is close; and, when that section holds no key the
// program reads, for each other section and for keys before any section. Lines that
// begin with ';' or '#' are taken for comments. `shownPath` names the file in them.
std::vector<std::string> settingsFileWarnings(const std::string& shownPath, std::string_view text);

// Throws RunFailure when the settings file at `path` (whose text is `text`) gives a
// value to any of `secretKeys` and is not the caller's alone: others may read or change
// it, or another user owns it. Whoever can change the file could add a PasswordCommand that reads the
// secret, so write access counts as much as read access. The message names the file,
// says it holds `what` ("a password") and how to make it private.
void refuseExposedSecrets(const std::string& path, std::string_view text,
                          std::span<const std::string_view> secretKeys, std::string_view what);

// Fills the settings-file fields of `settings` (section SMTP) and returns the index of
// the first option argument. A missing file, section or key leaves the defaults. A file
// that cannot be read leaves them too, but says so on `out` first, unless it is the
// default file and does not exist. Throws RunFailure for a value a setting cannot take,
// and for a password or PasswordCommand in a file that is not the caller's alone. When
// `warnings` is given, it receives settingsFileWarnings for the file read.
std::size_t loadSettings(std::span<const std::string> args, JobSettings& settings,
                         std::ostream& out, std::vector<std::string>* warnings = nullptr);

// Reads the file at `path` as loadSettings reads the one it chose, printing nothing.
// Returns false when it could not be read and it matters (as loadSettings would say):
// a file named (`named`) that is missing, or any file that cannot be read.
bool loadSettingsFile(const std::string& path, bool named, JobSettings& settings);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_SETTINGS_H_
