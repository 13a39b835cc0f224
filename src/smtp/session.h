// The session before any mail: connecting, the greeting, EHLO (or HELO), securing the
// connection with STARTTLS or TLS from the first byte, checking the server's
// certificate, and logging in.
#ifndef LARKPOST_SMTP_SESSION_H_
#define LARKPOST_SMTP_SESSION_H_

#include <optional>
#include <span>
#include <string>

#include "core/job_settings.h"
#include "platform/tls.h"
#include "smtp/capabilities.h"
#include "smtp/sasl.h"
#include "core/secret.h"
#include "smtp/smtp_connection.h"
#include "smtp/trace.h"

namespace larkpost {

// The security the settings ask for: the one named, else by port (465 TLS, 587
// STARTTLS, others none).
Security effectiveSecurity(const JobSettings& settings);

// Throws RunFailure when the run would send a password over a plaintext connection to
// another machine and the settings do not allow it. Only the address connected to
// (`connectedToLoopback`) tells whether the server is this machine; before connecting,
// only a server given as an address other than loopback is refused: a name, even
// "localhost", may resolve anywhere.
void refusePlaintextPassword(const JobSettings& settings,
                             std::optional<bool> connectedToLoopback = std::nullopt);

// A fingerprint as the settings may write it (hex, with or without colons, any case),
// normalised to upper-case hex pairs joined by colons; std::nullopt unless it is a
// SHA-256 (32 bytes).
std::optional<std::string> normalizedFingerprint(const std::string& text);

// The names a certificate is for, joined by commas: the first `most` of them, then
// "and N more"; "no host name or address" when it has none.
std::string certificateNamesText(std::span<const std::string> names, std::size_t most);

// Why the server's certificate is not to be trusted under these settings, in words for
// a message; std::nullopt when it is trusted. A certificate for other names says which.
std::optional<std::string> distrustReason(const platform::TlsDetails& details,
                                          const JobSettings& settings);

// What the session learned, step by step; --check shows it.
class SessionEvents {
 public:
  virtual ~SessionEvents() = default;
  virtual void greeted(const Reply& /*greeting*/) {}
  virtual void extended(const ServerCapabilities& /*capabilities*/, bool /*secured*/) {}
  virtual void fellBackToHelo() {}
  virtual void secured(const platform::TlsDetails& /*details*/, const std::string& /*verdict*/) {}
  virtual void loggedIn(SaslMechanism /*mechanism*/) {}
};

struct Session {
  SmtpConnection connection;
  ServerCapabilities capabilities;  // as offered after the last EHLO
  std::optional<platform::TlsDetails> tls;
};

// Connects and makes the session ready for a mail transaction. Logs in when the
// settings name a user (with `secret`). Traces the dialogue to `trace` when given.
// Throws RunFailure with the message for whatever fails.
Session openSession(const JobSettings& settings, const TimeLimits& limits, const Secret* secret,
                    SessionEvents& events, Trace* trace = nullptr);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_SESSION_H_
