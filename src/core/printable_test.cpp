// What values from servers and input look like in messages: nothing in them may act on
// the terminal.
#include "core/printable.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

TEST(Printable, EscapesC0AndC1ControlsAndKeepsTheRestOfUtf8) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain text", "plain text"},
      {"a\x1b[2Jb\r\n\x7f", "a\\x1B[2Jb\\x0D\\x0A\\x7F"},
      {"\xC2\x9B" "2J", "\\xC2\\x9B2J"},                       // CSI, U+009B
      {"\xC2\x80\xC2\x9F", "\\xC2\\x80\\xC2\\x9F"},            // the first and last C1
      {"\xC2\xA0\xC2\x7F", "\xC2\xA0\xC2\\x7F"},               // no-break space; C2 before ASCII
      {"caf\xC3\xA9 \xE2\x82\xAC", "caf\xC3\xA9 \xE2\x82\xAC"},  // letters and signs stay
      {"\x9B\xC2", "\x9B\xC2"},                                 // not UTF-8 C1: left as bytes
  };
  for (const auto& [value, shown] : cases) EXPECT_EQ(printable(value), shown) << shown;
  EXPECT_EQ(printable(std::string(1001, 'x')), std::string(1000, 'x') + "...");
}

}  // namespace
}  // namespace larkpost
