// Platform services that the standard library already gives the same way everywhere, and
// those built on the others alone.
#include <string>
#include <utility>

#include "platform/platform.h"
#include "platform/profile_format.h"

namespace larkpost::platform {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
  }
  return *this;
}

File::~File() { close(); }

std::int32_t profileInt(const std::string& path, std::string_view section, std::string_view key,
                        std::int32_t fallback) {
  // Read from the text on both platforms: the Windows API's own reading takes "0x19" for
  // 25 and looks at no more than 29 characters, so one file would give two numbers.
  std::optional<std::string> text = profileString(path, section, key);
  if (!text) return fallback;
  return profileInteger(*text).value_or(fallback);
}

std::optional<std::string> profileFileText(const std::string& path) {
  std::optional<File> file = openRegularFile(path);
  if (!file) return std::nullopt;
  std::string bytes;
  std::string block(64 * 1024, '\0');
  for (;;) {
    std::ptrdiff_t got = file->read(block);
    if (got < 0) return std::nullopt;
    if (got == 0) return profileText(bytes);
    bytes.append(block.data(), static_cast<std::size_t>(got));
    if (bytes.size() > kLongestSettingsFile) return std::nullopt;
  }
}

}  // namespace larkpost::platform
