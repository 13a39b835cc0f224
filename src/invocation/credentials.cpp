// A command comes first, as it can hand out short-lived tokens; the environment next,
// as it keeps the secret out of files; the settings file last.
#include "invocation/credentials.h"

#include <optional>
#include <string>

#include "core/printable.h"
#include "core/run_failure.h"
#include "platform/platform.h"

namespace larkpost {
namespace {

Secret fromCommand(const JobSettings& settings) {
  int seconds = settings.timeoutSeconds > 0 ? settings.timeoutSeconds : kPasswordCommandSeconds;
  platform::CommandOutcome outcome =
      platform::runCommand(settings.passwordCommand, static_cast<std::int64_t>(seconds) * 1000);
  Secret secret(outcome.firstLine);
  switch (outcome.status) {
    case platform::CommandOutcome::Status::kNotStarted:
      throw RunFailure{"Could not run PasswordCommand: " + printable(outcome.error) + "\n"};
    case platform::CommandOutcome::Status::kTimedOut:
      throw RunFailure{"PasswordCommand did not finish within " + std::to_string(seconds) +
                       " seconds\n"};
    case platform::CommandOutcome::Status::kExited:
      break;
  }
  if (outcome.exitCode != 0) {
    throw RunFailure{"PasswordCommand failed with exit status " +
                     std::to_string(outcome.exitCode) + "\n"};
  }
  if (secret.empty()) throw RunFailure{"PasswordCommand gave no password\n"};
  return secret;
}

}  // namespace

std::optional<Secret> obtainSecret(JobSettings& settings) {
  if (settings.user.empty() || settings.auth == AuthChoice::kNone) return std::nullopt;
  Secret fromFile(settings.password);  // wiped from the settings, whatever is used
  if (!settings.passwordCommand.empty()) return fromCommand(settings);
  if (std::optional<std::string> variable = platform::environmentVariable(kPasswordVariable)) {
    Secret secret(*variable);  // wipes the variable's copy
    if (!secret.empty()) return secret;
  }
  if (!fromFile.empty()) return fromFile;
  throw RunFailure{"No password for " + printable(settings.user) +
                   ": set PasswordCommand, " + kPasswordVariable + " or Password\n"};
}

}  // namespace larkpost
