// The run sequence: settings, options, header scan, connection, dialogue and message.
#ifndef LARKPOST_INVOCATION_RUN_H_
#define LARKPOST_INVOCATION_RUN_H_

#include <ostream>
#include <span>
#include <string>

namespace larkpost {

// Exit statuses of a run.
constexpr int kExitSent = 0;          // the server accepted the message for everyone
constexpr int kExitFailed = 1;        // nothing was delivered (or usage was asked for)
constexpr int kExitSomeRefused = 2;   // accepted, but some recipients were refused

// Runs one job with the command line `args` (args[0] is the program's name), printing
// the banner and every message to `standardOutput`, or to `standardError` when the
// report goes to standard output. Returns the exit status.
int runJob(std::span<const std::string> args, std::ostream& standardOutput,
           std::ostream& standardError);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_RUN_H_
