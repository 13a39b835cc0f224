// Each trace line is written whole and flushed, so a run that is killed leaves a trace
// up to its last step.
#include "smtp/trace.h"

#include <cstdio>

#include "core/printable.h"
#include "platform/platform.h"

namespace larkpost {

Trace::Trace(std::ostream& out, bool showData)
    : out_(out), showData_(showData), start_(platform::monotonicMillis()) {}

void Trace::line(std::string_view prefix, std::string_view text) {
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "[%7lld ms] ",
                static_cast<long long>(platform::monotonicMillis() - start_));
  out_ << stamp << prefix << printable(text) << '\n';
  out_.flush();
}

void Trace::sent(std::string_view text) {
  while (!text.empty()) {
    std::size_t end = text.find("\r\n");
    line("C: ", text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 2);
  }
}

void Trace::sentSecret(std::string_view text) {
  // "AUTH PLAIN <initial response>": the mechanism is worth seeing, nothing after it.
  if (text.starts_with("AUTH ")) {
    std::size_t mechanismEnd = text.find_first_of(" \r", 5);
    std::string shown(text.substr(0, mechanismEnd));
    if (mechanismEnd != std::string_view::npos && text[mechanismEnd] == ' ') shown += " <redacted>";
    line("C: ", shown);
    return;
  }
  line("C: ", "<redacted>");
}

void Trace::received(std::string_view text) { line("S: ", text); }

void Trace::event(std::string_view text) { line("* ", text); }

void Trace::data(std::string_view bytes) {
  dataBytes_ += bytes.size();
  if (!showData_) return;
  partialLine_ += bytes;
  std::size_t start = 0;
  for (std::size_t end; (end = partialLine_.find("\r\n", start)) != std::string::npos;
       start = end + 2) {
    line("C: ", std::string_view(partialLine_).substr(start, end - start));
  }
  partialLine_.erase(0, start);
}

void Trace::dataEnded() {
  if (showData_) {
    if (!partialLine_.empty()) line("C: ", partialLine_);
    partialLine_.clear();
  } else {
    line("* ", "<" + std::to_string(dataBytes_) + " bytes of message data>");
  }
  dataBytes_ = 0;
}

}  // namespace larkpost
