// The loopback redirect of a browser login (RFC 8252 section 7.3): a listener on
// 127.0.0.1 at a port the system picks, that reads one HTTP request at a time and
// answers it; and opening a URL in the user's browser.
#ifndef LARKPOST_PLATFORM_LOOPBACK_H_
#define LARKPOST_PLATFORM_LOOPBACK_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace larkpost::platform {

class LoopbackServer {
 public:
  virtual ~LoopbackServer() = default;
  virtual std::uint16_t port() const = 0;
  // Waits for a connection and reads its request line and header (at most 16 KiB);
  // returns the request line ("GET /?code=... HTTP/1.1"), or std::nullopt once the
  // deadline (a monotonicMillis() value) passes.
  virtual std::optional<std::string> nextRequest(std::int64_t deadline) = 0;
  // Sends `response` (a whole HTTP response) for the request last read and closes its
  // connection.
  virtual void answer(std::string_view response) = 0;
};

// Listening on 127.0.0.1; null with `error` set when no port could be had.
std::unique_ptr<LoopbackServer> listenOnLoopback(std::string& error);

// Asks the desktop to open `url` (xdg-open where it exists; ShellExecute on Windows);
// false when there is no way to.
bool openInBrowser(const std::string& url);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_LOOPBACK_H_
