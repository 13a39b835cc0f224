// The secret a login needs: from PasswordCommand, else LARKPOST_PASSWORD, else Password.
#ifndef LARKPOST_INVOCATION_CREDENTIALS_H_
#define LARKPOST_INVOCATION_CREDENTIALS_H_

#include <optional>
#include <ostream>

#include "core/job_settings.h"
#include "core/secret.h"

namespace larkpost {

// The environment variable that holds a password when no command gives one.
constexpr const char* kPasswordVariable = "LARKPOST_PASSWORD";

// How long PasswordCommand may take, unless Timeout says otherwise.
constexpr int kPasswordCommandSeconds = 60;

// The secret for the login the settings ask for; std::nullopt when they ask for none.
// Throws RunFailure when a login is asked for and no secret can be had. The settings'
// own copy of a password is wiped once taken.
std::optional<Secret> obtainSecret(JobSettings& settings);

// --store-password: reads the password for (Server, User) from the console without echo
// and stores it in the Windows Credential Manager. Returns the exit status; throws
// RunFailure where there is no such store or it refuses.
int storePasswordFromConsole(const JobSettings& settings, std::ostream& out);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_CREDENTIALS_H_
