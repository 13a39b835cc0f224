// SmtpConnection: the run's one connection to the SMTP server, with gathered output,
// whole-reply reading and a time limit on every wait.
#ifndef LARKPOST_SMTP_SMTP_CONNECTION_H_
#define LARKPOST_SMTP_SMTP_CONNECTION_H_

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/job_settings.h"
#include "core/secret.h"
#include "core/text_sink.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "smtp/reply_reader.h"
#include "smtp/trace.h"

namespace larkpost {

// Time limits in seconds, by default those RFC 5321 (4.5.3.2) recommends to clients.
struct TimeLimits {
  int connect = 60;
  int greeting = 300;
  int command = 300;  // HELO, MAIL FROM, RCPT TO
  int data = 120;
  int endOfData = 600;
  int send = 180;  // for the server to take each block of data
  int handshake = 60;  // for a TLS handshake to complete
  int quit = 10;

  // `seconds` > 0 replaces every limit; QUIT waits no longer than it would anyway.
  static TimeLimits withOverride(int seconds);
};

class SmtpConnection final : public TextSink {
 public:
  static constexpr std::size_t kGatherBytes = 64 * 1024;

  SmtpConnection(std::unique_ptr<platform::Socket> socket, std::string server,
                 TimeLimits limits);

  // Gathers `text` for sending; it goes out when enough has gathered or before the
  // next reply is awaited. Throws RunFailure when the server has gone away.
  void sendText(std::string_view text) override;

  // Sends `text` and everything gathered, then reads the whole reply, waiting at most
  // `limitSeconds`. Throws RunFailure when the connection closes, the time passes or
  // what arrives is no SMTP reply.
  Reply command(std::string_view text, int limitSeconds);

  // Sends everything gathered and reads the next reply, as command() does; commands
  // sent ahead (pipelining) get their replies in order this way.
  Reply readReply(int limitSeconds);

  // Sends `secret` (a whole command or response line holding a password or token)
  // straight to the server, never gathered with other text, and reads the reply.
  Reply sendSecret(const Secret& secret, int limitSeconds);

  // Reads the greeting; throws RunFailure unless it accepts us. Returns it.
  Reply readGreeting();

  // Runs the TLS handshake on the connection and reads everything from then on through
  // it. Throws RunFailure when the server sent anything the handshake did not ask for
  // (it could only have been injected), or the handshake fails. Returns what the
  // handshake saw; whether to trust it is the caller's to decide.
  platform::TlsDetails startTls(const platform::TlsClientConfig& config);

  // Ends the session politely: QUIT, and its reply awaited briefly, unless the server
  // has answered with something that is no SMTP reply. Never throws; the reply changes
  // nothing.
  void quit();

  // The server's name as messages show it.
  // Logs the dialogue to `trace` from now on (nullptr: no more).
  void setTrace(Trace* trace) { trace_ = trace; }
  // Notes an event in the trace, if there is one.
  void traceEvent(std::string_view text) {
    if (trace_) trace_->event(text);
  }
  // What is sent between these two is message data, traced as such.
  void beginData() { inData_ = true; }
  void endData();

  const std::string& server() const { return server_; }
  // Some reply was no SMTP reply: nothing more is to be said on this connection.
  bool garbled() const { return garbled_; }
  // The last whole reply read, for messages that quote the server.
  const std::optional<Reply>& lastReply() const { return lastReply_; }
  const TimeLimits& limits() const { return limits_; }

  // The server's name as the DNS, SNI and the certificate check take it (its A-label
  // form for an internationalized name), and whether the address connected to is a
  // loopback one; set by openConnection.
  const std::string& asciiServer() const { return asciiServer_; }
  bool peerIsLoopback() const { return peerLoopback_; }
  void setPeer(std::string asciiServer, bool loopback) {
    asciiServer_ = std::move(asciiServer);
    peerLoopback_ = loopback;
  }

 private:
  void flush();
  void send(std::string_view bytes);
  // Notes in the trace that sending failed, ending the data under way.
  void traceBroken(std::string_view what);
  ReplyResult awaitReply(int limitSeconds);
  [[noreturn]] void failTimedOut(int limitSeconds) const;
  [[noreturn]] void failClosed() const;

  std::unique_ptr<platform::Socket> socket_;
  std::string server_;
  std::string asciiServer_;
  bool peerLoopback_ = false;
  TimeLimits limits_;
  ReplyReader reader_;
  std::string pending_;
  bool garbled_ = false;  // some reply was not an SMTP reply
  Trace* trace_ = nullptr;
  bool inData_ = false;
  std::optional<Reply> lastReply_;
};

// Resolves the server and connects. Throws RunFailure with the message for whatever
// fails.
SmtpConnection openConnection(const JobSettings& settings, const TimeLimits& limits);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_SMTP_CONNECTION_H_
