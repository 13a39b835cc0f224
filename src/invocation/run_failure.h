// RunFailure: a condition that ends the run, thrown up to the run sequence, which prints
// its message and ends the session with the server as the failure asks.
#ifndef LARKPOST_INVOCATION_RUN_FAILURE_H_
#define LARKPOST_INVOCATION_RUN_FAILURE_H_

#include <string>

namespace larkpost {

enum class SessionEnd {
  kQuit,  // the server still speaks SMTP: say QUIT before closing
  kDrop,  // closed, timed out, closing (421) or not speaking SMTP: just close
};

struct RunFailure {
  std::string message;  // printed exactly as it stands
  SessionEnd end = SessionEnd::kDrop;
};

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_RUN_FAILURE_H_
