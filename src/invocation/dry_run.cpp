// The dry run shows the same bytes the real run would send, taken from the same writer,
// so what it shows cannot drift from what is sent.
#include "invocation/dry_run.h"

#include <algorithm>

#include "core/printable.h"

namespace larkpost {

void showEnvelope(const JobSettings& settings, const std::vector<std::string>& recipients,
                  std::ostream& out) {
  std::size_t perTransaction = recipients.size();
  if (settings.maxRecipients > 0) {
    perTransaction = std::min(perTransaction, static_cast<std::size_t>(settings.maxRecipients));
  }
  const std::size_t transactions = (recipients.size() + perTransaction - 1) / perTransaction;
  for (std::size_t t = 0; t < transactions; ++t) {
    out << "Transaction " << t + 1 << " of " << transactions << "\n"
        << "MAIL FROM:<" << printable(settings.senderAddress) << ">\n";
    std::size_t end = std::min(recipients.size(), (t + 1) * perTransaction);
    for (std::size_t r = t * perTransaction; r < end; ++r) {
      out << "RCPT TO:<" << printable(recipients[r]) << ">\n";
    }
  }
}

// The writer puts a full stop in front of every line that begins with one, as a piece of
// its own or not: at a line start the first full stop is always the stuffed one.
void WireEcho::sendText(std::string_view text) {
  for (char c : text) {
    if (pendingCr_) {
      pendingCr_ = false;
      if (c == '\n') {
        out_ << '\n';
        atLineStart_ = true;
        continue;
      }
      out_ << '\r';
    }
    if (c == '\r') {
      pendingCr_ = true;
      continue;
    }
    if (atLineStart_ && c == '.') {
      atLineStart_ = false;
      continue;
    }
    atLineStart_ = false;
    out_ << c;
  }
}

}  // namespace larkpost
