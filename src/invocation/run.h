// The run sequence: settings, options, header scan, connection, dialogue and message.
#ifndef LARKPOST_INVOCATION_RUN_H_
#define LARKPOST_INVOCATION_RUN_H_

#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "invocation/report.h"

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

// A job whose command line a front end has read itself (the sendmail mode).
struct FrontEndJob {
  JobSettings settings;
  std::vector<std::string> recipients;  // in sending order; under -t before the header's
  // Maps each recipient gathered, the command line's and the header's, to those it
  // stands for (aliases). Throws RunFailure to refuse it.
  std::function<std::vector<std::string>(const std::string&)> expandRecipient;
};

struct JobResult {
  int status = kExitFailed;  // as runJob's
  RunRecord record;
};

// Runs `job` from reading the input on, printing messages to `out` as runJob does (the
// banner aside). Never throws.
JobResult runFrontEndJob(FrontEndJob job, std::ostream& out);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_RUN_H_
