// What the sendmail mode tells its caller: an exit status from sysexits.h, which callers
// such as cron and other mail systems act on, and one line on standard error for each
// failure, with the server's reply.
#ifndef LARKPOST_SENDMAIL_SENDMAIL_OUTCOME_H_
#define LARKPOST_SENDMAIL_SENDMAIL_OUTCOME_H_

#include <string>
#include <string_view>
#include <vector>

#include "invocation/report.h"

namespace larkpost {

// sysexits.h's values, which every Unix shares.
constexpr int kExOk = 0;
constexpr int kExUsage = 64;
constexpr int kExNoUser = 67;
constexpr int kExUnavailable = 69;
constexpr int kExIoError = 74;
constexpr int kExTempFail = 75;
constexpr int kExConfig = 78;

// 0 when every recipient got the message. Otherwise: a local cause (usage, settings,
// input) decides; else 75 when every failure was temporary (a 4yz reply, a server out
// of reach), 67 when a recipient was refused for good, 69 for any other final failure.
int sendmailExitStatus(const RunRecord& record);

// One line for each recipient that did not get the message and for what ended the run,
// each with the server's reply when there was one, each starting with `prefix`; and a
// line when DSN was asked for and the server does not offer it. Nothing on success.
std::vector<std::string> sendmailMessages(const RunRecord& record, std::string_view prefix);

}  // namespace larkpost

#endif  // LARKPOST_SENDMAIL_SENDMAIL_OUTCOME_H_
