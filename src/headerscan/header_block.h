// HeaderBlock: the fields of the input's own header that go out with the message, each
// exactly as it will be sent.
#ifndef LARKPOST_HEADERSCAN_HEADER_BLOCK_H_
#define LARKPOST_HEADERSCAN_HEADER_BLOCK_H_

#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

struct HeaderField {
  std::string name;  // as written, without the colon
  // The whole field as it goes on the wire: its first line and its continuation lines,
  // each ended by CR LF, with no other CR or LF in it.
  std::string text;
};

struct HeaderBlock {
  std::vector<HeaderField> fields;

  // True when a field has this name, in any letter case.
  bool hasField(std::string_view name) const;
};

// Field names compare in any letter case (basic Latin letters only).
bool sameFieldName(std::string_view a, std::string_view b);

}  // namespace larkpost

#endif  // LARKPOST_HEADERSCAN_HEADER_BLOCK_H_
