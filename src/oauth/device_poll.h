// The polling of the device authorization grant (RFC 8628 section 3.5), as a state
// machine the tests drive without a clock or a network.
#ifndef LARKPOST_OAUTH_DEVICE_POLL_H_
#define LARKPOST_OAUTH_DEVICE_POLL_H_

#include <cstdint>
#include <string>

#include "oauth/token_messages.h"

namespace larkpost::oauth {

class DevicePoll {
 public:
  struct Step {
    enum class Action { kWait, kDone, kFailed } action = Action::kWait;
    std::int64_t waitMillis = 0;  // before the next poll, when kWait
    std::string message;          // why it failed, when kFailed
  };

  // Starts at `nowMillis` with the interval and lifetime the provider gave.
  DevicePoll(const DeviceAuthorization& device, std::int64_t nowMillis);

  // How long to wait before the first poll.
  std::int64_t firstWaitMillis() const { return intervalSeconds_ * 1000; }

  // What to do after the token endpoint answered `answer` at `nowMillis`.
  Step afterAnswer(const TokenAnswer& answer, std::int64_t nowMillis);

  std::int64_t intervalSeconds() const { return intervalSeconds_; }

 private:
  std::int64_t intervalSeconds_;
  std::int64_t expiresAtMillis_;
};

}  // namespace larkpost::oauth

#endif  // LARKPOST_OAUTH_DEVICE_POLL_H_
