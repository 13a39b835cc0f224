// HeaderBlock: the header fields of the input that are sent with the message under -t.
#ifndef LARKPOST_HEADERSCAN_HEADER_BLOCK_H_
#define LARKPOST_HEADERSCAN_HEADER_BLOCK_H_

#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

struct HeaderBlock {
  // The kept fields, each with its continuation lines, as read, line ends included.
  std::string text;
  // The names of the kept fields, as written.
  std::vector<std::string> fieldNames;

  // True when a kept field has this name, in any letter case.
  bool hasField(std::string_view name) const;
};

}  // namespace larkpost

#endif  // LARKPOST_HEADERSCAN_HEADER_BLOCK_H_
