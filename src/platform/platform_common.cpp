// Platform services that the standard library already gives the same way everywhere.
#include <chrono>
#include <utility>

#include "platform/platform.h"

namespace larkpost::platform {

std::int64_t monotonicMillis() {
  using std::chrono::steady_clock;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             steady_clock::now().time_since_epoch())
      .count();
}

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
  }
  return *this;
}

File::~File() { close(); }

}  // namespace larkpost::platform
