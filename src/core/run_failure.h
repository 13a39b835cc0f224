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
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_RUN_FAILURE_H_
