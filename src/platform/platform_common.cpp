// Platform services that the standard library already gives the same way everywhere.
#include <chrono>

#include "platform/platform.h"

namespace larkpost::platform {

std::int64_t monotonicMillis() {
  using std::chrono::steady_clock;
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace larkpost::platform
