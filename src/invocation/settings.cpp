// Reads the settings file through the platform's profile reader.
#include "invocation/settings.h"

#include "invocation/options.h"
#include "platform/platform.h"

namespace larkpost {

namespace {
constexpr std::size_t kMinSettingsArgumentLength = 5;
constexpr const char* kSection = "SMTP";

void readText(const std::string& path, const char* key, std::string& field) {
  if (auto value = platform::profileString(path, kSection, key)) field = *value;
}
}  // namespace

SettingsChoice chooseSettingsFile(std::span<const std::string> args,
                                  const std::string& defaultPath) {
  if (args.size() > 1 && args[1].size() >= kMinSettingsArgumentLength && args[1][0] == '-') {
    return {args[1].substr(1), 2};
  }
  return {defaultPath, 1};
}

std::size_t loadSettings(std::span<const std::string> args, JobSettings& settings) {
  SettingsChoice choice = chooseSettingsFile(args, platform::defaultSettingsPath());
  readText(choice.path, "Server", settings.server);
  readText(choice.path, "From", settings.senderName);
  readText(choice.path, "Domain", settings.domain);
  readText(choice.path, "Address", settings.senderAddress);
  // Read as text, so that a value out of range is refused as written, not wrapped into
  // a port; a value without digits keeps the default.
  std::optional<std::string> port = platform::profileString(choice.path, kSection, "Port");
  if (port && parsePort(*port)) setPort(settings, *port);
  settings.timeoutSeconds = platform::profileInt(choice.path, kSection, "Timeout", 0);
  return choice.firstOptionIndex;
}

}  // namespace larkpost
