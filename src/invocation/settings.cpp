// Reads the settings file through the platform's profile reader.
#include "invocation/settings.h"

#include <algorithm>

#include "invocation/options.h"
#include "core/printable.h"
#include "core/run_failure.h"
#include "invocation/nearest_name.h"
#include "core/secret.h"
#include "invocation/setting_keys.h"
#include "platform/platform.h"
#include "platform/profile_format.h"

namespace larkpost {

namespace {
constexpr std::size_t kMinSettingsArgumentLength = 5;
constexpr const char* kSection = "SMTP";
// The keys whose values give the password; OAuth client secrets have theirs.
constexpr std::string_view kPasswordKeysList[] = {"Password", "PasswordCommand"};
constexpr std::span<const std::string_view> kPasswordKeys(kPasswordKeysList);

std::optional<std::string> valueOf(std::string_view text, std::string_view key) {
  return platform::findProfileValue(text, kSection, key);
}

void readText(std::string_view text, const char* key, std::string& field) {
  if (auto value = valueOf(text, key)) field = *value;
}

// `text` is the whole file at `path`, read once.
void readSettings(const std::string& path, std::string_view text, JobSettings& settings) {
  if (auto server = valueOf(text, "Server")) settings.server = serverAddress(*server);
  readText(text, "From", settings.senderName);
  readText(text, "Domain", settings.domain);
  readText(text, "Address", settings.senderAddress);
  // Read as text, so that a value out of range is refused as written, not wrapped into
  // a port; a value without digits keeps the default.
  std::optional<std::string> port = valueOf(text, "Port");
  if (port && parsePort(*port)) setPort(settings, *port);
  std::optional<std::string> timeout = valueOf(text, "Timeout");
  settings.timeoutSeconds = timeout ? platform::profileInteger(*timeout).value_or(0) : 0;
  for (const SettingKey& setting : settingKeys()) {
    std::optional<std::string> value = valueOf(text, setting.key);
    if (value && !setting.apply(settings, *value)) {
      throw localFailure(FailureCause::kSettings, "Invalid value '" + printable(*value) + "' for " +
                                                      std::string(setting.key) +
                                                      " in the settings file\n");
    }
  }
  refuseExposedSecrets(path, text, kPasswordKeys, "a password");
  for (std::string_view key : secretKeys()) {
    if (key != "Password") refuseExposedSecrets(path, text, std::span(&key, 1), key);
  }
  if (!settings.password.empty()) platform::protectMemoryFromDumps();
}

bool isSection(std::string_view name) {
  return name.size() == 4 && editDistance(name, kSection) == 0;
}

// Lines that begin with ';' or '#' are comments to the people who write these files,
// though the format itself knows none.
bool looksLikeComment(std::string_view name) {
  return !name.empty() && (name.front() == ';' || name.front() == '#');
}

std::string warningStart(const std::string& shownPath, std::size_t line) {
  return "Warning: settings file '" + shownPath + "', line " + std::to_string(line) + ": ";
}

std::string unknownKeyWarning(const std::string& shownPath, const platform::ProfileLine& entry,
                              std::span<const std::string_view> known) {
  std::string warning = warningStart(shownPath, entry.number) + "unknown key '" +
                        printable(std::string(entry.name)) + "'";
  if (std::optional<std::string_view> near = nearestName(entry.name, known)) {
    warning += " (did you mean " + std::string(*near) + "?)";
  }
  return warning + "\n";
}

// Used when the section read holds no key the program reads: every other section, and
// keys before any section, are where the settings were probably meant to be.
std::vector<std::string> misplacedWarnings(const std::string& shownPath,
                                           std::span<const platform::ProfileLine> lines) {
  std::vector<std::string> warnings;
  bool inNameless = true;
  bool namelessReported = false;
  for (const platform::ProfileLine& entry : lines) {
    if (entry.opensSection) {
      inNameless = false;
      if (isSection(entry.name)) continue;
      std::string warning = warningStart(shownPath, entry.number) + "section [" +
                            printable(std::string(entry.name)) + "] is not read";
      if (editDistance(entry.name, kSection) <= 2) warning += " (did you mean [SMTP]?)";
      warnings.push_back(warning + "\n");
    } else if (inNameless && !namelessReported && !looksLikeComment(entry.name)) {
      namelessReported = true;
      warnings.push_back(warningStart(shownPath, entry.number) + "key '" +
                         printable(std::string(entry.name)) +
                         "' stands before any section; settings belong in section [SMTP]\n");
    }
  }
  return warnings;
}

// A file named on the command line and not read would otherwise go unnoticed: the run
// would send through the default server instead. Having no default file is normal.
bool worthReporting(const SettingsChoice& choice, platform::ProfileAccess access) {
  return access == platform::ProfileAccess::kUnreadable ||
         (access == platform::ProfileAccess::kMissing && choice.named);
}
}  // namespace

std::vector<std::string> settingsFileWarnings(const std::string& shownPath, std::string_view text) {
  const std::vector<std::string_view> known = knownSettingsKeys();
  const std::vector<platform::ProfileLine> lines = platform::profileLines(text);
  std::vector<std::string> warnings;
  // Only the first section of the name is read, as the reader does.
  enum class Place { kBefore, kInside, kAfter } place = Place::kBefore;
  bool anyKnown = false;
  for (const platform::ProfileLine& entry : lines) {
    if (entry.opensSection) {
      if (place == Place::kInside) place = Place::kAfter;
      if (place == Place::kBefore && isSection(entry.name)) place = Place::kInside;
      continue;
    }
    if (place != Place::kInside || looksLikeComment(entry.name)) continue;
    bool isKnown = std::any_of(known.begin(), known.end(), [&entry](std::string_view key) {
      return key.size() == entry.name.size() && editDistance(key, entry.name) == 0;
    });
    anyKnown = anyKnown || isKnown;
    if (!isKnown) warnings.push_back(unknownKeyWarning(shownPath, entry, known));
  }
  if (!anyKnown) {
    std::vector<std::string> misplaced = misplacedWarnings(shownPath, lines);
    warnings.insert(warnings.end(), misplaced.begin(), misplaced.end());
  }
  return warnings;
}

void refuseExposedSecrets(const std::string& path, std::string_view text,
                          std::span<const std::string_view> secretKeys, std::string_view what) {
  bool holdsSecret = false;
  for (std::string_view key : secretKeys) {
    std::optional<std::string> value = valueOf(text, key);
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
  platform::ProfileFile file = platform::readProfileFile(path);
  if (file.access == platform::ProfileAccess::kReadable) readSettings(path, file.text, settings);
  return !worthReporting({path, 1, named}, file.access);
}

std::size_t loadSettings(std::span<const std::string> args, JobSettings& settings,
                         std::ostream& out, std::vector<std::string>* warnings) {
  SettingsChoice choice = chooseSettingsFile(args, platform::defaultSettingsPath());
  platform::ProfileFile file = platform::readProfileFile(choice.path);
  if (file.access == platform::ProfileAccess::kReadable) {
    if (warnings) *warnings = settingsFileWarnings(printable(choice.path), file.text);
    readSettings(choice.path, file.text, settings);
  } else if (worthReporting(choice, file.access)) {
    out << "Settings file '" << printable(choice.path) << "' could not be read, using defaults\n";
  }
  return choice.firstOptionIndex;
}

}  // namespace larkpost
