// A poll that would land after the code expires is not made: the user is told at once.
#include "oauth/device_poll.h"

namespace larkpost::oauth {

namespace {
constexpr std::int64_t kSlowDownSeconds = 5;
}

DevicePoll::DevicePoll(const DeviceAuthorization& device, std::int64_t nowMillis)
    : intervalSeconds_(device.interval), expiresAtMillis_(nowMillis + device.expiresIn * 1000) {}

DevicePoll::Step DevicePoll::afterAnswer(const TokenAnswer& answer, std::int64_t nowMillis) {
  using Action = Step::Action;
  switch (answer.kind) {
    case TokenAnswer::Kind::kTokens:
      return {Action::kDone, 0, {}};
    case TokenAnswer::Kind::kMalformed:
      return {Action::kFailed, 0, "The OAuth provider gave no usable answer: " + answer.detail};
    case TokenAnswer::Kind::kError:
      break;
  }
  if (answer.error == "slow_down") {
    intervalSeconds_ += kSlowDownSeconds;
  } else if (answer.error == "expired_token") {
    return {Action::kFailed, 0, "The code expired before the login was completed; run --oauth-login again"};
  } else if (answer.error == "access_denied") {
    return {Action::kFailed, 0, "The login was declined at the OAuth provider"};
  } else if (answer.error != "authorization_pending") {
    return {Action::kFailed, 0, "The OAuth provider refused the login: " + describeError(answer)};
  }
  std::int64_t wait = intervalSeconds_ * 1000;
  if (nowMillis + wait >= expiresAtMillis_) {
    return {Action::kFailed, 0, "The code expired before the login was completed; run --oauth-login again"};
  }
  return {Action::kWait, wait, {}};
}

}  // namespace larkpost::oauth
