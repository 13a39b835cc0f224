// The POSIX implementation of the platform services: nameless temporary files, BSD
// sockets with poll() for time limits.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <utility>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#include <sys/prctl.h>
#endif

#include "platform/platform.h"
#include "platform/text_decoding.h"

namespace larkpost::platform {
namespace {

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

// 127.0.0.0/8, ::1, and 127.0.0.0/8 mapped into IPv6.
bool isLoopbackAddress(const sockaddr& address) {
  if (address.sa_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

// Whether this process is in the foreground of its controlling terminal.
bool inTerminalForeground() {
  int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
  if (tty < 0) return false;
  bool foreground = ::tcgetpgrp(tty) == ::getpgrp();
  ::close(tty);
  return foreground;
}

#if defined(__linux__)
// The processes whose parent is `parent`, from /proc.
std::vector<pid_t> childrenOf(pid_t parent) {
  std::vector<pid_t> children;
  DIR* proc = ::opendir("/proc");
  if (!proc) return children;
  while (dirent* entry = ::readdir(proc)) {
    pid_t pid = static_cast<pid_t>(std::atoi(entry->d_name));
    if (pid <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string line;
    if (!std::getline(stat, line)) continue;
    // "pid (name) state ppid ...": the name may hold blanks and parentheses.
    std::size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    char state = 0;
    int ppid = 0;
    if (std::sscanf(line.c_str() + close + 1, " %c %d", &state, &ppid) == 2 && ppid == parent) {
      children.push_back(pid);
    }
  }
  ::closedir(proc);
  return children;
}

// Kills `root` and every process descended from it: stopped first, so none can start
// another meanwhile, then killed. A process that left (setsid, double fork) is out of
// reach here as it would be for a process-group kill.
void killDescendants(pid_t root) {
  std::vector<pid_t> found{root};
  for (std::size_t next = 0; next < found.size(); ++next) {
    ::kill(found[next], SIGSTOP);
    for (pid_t child : childrenOf(found[next])) found.push_back(child);
  }
  for (pid_t pid : found) ::kill(pid, SIGKILL);
}
#else
void killDescendants(pid_t root) { ::kill(root, SIGKILL); }
#endif

// How a command's process (group) is ended on time-out.
void endCommand(pid_t child, bool ownGroup) {
  if (ownGroup) {
    ::kill(-child, SIGKILL);
  } else {
    killDescendants(child);
  }
}

// Reads what is in the pipe now into `read` (up to kLongestCommandLine + 1 bytes, the
// rest discarded); false at the end of the output.
bool readAvailable(int fd, std::string& read) {
  char chunk[4096];
  bool open = true;
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got == 0) open = false;
    if (got <= 0) break;
    std::size_t room = kLongestCommandLine + 1 - std::min(read.size(), kLongestCommandLine + 1);
    read.append(chunk, std::min(room, static_cast<std::size_t>(got)));
  }
  wipeMemory(chunk, sizeof chunk);
  return open;
}

}  // namespace

namespace {

// A standard descriptor left closed by the caller would be the number the next socket or
// file gets: the message would be read from the socket, an attachment sent as the body,
// a trace written into the session. /dev/null takes its place first.
void fillClosedStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened < 0) std::_Exit(1);  // nothing can be said safely, nor sent
    if (opened != fd) {
      if (::dup2(opened, fd) < 0) std::_Exit(1);
      ::close(opened);
    }
  }
}

}  // namespace

void startUp() {
  fillClosedStandardDescriptors();
  ::signal(SIGPIPE, SIG_IGN);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

std::ostream& standardOutput() { return std::cout; }

std::ostream& standardError() { return std::cerr; }

std::optional<std::string> environmentVariable(const char* name) {
  const char* value = std::getenv(name);
  if (!value) return std::nullopt;
  return std::string(value);
}

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

OpenedFile openRegularFile(const std::string& path) {
  using Failure = OpenedFile::Failure;
  if (path.empty()) return {};
  // O_NONBLOCK: opening a FIFO would otherwise wait for a writer, for ever.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) return {};
    return {Failure::kNotOpened, std::nullopt, std::strerror(errno)};
  }
  File file(fd);
  struct stat info {};
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) return {Failure::kNotAFile, {}, {}};
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return {Failure::kNone, std::move(file), {}};
}

