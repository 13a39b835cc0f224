// A listener for one browser redirect, on Winsock. Only 127.0.0.1 is bound, so nothing
// off the machine can deliver a code to it.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <shellapi.h>

#include "platform/loopback.h"
#include "platform/platform.h"

namespace larkpost::platform {
namespace {

constexpr std::size_t kLongestRequestHead = 16 * 1024;

bool waitReadable(SOCKET socket, std::int64_t deadline) {
  std::int64_t left = deadline - monotonicMillis();
  if (left <= 0) return false;
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval wait{static_cast<long>(left / 1000), static_cast<long>(left % 1000 * 1000)};
  return select(0, &readable, nullptr, nullptr, &wait) > 0;
}

class WinsockLoopbackServer final : public LoopbackServer {
 public:
  WinsockLoopbackServer(SOCKET socket, std::uint16_t port) : listener_(socket), port_(port) {}
  ~WinsockLoopbackServer() override {
    closeClient();
    closesocket(listener_);
  }
  WinsockLoopbackServer(const WinsockLoopbackServer&) = delete;
  WinsockLoopbackServer& operator=(const WinsockLoopbackServer&) = delete;

  std::uint16_t port() const override { return port_; }

  std::optional<std::string> nextRequest(std::int64_t deadline) override {
    for (;;) {
      closeClient();
      if (!waitReadable(listener_, deadline)) return std::nullopt;
      client_ = accept(listener_, nullptr, nullptr);
      if (client_ == INVALID_SOCKET) continue;
      if (std::optional<std::string> head = readHead(deadline)) {
        return head->substr(0, head->find("\r\n"));
      }
    }
  }

  void answer(std::string_view response) override {
    while (!response.empty()) {
      int sent = send(client_, response.data(), static_cast<int>(response.size()), 0);
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
      int got = recv(client_, chunk, sizeof chunk, 0);
      if (got <= 0) return std::nullopt;
      head.append(chunk, static_cast<std::size_t>(got));
    }
    return head;
  }

  void closeClient() {
    if (client_ != INVALID_SOCKET) closesocket(client_);
    client_ = INVALID_SOCKET;
  }

  SOCKET listener_;
  SOCKET client_ = INVALID_SOCKET;
  std::uint16_t port_;
};

}  // namespace

std::unique_ptr<LoopbackServer> listenOnLoopback(std::string& error) {
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (listener == INVALID_SOCKET) {
    error = "no socket (Winsock error " + std::to_string(WSAGetLastError()) + ")";
    return nullptr;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listener, 4) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = "Winsock error " + std::to_string(WSAGetLastError());
    closesocket(listener);
    return nullptr;
  }
  return std::make_unique<WinsockLoopbackServer>(listener, ntohs(address.sin_port));
}

bool openInBrowser(const std::string& url) {
  // ShellExecute returns a value above 32 when it started something.
  HINSTANCE result = ShellExecuteA(nullptr, "open", url.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
  return reinterpret_cast<INT_PTR>(result) > 32;
}

}  // namespace larkpost::platform
