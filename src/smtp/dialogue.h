// The SMTP dialogue of the run's mail transaction: MAIL FROM, RCPT TO for each recipient,
// DATA, and the end-of-data marker.
#ifndef LARKPOST_SMTP_DIALOGUE_H_
#define LARKPOST_SMTP_DIALOGUE_H_

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "invocation/job_settings.h"
#include "smtp/smtp_connection.h"

namespace larkpost {

// Longest command line SMTP allows, its CR LF included (RFC 5321 4.5.3.1.4).
constexpr std::size_t kMaxCommandLine = 512;

// True when `address` can go into "<prefix><address>>\r\n" safely: no control character,
// no angle bracket, and a command line within bounds.
bool isSendableAddress(std::string_view prefix, std::string_view address);

// True when "EHLO <domain>\r\n" (and HELO) is a safe, well-bounded command.
bool isSendableDomain(std::string_view domain);

struct EnvelopeOutcome {
  std::size_t accepted = 0;
  std::size_t refused = 0;  // refused by the server or not sendable
};

// MAIL FROM to DATA. Prints a message for each refused recipient; throws RunFailure when
// the transaction cannot go on.
EnvelopeOutcome sendEnvelope(SmtpConnection& connection, const JobSettings& settings,
                             const std::vector<std::string>& recipients, std::ostream& out);

// Sends the end-of-data marker (its leading CR LF only when the data did not end a
// line) and throws RunFailure unless the server accepts the message.
void endMessage(SmtpConnection& connection, bool dataEndedLine);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_DIALOGUE_H_
