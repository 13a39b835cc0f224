// Internationalized host names to their ASCII form, through libidn2 (IDNA 2008 with the
// UTS #46 mapping, non-transitional: "ß" stays "ß", as browsers and curl take it).
#include <idn2.h>

#include <cstdlib>

#include "platform/platform.h"

namespace larkpost::platform {

std::optional<std::string> hostNameToAscii(const std::string& utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  // An ASCII name (or address literal) goes to the resolver exactly as written.
  if (ascii) return utf8;
  char* converted = nullptr;
  if (idn2_to_ascii_8z(utf8.c_str(), &converted, IDN2_NFC_INPUT | IDN2_NONTRANSITIONAL) !=
      IDN2_OK) {
    return std::nullopt;
  }
  std::string result(converted);
  idn2_free(converted);
  return result;
}

}  // namespace larkpost::platform
