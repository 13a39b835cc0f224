// The POSIX implementation of the platform services: the settings file read by our own
// profile reader, nameless temporary files, BSD sockets with poll() for time limits.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/platform.h"
#include "platform/profile_format.h"

namespace larkpost::platform {
namespace {

struct ProfileFile {
  ProfileAccess access = ProfileAccess::kUnreadable;
  std::string bytes;  // when readable
};

ProfileFile readProfileFile(const std::string& path) {
  // Not blocking, so that a FIFO given as the settings file cannot hold up the run.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    bool missing = errno == ENOENT || errno == ENOTDIR;
    return {missing ? ProfileAccess::kMissing : ProfileAccess::kUnreadable, {}};
  }
  File file(fd);
  constexpr std::size_t kChunk = 64 * 1024;
  std::string bytes;
  for (;;) {
    std::size_t had = bytes.size();
    bytes.resize(had + kChunk);
    std::ptrdiff_t got = file.read(std::span<char>(bytes).subspan(had));
    if (got < 0) return {ProfileAccess::kUnreadable, {}};
    bytes.resize(had + static_cast<std::size_t>(got));
    if (got == 0) return {ProfileAccess::kReadable, std::move(bytes)};
    if (bytes.size() > kLongestSettingsFile) return {ProfileAccess::kUnreadable, {}};
  }
}

// Waits until standard input has something to read, or has ended; false on an error.
bool waitForInput() {
  for (;;) {
    pollfd entry{STDIN_FILENO, POLLIN, 0};
    if (::poll(&entry, 1, -1) > 0) return true;
    if (errno != EINTR) return false;
  }
}

// Milliseconds left until `deadline`, as poll() takes them; 0 once it has passed.
int millisLeft(std::int64_t deadline) {
  std::int64_t left = deadline - monotonicMillis();
  if (left <= 0) return 0;
  return left > 1000000000 ? 1000000000 : static_cast<int>(left);
}

// Waits for `events` on `fd`; false when the deadline passed first.
bool waitFor(int fd, short events, std::int64_t deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, millisLeft(deadline));
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return true;  // let the following call report the error
  }
}

class PosixSocket final : public Socket {
 public:
  explicit PosixSocket(int fd) : fd_(fd) {}
  ~PosixSocket() override { ::close(fd_); }
  PosixSocket(const PosixSocket&) = delete;
  PosixSocket& operator=(const PosixSocket&) = delete;

  IoStatus sendAll(std::string_view bytes, std::int64_t deadline) override {
    while (!bytes.empty()) {
      ssize_t sent = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
      if (sent > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        if (!waitFor(fd_, POLLOUT, deadline)) return IoStatus::kTimedOut;
        continue;
      }
      return IoStatus::kClosed;
    }
    return IoStatus::kOk;
  }

  ReceiveResult receive(std::span<char> into, std::int64_t deadline) override {
    for (;;) {
      ssize_t got = ::recv(fd_, into.data(), into.size(), 0);
      if (got > 0) return {IoStatus::kOk, static_cast<std::size_t>(got)};
      if (got == 0) return {IoStatus::kClosed, 0};
      if (errno == EINTR) continue;
      if (errno != EAGAIN && errno != EWOULDBLOCK) return {IoStatus::kClosed, 0};
      if (!waitFor(fd_, POLLIN, deadline)) return {IoStatus::kTimedOut, 0};
    }
  }

 private:
  int fd_;
};

// Connects one resolved address within the time limit; -1 when it does not.
// The socket, or -1 with `error` set to errno's value for why.
int connectAddress(const addrinfo& address, std::int64_t timeoutMillis, int& error) {
  int fd = ::socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                    address.ai_protocol);
  error = errno;
  if (fd < 0) return -1;
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  int result = ::connect(fd, address.ai_addr, address.ai_addrlen);
  error = result < 0 ? errno : 0;
  if (result < 0 && errno == EINPROGRESS) {
    error = ETIMEDOUT;
    socklen_t length = sizeof error;
    if (waitFor(fd, POLLOUT, deadline)) getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
    result = error == 0 ? 0 : -1;
  }
  if (result < 0) {
    ::close(fd);
    return -1;
  }
  // Larkpost gathers its own writes, so waiting for more data before sending only
  // delays the last packet of each command.
  int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return fd;
}

}  // namespace

void startUp() { ::signal(SIGPIPE, SIG_IGN); }

std::string defaultSettingsPath() {
  std::string configHome;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) {
    configHome = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    configHome = std::string(home) + "/.config";
  }
  if (!configHome.empty()) {
    std::string candidate = configHome + "/larkpost.ini";
    struct stat info {};
    if (::stat(candidate.c_str(), &info) == 0) return candidate;
  }
  return "/etc/larkpost.ini";
}

ProfileAccess profileAccess(const std::string& path) { return readProfileFile(path).access; }

std::optional<std::string> profileString(const std::string& path, std::string_view section,
                                         std::string_view key) {
  ProfileFile file = readProfileFile(path);
  if (file.access != ProfileAccess::kReadable) return std::nullopt;
  return findProfileValue(profileText(file.bytes), section, key);
}

int fileDescriptor(std::intptr_t handle) { return static_cast<int>(handle); }

std::ptrdiff_t File::read(std::span<char> into) {
  for (;;) {
    ssize_t got = ::read(fileDescriptor(handle_), into.data(), into.size());
    if (got >= 0) return got;
    if (errno != EINTR) return -1;
  }
}

