// One mail transaction's commands: MAIL FROM, RCPT TO for each recipient (pipelined when
// the server offers it), DATA, and the end-of-data marker.
#ifndef LARKPOST_SMTP_DIALOGUE_H_
#define LARKPOST_SMTP_DIALOGUE_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/run_failure.h"
#include "smtp/capabilities.h"
#include "smtp/dsn.h"
#include "smtp/smtp_connection.h"

namespace larkpost {

// Longest command line SMTP allows, its CR LF included (RFC 5321 4.5.3.1.4).
constexpr std::size_t kMaxCommandLine = 512;

// RCPT commands sent ahead of their replies when the server pipelines: enough to hide
// the round trip, few enough that the replies waiting meanwhile never fill a socket
// buffer on either side, so neither end can block the other.
constexpr std::size_t kPipelineWindow = 64;

// True when `address` can go into "<prefix><address>>\r\n" safely: no control character,
// no angle bracket, and a command line within bounds.
bool isSendableAddress(std::string_view prefix, std::string_view address);

// True when "EHLO <domain>\r\n" (and HELO) is a safe, well-bounded command.
bool isSendableDomain(std::string_view domain);

// True when the address holds bytes above 0x7F, which only SMTPUTF8 (RFC 6531) carries.
bool isInternationalAddress(std::string_view address);

// "Error sending mail to user [...]\n" and "Error sending mail from user [...]\n".
std::string recipientFailure(std::string_view address);
std::string senderFailure(std::string_view address);

// What MAIL FROM declares.
struct MailParameters {
  std::optional<std::uint64_t> size;  // SIZE= (RFC 1870)
  bool eightBitMime = false;          // BODY=8BITMIME (RFC 6152)
  bool smtpUtf8 = false;              // SMTPUTF8 (RFC 6531)
  // Asked for and offered: RET and ENVID on MAIL, NOTIFY and ORCPT on each RCPT.
  std::optional<DsnRequest> dsn;
};

enum class RecipientState {
  kAccepted,  // a 2yz reply
  kRefused,   // refused for good by the server (5yz), or never sendable
  kDeferred,  // not in this transaction: too many recipients (452), or not sent after one
  kTemporary, // refused for now (4yz): another transaction later may take it
};

struct RecipientResult {
  RecipientState state = RecipientState::kDeferred;
  std::optional<Reply> reply;  // the server's reply, when the command was sent
};

// MAIL FROM, then RCPT TO for each of `recipients`, pipelined in windows when
// `pipelining`, replies read in order. After a "too many recipients" reply (452, or 552
// with 5.5.3) no further RCPT is sent, and that recipient and the ones after it are
// deferred to another transaction; when no recipient before it was accepted, the limit
// cannot be the reason, so that one is refused for now (kTemporary) and only the ones
// after it are deferred. Recipients that cannot be sent safely (or need SMTPUTF8 where
// `smtpUtf8` is off) are refused without a command. Throws RunFailure when the server
// refuses the sender. When the session ends while recipients are being given (a 421
// to a RCPT, which refuses that recipient for now, or a closed or silent connection),
// the failure goes to `interrupted` when given, with the replies so far returned and
// the recipients not answered deferred; else it is thrown.
std::vector<RecipientResult> sendEnvelope(SmtpConnection& connection, std::string_view sender,
                                          const MailParameters& parameters,
                                          std::span<const std::string_view> recipients,
                                          bool pipelining,
                                          std::optional<RunFailure>* interrupted = nullptr);

// DATA; throws RunFailure unless the server asks for the message (354).
void sendData(SmtpConnection& connection);

// Sends the end-of-data marker (its leading CR LF only when the data did not end a
// line) and returns the server's reply, whatever it says. Throws RunFailure, marked
// maybeDelivered, when the reply never comes.
Reply endMessage(SmtpConnection& connection, bool dataEndedLine);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_DIALOGUE_H_
