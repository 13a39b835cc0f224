// Fuzzes the command line and the settings file: any arguments give a settled
// JobSettings and only the messages the options define; the same bytes read as a
// settings file give values that are single lines, and UTF-16 files valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "invocation/options.h"
#include "invocation/setting_keys.h"
#include "platform/platform.h"
#include "platform/profile_format.h"

namespace {

bool isValidUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3
                                         : (lead >> 3) == 30 ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

// The bytes as a settings file.
void readAsSettingsFile(std::string_view bytes) {
  std::string text = larkpost::platform::textFileToUtf8(bytes);
  bool utf16 = bytes.starts_with("\xFF\xFE") || bytes.starts_with("\xFE\xFF");
  if (utf16 && !isValidUtf8(text)) std::abort();
  larkpost::JobSettings settings;
  for (const larkpost::SettingKey& setting : larkpost::settingKeys()) {
    std::optional<std::string> value = larkpost::platform::findProfileValue(text, "SMTP", setting.key);
    if (!value) continue;
    if (value->find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) std::abort();
    setting.apply(settings, *value);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  readAsSettingsFile(std::string_view(reinterpret_cast<const char*>(data), size));
  // Arguments are separated by NUL bytes, as the system hands them over.
  std::vector<std::string> args{"larkpost"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  larkpost::JobSettings settings;
  std::ostringstream out;
  larkpost::FileFinder finder = [](const std::string& path) -> std::optional<larkpost::FoundFile> {
    if (path.size() % 2) return std::nullopt;
    return larkpost::FoundFile{path, nullptr};
  };
  larkpost::OptionsOutcome outcome = larkpost::parseOptions(args, 1, settings, finder, out);
  if (outcome.firstRecipient > args.size()) std::abort();
  if (settings.attach && settings.attachment.path.empty() && settings.attachment.name.size() % 2) {
    std::abort();
  }
  for (const larkpost::Attachment& found : settings.moreAttachments) {
    if (found.name.size() % 2) std::abort();  // the finder found only even names
  }
  // Echoed arguments never carry a control character to the terminal.
  for (char c : out.str()) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && c != '\n' && c != '\b') std::abort();
  }
  return 0;
}
