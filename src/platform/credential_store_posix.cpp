// No system-wide password store on POSIX: pass, secret-tool and the like are reached
// through PasswordCommand.
#include "platform/credential_store.h"

namespace larkpost::platform {
namespace {
constexpr const char* kNoStore = "there is no credential store here; use PasswordCommand";
}

bool hasCredentialStore() { return false; }

std::optional<std::string> readStoredPassword(const std::string&, const std::string&,
                                              std::string& error) {
  error = kNoStore;
  return std::nullopt;
}

bool storePassword(const std::string&, const std::string&, std::string_view, std::string& error) {
  error = kNoStore;
  return false;
}

std::optional<std::string> readSecretLine(const std::string&) { return std::nullopt; }

}  // namespace larkpost::platform
