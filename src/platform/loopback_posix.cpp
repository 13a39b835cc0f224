// A listener for one browser redirect. Only 127.0.0.1 is bound, so nothing off the
// machine can deliver a code to it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/loopback.h"
#include "platform/platform.h"

extern char** environ;

namespace larkpost::platform {
namespace {

constexpr std::size_t kLongestRequestHead = 16 * 1024;

bool waitReadable(int fd, std::int64_t deadline) {
  for (;;) {
    std::int64_t left = deadline - monotonicMillis();
    if (left <= 0) return false;
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left > 60000 ? 60000 : left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return false;
  }
}

class PosixLoopbackServer final : public LoopbackServer {
 public:
  PosixLoopbackServer(int fd, std::uint16_t port) : listener_(fd), port_(port) {}
  ~PosixLoopbackServer() override {
    closeClient();
    ::close(listener_);
  }
  PosixLoopbackServer(const PosixLoopbackServer&) = delete;
  PosixLoopbackServer& operator=(const PosixLoopbackServer&) = delete;

  std::uint16_t port() const override { return port_; }

  std::optional<std::string> nextRequest(std::int64_t deadline) override {
    for (;;) {
      closeClient();
      if (!waitReadable(listener_, deadline)) return std::nullopt;
      client_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
      if (client_ < 0) continue;
      if (std::optional<std::string> head = readHead(deadline)) {
        return head->substr(0, head->find("\r\n"));
      }
    }
  }

  void answer(std::string_view response) override {
    while (!response.empty()) {
      ssize_t sent = ::send(client_, response.data(), response.size(), MSG_NOSIGNAL);
      if (sent <= 0) break;
      response.remove_prefix(static_cast<std::size_t>(sent));
    }
    closeClient();
  }

 private:
  std::optional<std::string> readHead(std::int64_t deadline) {
    std::string head;
    char chunk[1024];
    while (head.find("\r\n\r\n") == std::string::npos && head.size() < kLongestRequestHead) {
      if (!waitReadable(client_, deadline)) return std::nullopt;
      ssize_t got = ::recv(client_, chunk, sizeof chunk, 0);
      if (got <= 0) return std::nullopt;
      head.append(chunk, static_cast<std::size_t>(got));
    }
    return head;
  }

  void closeClient() {
    if (client_ >= 0) ::close(client_);
    client_ = -1;
  }

  int listener_;
  int client_ = -1;
  std::uint16_t port_;
};

}  // namespace

std::unique_ptr<LoopbackServer> listenOnLoopback(std::string& error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return nullptr;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 4) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixLoopbackServer>(fd, ntohs(address.sin_port));
}

bool openInBrowser(const std::string& url) {
  // No desktop, no browser: on a server the user opens the printed URL elsewhere.
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  if ((!display || !*display) && (!wayland || !*wayland)) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  std::string program = "xdg-open";
  char* argv[] = {program.data(), const_cast<char*>(url.c_str()), nullptr};
  pid_t child = 0;
  int failed = ::posix_spawnp(&child, "xdg-open", &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace larkpost::platform
