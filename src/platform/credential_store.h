// The system's store for passwords: the Windows Credential Manager (generic credentials
// of the current user). POSIX has no one store every system carries, so there the
// functions say so and the README shows PasswordCommand recipes instead.
#ifndef LARKPOST_PLATFORM_CREDENTIAL_STORE_H_
#define LARKPOST_PLATFORM_CREDENTIAL_STORE_H_

#include <optional>
#include <string>
#include <string_view>

namespace larkpost::platform {

// Whether this platform has the store.
bool hasCredentialStore();

// The password stored for (server, user); std::nullopt with `error` set when there is
// none or it cannot be read.
std::optional<std::string> readStoredPassword(const std::string& server, const std::string& user,
                                              std::string& error);

// Stores `password` for (server, user), replacing what was there; false with `error` set.
bool storePassword(const std::string& server, const std::string& user, std::string_view password,
                   std::string& error);

// One line from the console without echoing it (or from standard input when that is
// no console), without its line end; std::nullopt at the end of the input. At most
// 4096 bytes are taken.
std::optional<std::string> readSecretLine(const std::string& prompt);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_CREDENTIAL_STORE_H_
