// A command comes first, as it can hand out short-lived tokens; the environment next,
// as it keeps the secret out of files; the settings file last.
#include "invocation/credentials.h"

#include <cstdlib>
#include <memory>

#include "core/printable.h"
#include "core/run_failure.h"
#include "oauth/oauth_client.h"
#include "platform/credential_store.h"
#include "platform/platform.h"

namespace larkpost {
namespace {

Secret fromCommand(const JobSettings& settings) {
  int seconds = settings.timeoutSeconds > 0 ? settings.timeoutSeconds : kPasswordCommandSeconds;
  platform::CommandOutcome outcome = platform::runCommand(
      settings.passwordCommand, static_cast<std::int64_t>(seconds) * 1000, kPasswordVariable);
  Secret secret(outcome.firstLine);
  switch (outcome.status) {
    case platform::CommandOutcome::Status::kNotStarted:
      throw localFailure(FailureCause::kSettings,
                         "Could not run PasswordCommand: " + printable(outcome.error) + "\n");
    case platform::CommandOutcome::Status::kTimedOut:
      throw localFailure(FailureCause::kSettings, "PasswordCommand did not finish within " +
                                                      std::to_string(seconds) + " seconds\n");
    case platform::CommandOutcome::Status::kExited:
      break;
  }
  if (outcome.exitCode != 0) {
    throw localFailure(FailureCause::kSettings, "PasswordCommand failed with exit status " +
                                                    std::to_string(outcome.exitCode) + "\n");
  }
  if (outcome.lineTooLong) {
    throw localFailure(FailureCause::kSettings,
                       "PasswordCommand gave a first line longer than " +
                           std::to_string(platform::kLongestCommandLine / 1024) + " KiB\n");
  }
  if (secret.empty()) {
    throw localFailure(FailureCause::kSettings, "PasswordCommand gave no password\n");
  }
  return secret;
}

constexpr const char* kNoStore =
    "PasswordStore=credman needs the Windows Credential Manager; here use PasswordCommand\n";

Secret fromStore(const JobSettings& settings) {
  if (!platform::hasCredentialStore()) throw RunFailure{kNoStore};
  std::string error;
  std::optional<std::string> password = platform::readStoredPassword(settings.server, settings.user, error);
  if (!password || password->empty()) {
    throw RunFailure{"No password for " + printable(settings.user) + " at " + printable(settings.server) +
                     " in the Windows Credential Manager: " + printable(error) + "\n"};
  }
  return Secret(*password);
}

// The built-in OAuth login: the token from the store, and a way to a new one should the
// server refuse it.
Secret builtInToken(JobSettings& settings) {
  if (settings.auth != AuthChoice::kXoauth2 && settings.auth != AuthChoice::kOauthBearer) {
    throw RunFailure{"OAuthProvider needs Auth=xoauth2 or Auth=oauthbearer\n"};
  }
  auto source = std::make_shared<oauth::TokenSource>(settings);
  settings.renewToken = [source] { return source->renewedAccessToken(); };
  return source->accessToken();
}

}  // namespace

std::optional<Secret> obtainSecret(JobSettings& settings) {
  if (settings.auth == AuthChoice::kNone) return std::nullopt;
  if (oauth::usesBuiltInOAuth(settings)) return builtInToken(settings);
  if (settings.user.empty()) return std::nullopt;
  Secret fromFile(settings.password);  // wiped from the settings, whatever is used
  // From here on memory holds a secret: no core file or debugger of ours should see it.
  platform::protectMemoryFromDumps();
  if (!settings.passwordCommand.empty()) return fromCommand(settings);
  if (settings.passwordFromStore) return fromStore(settings);
  if (const char* variable = std::getenv(kPasswordVariable); variable && *variable) {
    return Secret(std::string(variable));
  }
  if (!fromFile.empty()) return fromFile;
  throw localFailure(FailureCause::kSettings, "No password for " + printable(settings.user) +
                                                  ": set PasswordCommand, " + kPasswordVariable +
                                                  " or Password\n");
}

int storePasswordFromConsole(const JobSettings& settings, std::ostream& out) {
  if (!platform::hasCredentialStore()) throw RunFailure{kNoStore};
  if (settings.user.empty()) throw RunFailure{"--store-password needs User\n"};
  out.flush();
  std::optional<std::string> line = platform::readSecretLine(
      "Password for " + printable(settings.user) + " at " + printable(settings.server) + ": ");
  if (!line || line->empty()) throw RunFailure{"No password given, nothing stored\n"};
  Secret password(*line);
  std::string error;
  if (!platform::storePassword(settings.server, settings.user, password.view(), error)) {
    throw RunFailure{"Could not store the password: " + printable(error) + "\n"};
  }
  out << "The password for " << printable(settings.user) << " at " << printable(settings.server)
      << " is stored in the Windows Credential Manager\n";
  return 0;
}

}  // namespace larkpost
