// The header scan under -t: recipients and sender from the message's own header.
#ifndef LARKPOST_HEADERSCAN_HEADER_SCAN_H_
#define LARKPOST_HEADERSCAN_HEADER_SCAN_H_

#include <optional>
#include <string>
#include <vector>

#include "compose/line_reader.h"
#include "headerscan/header_block.h"

namespace larkpost {

struct HeaderScan {
  HeaderBlock header;                  // every field but Bcc and Bc
  std::vector<std::string> recipients;  // of To, Cc, Bcc and Bc, in order
  std::optional<std::string> sender;   // of the last From field that names one
  bool inputFailed = false;            // standard input could not be read
};

// Reads the header block from `input` up to and including its first empty line (or the
// end of the input), leaving `input` at the first line of the body.
HeaderScan scanHeader(LineReader& input);

}  // namespace larkpost

#endif  // LARKPOST_HEADERSCAN_HEADER_SCAN_H_
