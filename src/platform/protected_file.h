// Files only the current user can read, for the OAuth token store: on POSIX mode 0600 in
// a 0700 folder under $XDG_STATE_HOME/larkpost (else ~/.local/state/larkpost); on
// Windows encrypted for the user with DPAPI under %LOCALAPPDATA%\Larkpost. Written
// atomically, and locked against a second run while a refresh is under way.
#ifndef LARKPOST_PLATFORM_PROTECTED_FILE_H_
#define LARKPOST_PLATFORM_PROTECTED_FILE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkpost::platform {

// The folder for the user's protected files, created (owner-only) when missing;
// std::nullopt with `error` set when it cannot be had.
std::optional<std::string> protectedFolder(std::string& error);

// `folder` joined with a file name.
std::string protectedPath(const std::string& folder, std::string_view name);

struct ProtectedRead {
  enum class Status {
    kRead,
    kMissing,  // no such file
    kExposed,  // others can read it (POSIX): refused, whatever it holds
    kFailed,   // unreadable, undecryptable or too large; error says why
  } status = Status::kFailed;
  std::string content;
  std::string error;
};

ProtectedRead readProtectedFile(const std::string& path);

// Replaces the file at `path` with `content` as one step: written to a temporary file
// beside it, flushed to disk, then renamed over it. False with `error` set on failure.
bool writeProtectedFile(const std::string& path, std::string_view content, std::string& error);

// An exclusive lock on a file beside the protected one, held until the object goes.
class ProtectedLock {
 public:
  explicit ProtectedLock(std::intptr_t handle) : handle_(handle) {}
  ProtectedLock(ProtectedLock&& other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
  ProtectedLock& operator=(ProtectedLock&&) = delete;
  ProtectedLock(const ProtectedLock&) = delete;
  ProtectedLock& operator=(const ProtectedLock&) = delete;
  ~ProtectedLock();

 private:
  std::intptr_t handle_;
};

// Waits until the lock for `path` is ours or `timeoutMillis` pass (std::nullopt, with
// `error` set).
std::optional<ProtectedLock> lockProtectedFile(const std::string& path, std::int64_t timeoutMillis,
                                               std::string& error);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_PROTECTED_FILE_H_
