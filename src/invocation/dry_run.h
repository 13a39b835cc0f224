// --dry-run: what a run would send, shown instead of sent.
#ifndef LARKPOST_INVOCATION_DRY_RUN_H_
#define LARKPOST_INVOCATION_DRY_RUN_H_

#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/job_settings.h"
#include "core/text_sink.h"

namespace larkpost {

// The envelope: for each transaction MaxRecipients would make ("Transaction 1 of 2"),
// its MAIL FROM and one RCPT TO per recipient, in sending order.
void showEnvelope(const JobSettings& settings, const std::vector<std::string>& recipients,
                  std::ostream& out);

// Takes the message data as it would go on the wire and writes it to `out` as it was
// before dot-stuffing, each CR LF a line end of `out`.
class WireEcho final : public TextSink {
 public:
  explicit WireEcho(std::ostream& out) : out_(out) {}
  void sendText(std::string_view text) override;

 private:
  std::ostream& out_;
  bool atLineStart_ = true;
  bool pendingCr_ = false;
};

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_DRY_RUN_H_
