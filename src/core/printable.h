// How values from the command line, files and the server appear in the program's
// messages: control bytes are shown escaped, so a value can never move the cursor,
// retitle the terminal or forge a line of output.
#ifndef LARKPOST_CORE_PRINTABLE_H_
#define LARKPOST_CORE_PRINTABLE_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace larkpost {

// Values longer than this are cut and end in "..." in messages.
constexpr std::size_t kLongestShownValue = 1000;

// `value` with every byte below 0x20, the byte 0x7F and both bytes of each C1 control
// in UTF-8 (C2 80 to C2 9F) written as \xNN (two upper-case hex digits); other bytes,
// the rest of UTF-8 and invalid sequences included, stay as they are.
std::string printable(std::string_view value);

}  // namespace larkpost

#endif  // LARKPOST_CORE_PRINTABLE_H_
