// Platform services that the standard library already gives the same way everywhere, and
// those built on the others alone.
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

}  // namespace larkpost::platform
