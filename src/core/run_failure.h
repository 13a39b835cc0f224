// RunFailure: a condition that ends the run, thrown up to the run sequence, which prints
// its message and ends the session with the server as the failure asks.
#ifndef LARKPOST_CORE_RUN_FAILURE_H_
#define LARKPOST_CORE_RUN_FAILURE_H_

#include <string>

namespace larkpost {

enum class SessionEnd {
  kQuit,  // the server still speaks SMTP: say QUIT before closing
  kDrop,  // closed, timed out, closing (421) or not speaking SMTP: just close
};

// What a failure was about, for callers that tell causes apart (the sendmail mode's exit
// statuses); the server's side unless said otherwise.
enum class FailureCause { kDelivery, kUsage, kSettings, kLocalInput };

struct RunFailure {
  std::string message;  // printed exactly as it stands
  SessionEnd end = SessionEnd::kDrop;
  // A later attempt may succeed: a 4yz reply, a time-out, a closed connection, a
  // connection that could not be made.
  bool temporary = false;
  // The end of the message was sent and its reply never came: the server may have
  // taken it, so sending it again could deliver it twice (RFC 5321 6.1).
  bool maybeDelivered = false;
  // The operating system's words on why ("Connection refused"), when it gave any: kept
  // out of the message, whose text scripts may match, and shown on standard error, in
  // the trace and in the report.
  std::string reason = {};
  FailureCause cause = FailureCause::kDelivery;
};

// A failure of ours, not the server's: a final one, of this cause.
inline RunFailure localFailure(FailureCause cause, std::string message) {
  RunFailure failure{std::move(message)};
  failure.cause = cause;
  return failure;
}

}  // namespace larkpost

#endif  // LARKPOST_CORE_RUN_FAILURE_H_
