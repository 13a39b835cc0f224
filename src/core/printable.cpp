// Escaping of values echoed in messages.
#include "core/printable.h"

namespace larkpost {

std::string printable(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool cut = value.size() > kLongestShownValue;
  if (cut) value = value.substr(0, kLongestShownValue);
  std::string shown;
  shown.reserve(value.size() + (cut ? 3 : 0));
  for (char c : value) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      shown += "\\x";
      shown += kHex[byte >> 4];
      shown += kHex[byte & 0xF];
    } else {
      shown += c;
    }
  }
  if (cut) shown += "...";
  return shown;
}

}  // namespace larkpost
