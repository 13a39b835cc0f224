// Sending is gathered into large writes and flushed only when a reply is awaited, so a
// message goes out in few system calls and no command waits on a half-filled packet.
#include "smtp/smtp_connection.h"

#include <algorithm>
#include <utility>

#include "invocation/printable.h"
#include "invocation/run_failure.h"

namespace larkpost {
namespace {

constexpr const char* kNotSmtp = "Server error or not SMTP Server\n";

std::int64_t deadlineAfter(int seconds) {
  return platform::monotonicMillis() + static_cast<std::int64_t>(seconds) * 1000;
}

}  // namespace

TimeLimits TimeLimits::withOverride(int seconds) {
  TimeLimits limits;
  if (seconds > 0) {
    limits.connect = limits.greeting = limits.command = limits.data = limits.endOfData =
        limits.send = seconds;
    limits.quit = std::min(limits.quit, seconds);
  }
  return limits;
}

SmtpConnection::SmtpConnection(std::unique_ptr<platform::Socket> socket, std::string server,
                               TimeLimits limits)
    : socket_(std::move(socket)),
      server_(printable(server)),
      limits_(limits),
      reader_(*socket_) {
  pending_.reserve(kGatherBytes);
}

void SmtpConnection::sendText(std::string_view text) {
  if (pending_.size() + text.size() > kGatherBytes) flush();
  if (text.size() >= kGatherBytes) {
    send(text);
  } else {
    pending_.append(text);
  }
}

void SmtpConnection::flush() {
  if (pending_.empty()) return;
  send(pending_);
  pending_.clear();
}

void SmtpConnection::send(std::string_view bytes) {
  switch (socket_->sendAll(bytes, deadlineAfter(limits_.send))) {
    case platform::IoStatus::kOk:
      return;
    case platform::IoStatus::kTimedOut:
      failTimedOut(limits_.send);
    case platform::IoStatus::kClosed:
      failClosed();
  }
}

ReplyResult SmtpConnection::awaitReply(int limitSeconds) {
  flush();
  return reader_.read(deadlineAfter(limitSeconds));
}

Reply SmtpConnection::command(std::string_view text, int limitSeconds) {
  sendText(text);
  ReplyResult result = awaitReply(limitSeconds);
  switch (result.status) {
    case ReplyStatus::kComplete:
      if (!result.reply.wellFormed()) garbled_ = true;
      return std::move(result.reply);
    case ReplyStatus::kTimedOut:
      failTimedOut(limitSeconds);
    case ReplyStatus::kClosed:
      failClosed();
    case ReplyStatus::kTooLarge:
      break;
  }
  throw RunFailure{kNotSmtp, SessionEnd::kDrop};
}

void SmtpConnection::readGreeting() {
  ReplyResult result = awaitReply(limits_.greeting);
  if (result.status == ReplyStatus::kTimedOut) failTimedOut(limits_.greeting);
  if (result.status != ReplyStatus::kComplete || !result.reply.accepted()) {
    throw RunFailure{kNotSmtp, SessionEnd::kDrop};
  }
}

void SmtpConnection::quit() {
  if (garbled_) return;  // a server that answers garbage is not spoken to any further
  try {
    pending_.clear();
    sendText("QUIT\r\n");
    awaitReply(limits_.quit);
  } catch (const RunFailure&) {
    // The session is over either way; how it ended changes nothing.
  }
}

void SmtpConnection::failTimedOut(int limitSeconds) const {
  throw RunFailure{"Server (" + server_ + ") did not answer within " +
                       std::to_string(limitSeconds) + " seconds\n",
                   SessionEnd::kDrop};
}

void SmtpConnection::failClosed() const {
  throw RunFailure{"Connection to server (" + server_ + ") was closed\n", SessionEnd::kDrop};
}

SmtpConnection openConnection(const JobSettings& settings, const TimeLimits& limits) {
  const std::string connectFailure = "Could not connect to server (" + printable(settings.server) +
                                     "), port (" + std::to_string(settings.port) + ")";
  // A port out of range names no server; it is not wrapped into one that might.
  if (settings.port < 1 || settings.port > 65535) throw RunFailure{connectFailure};
  platform::ConnectResult connected =
      platform::connectTcp(settings.server, static_cast<std::uint16_t>(settings.port),
                           static_cast<std::int64_t>(limits.connect) * 1000);
  if (connected.status == platform::ConnectStatus::kNotResolved) {
    throw RunFailure{"Server name (" + printable(settings.server) + ") could not be resolved."};
  }
  if (connected.status != platform::ConnectStatus::kConnected) throw RunFailure{connectFailure};
  SmtpConnection connection(std::move(connected.socket), settings.server, limits);
  connection.readGreeting();
  return connection;
}

}  // namespace larkpost
