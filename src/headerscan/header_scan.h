// The header scan: reads the message's own header from standard input ahead of the body,
// under -t for its recipients and sender, and under -a without -h to put the MIME framing
// in place.
#ifndef LARKPOST_HEADERSCAN_HEADER_SCAN_H_
#define LARKPOST_HEADERSCAN_HEADER_SCAN_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/line_reader.h"
#include "headerscan/header_block.h"

namespace larkpost {

// No real message has a header this large; past it the message is refused.
constexpr std::size_t kMaxHeaderBytes = std::size_t{1} << 20;

// What ended the header.
enum class HeaderEnd {
  kEmptyLine,   // its empty line, which was read and is not part of the message
  kBodyLine,    // a line that is neither a field nor a continuation: left unread, it
                // begins the body, and the message needs the empty line the input lacks
  kEndOfInput,  // the input ended
  kFullStop,    // a line holding a single full stop: the message ends there
};

struct HeaderScan {
  HeaderBlock header;                   // every field but Bcc and Bc (when recipients are taken)
  std::vector<std::string> recipients;  // of To, Cc, Bcc and Bc, in order
  std::optional<std::string> sender;    // of the last From field that names one
  HeaderEnd end = HeaderEnd::kEndOfInput;
  bool inputFailed = false;  // standard input could not be read
  bool tooLarge = false;     // the header went past the limit; the scan stopped there
};

// Reads the header from `input`. A field is a name of printable characters and a colon;
// a line that begins with a blank or a tab continues the field above it. Every line is
// taken as the wire will carry it: a CR that does not end the line becomes a blank, so
// the fields read here are exactly the fields that go out. With `takeRecipients` the
// To, Cc, Bcc, Bc and From fields are read and the Bcc and Bc fields left out. Without
// `fullStopEnds` a line holding a single full stop is a body line like any other.
HeaderScan scanHeader(LineReader& input, bool takeRecipients, std::size_t limit = kMaxHeaderBytes,
                      bool fullStopEnds = true);

}  // namespace larkpost

#endif  // LARKPOST_HEADERSCAN_HEADER_SCAN_H_
