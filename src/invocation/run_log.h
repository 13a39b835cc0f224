// What a run leaves behind for whoever looks after the machine: one line per transaction
// in a log file (and, on POSIX, the system log), and a first line for each run appended
// to the trace.
#ifndef LARKPOST_INVOCATION_RUN_LOG_H_
#define LARKPOST_INVOCATION_RUN_LOG_H_

#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "invocation/report.h"
#include "platform/platform.h"

namespace larkpost {

// "2026-12-07T13:40:01+01:00".
std::string logTime(const platform::LocalTime& time);

// The event a trace begins with for each run: time, version and the arguments, where the
// value of an option that may carry a secret (--password-command, or any long option the
// program does not know) is shown as <redacted>.
std::string traceStartLine(const platform::LocalTime& time, std::span<const std::string> args);

// One line per transaction of the run, each ending in LF: time, server:port, TLS version
// or none, sender, recipients accepted, refused and deferred, outcome (sent, refused,
// deferred or failed), the end-of-data reply, Message-ID, bytes and seconds. A run that
// ended before any transaction gets one line with outcome failed and `failure`.
std::vector<std::string> transactionLogLines(const JobSettings& settings, const RunRecord& record,
                                             const std::string& failure,
                                             const platform::LocalTime& time);

// Appends the lines to settings.logPath and sends them to the system log as the settings
// ask; a log that cannot be written is reported on `out` and changes no exit status.
void writeTransactionLog(const JobSettings& settings, const RunRecord& record,
                         const std::string& failure, std::ostream& out);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_RUN_LOG_H_
