// Escaping of values echoed in messages.
#include "core/printable.h"

namespace larkpost {

std::string printable(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  bool cut = value.size() > kLongestShownValue;
  if (cut) value = value.substr(0, kLongestShownValue);
  std::string shown;
  shown.reserve(value.size() + (cut ? 3 : 0));
  auto escape = [&shown](unsigned char byte) {
    shown += "\\x";
    shown += kHex[byte >> 4];
    shown += kHex[byte & 0xF];
  };
  for (std::size_t i = 0; i < value.size(); ++i) {
    auto byte = static_cast<unsigned char>(value[i]);
    unsigned char next = i + 1 < value.size() ? static_cast<unsigned char>(value[i + 1]) : 0;
    if (byte < 0x20 || byte == 0x7F) {
      escape(byte);
    } else if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
      // U+0080 to U+009F in UTF-8: C1 controls, which terminals obey as they do ESC (CSI
      // is U+009B).
      escape(byte);
      escape(next);
      ++i;
    } else {
      shown += value[i];
    }
  }
  if (cut) shown += "...";
  return shown;
}

}  // namespace larkpost
