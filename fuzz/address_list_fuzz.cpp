// Fuzzes the address-list parser: whatever a header holds, every address it yields is
// one line, never empty, and made of the value's own bytes. (Other control characters
// may stand in quoted strings; the dialogue refuses to send those.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "headerscan/address_list.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view value(reinterpret_cast<const char*>(data), size);
  for (const std::string& address : larkpost::parseAddressList(value)) {
    if (address.empty() || address.size() > size) std::abort();
    if (address.find_first_of("\r\n") != std::string::npos) std::abort();
  }
  return 0;
}
