// The POSIX token store: permissions keep others out, rename makes a write all or
// nothing, flock serialises refreshes between runs.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "platform/platform.h"
#include "platform/protected_file.h"

namespace larkpost::platform {
namespace {

constexpr std::size_t kLongestProtectedFile = 64 * 1024;

std::string errnoText() { return std::strerror(errno); }

bool makeFolder(const std::string& path, std::string& error) {
  if (::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST) return true;
  error = "could not create " + path + ": " + errnoText();
  return false;
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t put = ::write(fd, bytes.data(), bytes.size());
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(put));
  }
  return true;
}

}  // namespace

std::optional<std::string> protectedFolder(std::string& error) {
  std::string base;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/') {
    base = state;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = std::string(home) + "/.local";
    if (!makeFolder(base, error)) return std::nullopt;
    base += "/state";
  } else {
    error = "neither XDG_STATE_HOME nor HOME is set";
    return std::nullopt;
  }
  if (!makeFolder(base, error)) return std::nullopt;
  std::string folder = base + "/larkpost";
  if (!makeFolder(folder, error)) return std::nullopt;
  struct stat info {};
  if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
    error = folder + " is not a folder";
    return std::nullopt;
  }
  return folder;
}

std::string protectedPath(const std::string& folder, std::string_view name) {
  return folder + "/" + std::string(name);
}

ProtectedRead readProtectedFile(const std::string& path) {
  ProtectedRead result;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    result.status = errno == ENOENT ? ProtectedRead::Status::kMissing : ProtectedRead::Status::kFailed;
    result.error = errnoText();
    return result;
  }
  File file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    result.error = "not a regular file";
    return result;
  }
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
    result.status = ProtectedRead::Status::kExposed;
    return result;
  }
  std::string chunk(4096, '\0');
  for (;;) {
    std::ptrdiff_t got = file.read(chunk);
    if (got < 0) {
      result.error = errnoText();
      return result;
    }
    if (got == 0) break;
    result.content.append(chunk.data(), static_cast<std::size_t>(got));
    if (result.content.size() > kLongestProtectedFile) {
      result.error = "longer than 64 KiB";
      return result;
    }
  }
  wipeMemory(chunk.data(), chunk.size());
  result.status = ProtectedRead::Status::kRead;
  return result;
}

bool writeProtectedFile(const std::string& path, std::string_view content, std::string& error) {
  std::string temporary = path + ".new." + std::to_string(processId());
  int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = "could not create " + temporary + ": " + errnoText();
    return false;
  }
  bool written = writeAll(fd, content) && ::fsync(fd) == 0;
  if (!written) error = "could not write " + temporary + ": " + errnoText();
  if (::close(fd) != 0 && written) {
    written = false;
    error = "could not write " + temporary + ": " + errnoText();
  }
  if (written && ::rename(temporary.c_str(), path.c_str()) != 0) {
    written = false;
    error = "could not replace " + path + ": " + errnoText();
  }
  if (!written) {
    ::unlink(temporary.c_str());
    return false;
  }
  // The rename is durable only once the folder itself is flushed.
  std::string folder = path.substr(0, path.rfind('/'));
  if (int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

ProtectedLock::~ProtectedLock() {
  if (handle_ >= 0) ::close(static_cast<int>(handle_));  // closing releases the flock
}

std::optional<ProtectedLock> lockProtectedFile(const std::string& path, std::int64_t timeoutMillis,
                                               std::string& error) {
  std::string lockPath = path + ".lock";
  int fd = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    error = "could not open " + lockPath + ": " + errnoText();
    return std::nullopt;
  }
  ProtectedLock lock(fd);
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      error = "could not lock " + lockPath + ": " + errnoText();
      return std::nullopt;
    }
    if (monotonicMillis() >= deadline) {
      error = "another run held " + lockPath + " too long";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return lock;
}

}  // namespace larkpost::platform
