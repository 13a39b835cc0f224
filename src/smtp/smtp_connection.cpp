// Sending is gathered into large writes and flushed only when a reply is awaited, so a
// message goes out in few system calls and no command waits on a half-filled packet.
#include "smtp/smtp_connection.h"

#include <algorithm>
#include <string>
#include <utility>

#include "core/printable.h"
#include "core/run_failure.h"

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
        limits.send = limits.handshake = seconds;
    limits.quit = std::min(limits.quit, seconds);
  }
  return limits;
}

SmtpConnection::SmtpConnection(std::unique_ptr<platform::Socket> socket, std::string server,
                               TimeLimits limits)
    : socket_(std::move(socket)), server_(printable(server)), limits_(limits), reader_(*socket_) {
  pending_.reserve(kGatherBytes);
}

void SmtpConnection::endData() {
  if (inData_ && trace_) trace_->dataEnded();
  inData_ = false;
}

void SmtpConnection::sendText(std::string_view text) {
  if (trace_) {
    if (inData_) {
      trace_->data(text);
    } else {
      trace_->sent(text);
    }
  }
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
      traceBroken("the server took nothing more in time");
      failTimedOut(limits_.send);
    case platform::IoStatus::kClosed:
      traceBroken("connection closed by the server");
      failClosed();
  }
}

void SmtpConnection::traceBroken(std::string_view what) {
  // The data ends here, with what was handed over so far: the next attempt counts anew.
  endData();
  if (trace_) trace_->event(what);
}

ReplyResult SmtpConnection::awaitReply(int limitSeconds) {
  flush();
  ReplyResult result = reader_.read(deadlineAfter(limitSeconds));
  if (result.status == ReplyStatus::kComplete) lastReply_ = result.reply;
  if (trace_) {
    for (const std::string& line : result.reply.lines) trace_->received(line);
    if (result.status == ReplyStatus::kTimedOut) trace_->event("no reply in time");
    if (result.status == ReplyStatus::kClosed) trace_->event("connection closed by the server");
  }
  return result;
}

Reply SmtpConnection::command(std::string_view text, int limitSeconds) {
  sendText(text);
  return readReply(limitSeconds);
}

Reply SmtpConnection::readReply(int limitSeconds) {
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

Reply SmtpConnection::sendSecret(const Secret& secret, int limitSeconds) {
  flush();
  if (trace_) trace_->sentSecret(secret.view());
  send(secret.view());
  return command("", limitSeconds);
}

Reply SmtpConnection::readGreeting() {
  ReplyResult result = awaitReply(limits_.greeting);
  if (result.status == ReplyStatus::kTimedOut) failTimedOut(limits_.greeting);
  if (result.status != ReplyStatus::kComplete || !result.reply.accepted()) {
    // A server that hung up or is busy (4yz, 421 above all) may take us later.
    bool busy = result.status == ReplyStatus::kClosed ||
                (result.status == ReplyStatus::kComplete && result.reply.wellFormed() &&
                 result.reply.first() == '4');
    throw RunFailure{kNotSmtp, SessionEnd::kDrop, busy};
  }
  return std::move(result.reply);
}

platform::TlsDetails SmtpConnection::startTls(const platform::TlsClientConfig& config) {
  // Anything after the reply to STARTTLS and before the handshake was not sent by the
  // server we are about to trust; taken for its reply later, it would be an injection.
  if (reader_.hasUnreadBytes()) {
    garbled_ = true;
    throw RunFailure{"Server (" + server_ + ") sent data it had no reason to send before " +
                         "the TLS handshake; nothing more was sent\n",
                     SessionEnd::kDrop};
  }
  flush();
  platform::TlsHandshake handshake =
      platform::startTls(std::move(socket_), config, deadlineAfter(limits_.handshake));
  if (!handshake.socket) {
    garbled_ = true;  // nothing more can be said on a connection in an unknown state
    if (handshake.transport == platform::IoStatus::kTimedOut) failTimedOut(limits_.handshake);
    throw RunFailure{"TLS handshake with server (" + server_ + ") failed: " +
                         printable(handshake.failure) + "\n",
                     SessionEnd::kDrop};
  }
  socket_ = std::move(handshake.socket);
  reader_.rebind(*socket_);
  return std::move(handshake.details);
}

void SmtpConnection::quit() {
  if (garbled_) return;  // a server that answers garbage is not spoken to any further
  try {
    pending_.clear();
    inData_ = false;
    sendText("QUIT\r\n");
    awaitReply(limits_.quit);
  } catch (const RunFailure&) {
    // The session is over either way; how it ended changes nothing.
  }
}

void SmtpConnection::failTimedOut(int limitSeconds) const {
  throw RunFailure{"Server (" + server_ + ") did not answer within " +
                       std::to_string(limitSeconds) + " seconds\n",
                   SessionEnd::kDrop, true};
}

void SmtpConnection::failClosed() const {
  throw RunFailure{"Connection to server (" + server_ + ") was closed\n", SessionEnd::kDrop,
                   true};
}

SmtpConnection openConnection(const JobSettings& settings, const TimeLimits& limits) {
  const bool namesPort = settings.port >= 1 && settings.port <= 65535;
  const std::string connectFailure =
      "Could not connect to server (" + printable(settings.server) + "), port (" +
      (namesPort ? std::to_string(settings.port) : printable(settings.portAsWritten)) + ")";
  // A port out of range names no server; it is not wrapped into one that might.
  if (!namesPort) throw RunFailure{connectFailure};
  // A name outside ASCII is looked up, and checked against the certificate, in its
  // A-label form.
  std::optional<std::string> ascii = platform::hostNameToAscii(settings.server);
  if (!ascii) {
    throw RunFailure{"Server name (" + printable(settings.server) +
                     ") is not a valid internationalized domain name\n"};
  }
  platform::ConnectResult connected =
      platform::connectTcp(*ascii, static_cast<std::uint16_t>(settings.port),
                           static_cast<std::int64_t>(limits.connect) * 1000);
  if (connected.status == platform::ConnectStatus::kNotResolved) {
    throw RunFailure{"Server name (" + printable(settings.server) + ") could not be resolved.",
                     SessionEnd::kDrop, false, false, printable(connected.reason)};
  }
  if (connected.status != platform::ConnectStatus::kConnected) {
    throw RunFailure{connectFailure, SessionEnd::kDrop, true, false, printable(connected.reason)};
  }
  SmtpConnection connection(std::move(connected.socket), settings.server, limits);
  connection.setPeer(std::move(*ascii), connected.loopback);
  return connection;
}

}  // namespace larkpost
