// The sendmail mode: Larkpost as the system's /usr/sbin/sendmail, for programs that
// pipe a message into it (cron, logwatch, PHP's mail(), git send-email, mailx).
#ifndef LARKPOST_SENDMAIL_SENDMAIL_H_
#define LARKPOST_SENDMAIL_SENDMAIL_H_

#include <ostream>
#include <span>
#include <string>

namespace larkpost {

// True when the program runs as sendmail: called "sendmail" or "sendmail.larkpost"
// (args[0]'s last component), or with "--sendmail" as the first argument.
bool isSendmailInvocation(std::span<const std::string> args);

// Runs the job as sendmail would, printing nothing on success and each failure on a
// line of `errors`. Returns a sysexits.h status. Never throws.
int runSendmail(std::span<const std::string> args, std::ostream& errors);

}  // namespace larkpost

#endif  // LARKPOST_SENDMAIL_SENDMAIL_H_