std::string textFileToUtf8(std::string_view bytes) {
  return decodeTextFile(bytes, windows1252ToUtf8);
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

CommandOutcome runCommand(const std::string& command, std::int64_t timeoutMillis,
                          std::string_view hiddenVariable) {
  CommandOutcome outcome;
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) {
    outcome.error = std::strerror(errno);
    return outcome;
  }
  // In the terminal's foreground it stays in our process group, so that it may prompt
  // there (pass, gpg, secret-tool); elsewhere it gets a group of its own, so that a
  // time-out ends whatever it started too.
  bool ownGroup = !inTerminalForeground();
  std::string hidden(hiddenVariable);
  pid_t child = ::fork();
  if (child == 0) {
    if (ownGroup) ::setpgid(0, 0);
    // It must not read the message waiting on our standard input.
    int nothing = ::open("/dev/null", O_RDONLY);
    ::dup2(nothing, STDIN_FILENO);
    ::dup2(output[1], STDOUT_FILENO);
    ::signal(SIGPIPE, SIG_DFL);
    if (!hidden.empty()) ::unsetenv(hidden.c_str());
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(output[1]);
  if (child < 0) {
    outcome.error = std::strerror(errno);
    ::close(output[0]);
    return outcome;
  }
  ::fcntl(output[0], F_SETFL, ::fcntl(output[0], F_GETFL) | O_NONBLOCK);
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  std::string read;
  read.reserve(kLongestCommandLine + 1);  // never moved: no copy of a secret left behind
  bool outputOpen = true;
  bool timedOut = false;
  int status = 0;
  // Done when it has exited: what it wrote is in the pipe by then, and a job it left
  // in the background may hold the pipe open for ever.
  for (;;) {
    pid_t ended = ::waitpid(child, &status, WNOHANG);
    if (ended == child || (ended < 0 && errno != EINTR)) break;
    if (monotonicMillis() >= deadline) {
      timedOut = true;
      endCommand(child, ownGroup);
      ::waitpid(child, &status, 0);
      break;
    }
    constexpr std::int64_t kExitPollMillis = 20;
    if (outputOpen) {
      waitFor(output[0], POLLIN, std::min(deadline, monotonicMillis() + kExitPollMillis));
      outputOpen = readAvailable(output[0], read);
    } else {
      ::poll(nullptr, 0, static_cast<int>(kExitPollMillis));
    }
  }
  if (outputOpen) readAvailable(output[0], read);
  ::close(output[0]);
  std::string_view line = firstLineOf(read);
  if (line.size() > kLongestCommandLine) {
    outcome.lineTooLong = true;
  } else {
    outcome.firstLine = line;
  }
  wipeMemory(read.data(), read.size());
  if (timedOut) {
    outcome.status = CommandOutcome::Status::kTimedOut;
  } else {
    outcome.status = CommandOutcome::Status::kExited;
    outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  return outcome;
}

std::string hostName() {
  // POSIX bounds a host name by HOST_NAME_MAX, 255 at most on every system in use.
  std::string name(256, '\0');
  if (gethostname(name.data(), name.size() - 1) != 0) return {};
  name.resize(std::strlen(name.c_str()));
  return name;
}

std::optional<std::uint64_t> standardInputSize() {
  struct stat info {};
  if (::fstat(STDIN_FILENO, &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::string defaultCharset() { return "utf-8"; }

FileExposure fileExposure(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return FileExposure::kPrivate;
  // Root's own files are root's; anyone else's file can be changed behind the caller.
  if (info.st_uid != ::geteuid()) return FileExposure::kOwnedByOther;
  if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) return FileExposure::kReadableByOthers;
  if ((info.st_mode & (S_IRWXG | S_IRWXO)) != 0) return FileExposure::kWritableByOthers;
  return FileExposure::kPrivate;
}

std::string makePrivateAdvice(FileExposure exposure) {
  return exposure == FileExposure::kOwnedByOther ? "chown it to yourself and chmod 600 it"
                                                 : "chmod 600 it";
}

void protectMemoryFromDumps() {
#if defined(__linux__)
  ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
#else
  rlimit none{0, 0};
  ::setrlimit(RLIMIT_CORE, &none);
#endif
}

std::optional<File> createPrivateFile(const std::string& path, std::string& error,
                                      ExistingFile existing) {
  int keep = existing == ExistingFile::kAppend ? O_APPEND : O_TRUNC;
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | keep | O_CLOEXEC | O_NOCTTY, 0600);
  if (fd < 0) {
    error = std::strerror(errno);
    return std::nullopt;
  }
  return File(fd);
}

std::FILE* openFileForReading(const std::string& path) { return std::fopen(path.c_str(), "re"); }

std::optional<bool> literalIsLoopback(const std::string& host) {
  std::string text = host;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) return (ntohl(v4.s_addr) >> 24) == 127;
  sockaddr_in6 v6{};
  v6.sin6_family = AF_INET6;
  if (::inet_pton(AF_INET6, text.c_str(), &v6.sin6_addr) == 1) {
    return isLoopbackAddress(reinterpret_cast<const sockaddr&>(v6));
  }
  return std::nullopt;
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
  if (resolved != 0) return {ConnectStatus::kNotResolved, nullptr, false, ::gai_strerror(resolved)};
  ConnectResult result{ConnectStatus::kNotConnected, nullptr, false, {}};
  for (addrinfo* address = found; address; address = address->ai_next) {
    int error = 0;
    int fd = connectAddress(*address, timeoutMillis, error);
    if (fd >= 0) {
      result = {ConnectStatus::kConnected, std::make_unique<PosixSocket>(fd),
                isLoopbackAddress(*address->ai_addr), {}};
      break;
    }
    result.reason = std::strerror(error);
  }
  ::freeaddrinfo(found);
  return result;
}

}  // namespace larkpost::platform
