// Fuzzes the header scan: whatever the input, every kept field is well-formed wire text,
// no Bcc survives, and the kept fields read back as exactly themselves.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "headerscan/header_scan.h"
#include "testing/fakes.h"

namespace {

using larkpost::HeaderField;
using larkpost::HeaderScan;

void checkField(const HeaderField& field) {
  const std::string& text = field.text;
  if (text.size() < 3 || !text.ends_with("\r\n")) std::abort();
  if (text.compare(0, field.name.size(), field.name) != 0) std::abort();
  if (larkpost::sameFieldName(field.name, "bcc") || larkpost::sameFieldName(field.name, "bc")) {
    std::abort();
  }
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    std::string line = text.substr(start, end - start);
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();  // no bare CR or LF
    if (line.find_first_not_of(" \t") == std::string::npos) std::abort();  // no blank line
    if (start > 0 && line[0] != ' ' && line[0] != '\t') std::abort();  // folds begin blank
  }
  if (start != text.size()) std::abort();
}

HeaderScan scan(const std::string& input, std::size_t capacity, bool takeRecipients) {
  larkpost::testing::StringSource source(input, 7);
  larkpost::LineReader reader(source, capacity);
  return larkpost::scanHeader(reader, takeRecipients, 1 << 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::size_t capacity = data[0] % 64 + 2;  // small buffers split lines into pieces
  std::string input(reinterpret_cast<const char*>(data) + 1, size - 1);
  HeaderScan first = scan(input, capacity, true);
  if (first.tooLarge) return 0;
  std::string kept;
  for (const HeaderField& field : first.header.fields) {
    checkField(field);
    kept += field.text;
  }
  for (const std::string& address : first.recipients) {
    if (address.empty() || address.find_first_of("\r\n") != std::string::npos) std::abort();
  }
  // What goes out reads back as the same fields: nothing the scan saw differs from the wire.
  HeaderScan again = scan(kept + "\r\n", capacity, false);
  if (again.header.fields.size() != first.header.fields.size()) std::abort();
  for (std::size_t i = 0; i < again.header.fields.size(); ++i) {
    if (again.header.fields[i].text != first.header.fields[i].text) std::abort();
  }
  if (again.end != larkpost::HeaderEnd::kEmptyLine) std::abort();
  return 0;
}