bool File::write(std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fileDescriptor(handle_), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

bool File::rewind() { return ::lseek(fileDescriptor(handle_), 0, SEEK_SET) == 0; }

std::optional<std::uint64_t> File::size() const {
  struct stat info {};
  if (::fstat(fileDescriptor(handle_), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

void File::close() {
  if (handle_ != kClosed) ::close(fileDescriptor(std::exchange(handle_, kClosed)));
}

std::optional<File> openRegularFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, for ever.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) return std::nullopt;
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return std::nullopt;
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return File(fd);
}

bool appendLocked(const std::string& path, std::string_view text, std::string& error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644);
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  File file(fd);  // closing it also lets go of the lock
  if (::flock(fd, LOCK_EX) != 0) {
    error = std::strerror(errno);
    return false;
  }
  if (!file.write(text)) {
    error = std::strerror(errno);
    return false;
  }
  return true;
}

bool systemLog(std::string_view line) {
  ::openlog("larkpost", LOG_PID, LOG_MAIL);
  ::syslog(LOG_MAIL | LOG_INFO, "%.*s", static_cast<int>(line.size()), line.data());
  ::closelog();
  return true;
}

std::string storedFileName(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::optional<File> createTemporaryFile(std::string_view prefix, std::string& error) {
  const char* tmpdir = std::getenv("TMPDIR");
  std::string pattern = (tmpdir && *tmpdir) ? tmpdir : "/tmp";
  if (pattern.back() != '/') pattern += '/';
  pattern += prefix;
  pattern += "XXXXXX";
  int fd = ::mkostemp(pattern.data(), O_CLOEXEC);  // created exclusively, mode 0600
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  // Nameless from here on: nothing, not even SIGKILL, can leave it behind.
  ::unlink(pattern.c_str());
  return File(fd);
}

CommandOutcome runCommand(const std::string& command, std::int64_t timeoutMillis) {
  constexpr std::size_t kMostOutput = 64 * 1024;
  CommandOutcome outcome;
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    outcome.error = std::strerror(errno);
    return outcome;
  }
  pid_t child = ::fork();
  if (child == 0) {
    // Its own process group, so a time-out ends whatever it started too. It must not
    // read the message waiting on our standard input.
    ::setpgid(0, 0);
    int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(output[1], STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(output[1]);
  if (child < 0) {
    outcome.error = std::strerror(errno);
    ::close(output[0]);
    return outcome;
  }
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  std::string read;
  char chunk[4096];
  read.reserve(kMostOutput + sizeof chunk);  // never moved: no copy of a secret left behind
  bool timedOut = false;
  for (;;) {
    if (!waitFor(output[0], POLLIN, deadline)) {
      timedOut = true;
      break;
    }
    ssize_t got = ::read(output[0], chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    if (read.size() < kMostOutput) read.append(chunk, static_cast<std::size_t>(got));
  }
  wipeMemory(chunk, sizeof chunk);
  ::close(output[0]);
  if (timedOut) ::kill(-child, SIGKILL);
  int status = 0;
  for (;;) {
    pid_t ended = ::waitpid(child, &status, WNOHANG);
    if (ended == child || (ended < 0 && errno != EINTR)) break;
    if (ended == 0 && !timedOut && monotonicMillis() >= deadline) {
      timedOut = true;  // it closed its output but goes on
      ::kill(-child, SIGKILL);
    }
    if (ended == 0) ::poll(nullptr, 0, 10);
  }
  outcome.firstLine = read.substr(0, read.find('\n'));
  if (!outcome.firstLine.empty() && outcome.firstLine.back() == '\r') outcome.firstLine.pop_back();
  wipeMemory(read.data(), read.size());
  if (timedOut) {
    outcome.status = CommandOutcome::Status::kTimedOut;
  } else {
    outcome.status = CommandOutcome::Status::kExited;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return outcome;
}

std::string localTextToUtf8(const std::string& text) { return text; }

std::optional<std::uint64_t> standardInputSize() {
  struct stat info {};
  if (::fstat(STDIN_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::string defaultCharset() { return "utf-8"; }

bool readableByOthers(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && (info.st_mode & (S_IRGRP | S_IROTH)) != 0;
}

void wipeMemory(void* data, std::size_t size) { ::explicit_bzero(data, size); }

std::ptrdiff_t readStandardInput(std::span<char> into) {
  for (;;) {
    ssize_t got = ::read(STDIN_FILENO, into.data(), into.size());
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    // Standard input may come non-blocking from whoever started us: "nothing yet" is
    // not a failure, and the mode is theirs to keep, so wait instead of changing it.
    if ((errno == EAGAIN || errno == EWOULDBLOCK) && waitForInput()) continue;
    return -1;
  }
}

LocalTime localTimeNow() {
  time_t now = ::time(nullptr);
  struct tm parts {};
  ::localtime_r(&now, &parts);
  return LocalTime{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday, parts.tm_wday,
                   parts.tm_hour,        parts.tm_min,     parts.tm_sec,
                   static_cast<int>(parts.tm_gmtoff / 60)};
}

std::uint32_t processId() { return static_cast<std::uint32_t>(::getpid()); }

ConnectResult connectTcp(const std::string& host, std::uint16_t port, std::int64_t timeoutMillis) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int resolved =
      host.empty() ? EAI_NONAME : ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) return {ConnectStatus::kNotResolved, nullptr, ::gai_strerror(resolved)};
  ConnectResult result{ConnectStatus::kNotConnected, nullptr, {}};
  for (addrinfo* address = found; address; address = address->ai_next) {
    int error = 0;
    int fd = connectAddress(*address, timeoutMillis, error);
    if (fd >= 0) {
      result = {ConnectStatus::kConnected, std::make_unique<PosixSocket>(fd), {}};
      break;
    }
    result.reason = std::strerror(error);
  }
  ::freeaddrinfo(found);
  return result;
}

}  // namespace larkpost::platform
