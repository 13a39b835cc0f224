// The monotonic clock of every deadline. A file of its own because the TLS module
// (larkpost-tls-openssl.so) needs it too and must not bring the rest of the platform.
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
