// The profile reader against what the Windows profile functions give for the same text.
// The commonest shapes run through both builds end to end in tests/test_invocation.py.
#include "platform/profile_format.h"

#include <gtest/gtest.h>

#include <vector>

namespace larkpost::platform {
namespace {

using namespace std::string_literals;  // texts with NUL bytes in them

struct Lookup {
  const char* what;
  std::string text;
  const char* key;
  std::optional<std::string> expected;
};

TEST(ProfileFormat, FindsValuesAsTheProfileFunctionsDo) {
  const std::string longValue(5000, 'v');
  const std::vector<Lookup> cases = {
      {"blanks around names and values", "  [ SMTP ]  \r\n\t Port \t=\t\v 25 x \f\x1A\r\n", "Port",
       "25 x"},
      {"no line limit", "[SMTP]\nPort=" + longValue + "\n", "Port", longValue},
      {"a comment line is no key, however long",
       "[SMTP]\n; " + std::string(300, 'x') + "Port=1\nPort=2\n", "Port", "2"},
      {"a key without '=' hides later ones", "[SMTP]\nPort\nPort=1\n", "Port", std::nullopt},
      {"an empty value is a value", "[SMTP]\nPort=\nPort=1\n", "Port", ""},
      {"only the first like-named section", "[SMTP]\nA=1\n[smtp]\nPort=1\n", "Port", std::nullopt},
      {"an empty first section hides a second", "[SMTP]\n[SMTP]\nPort=1\n", "Port", std::nullopt},
      {"the section name ends at the last ']'", "[SMTP] junk\nPort=1\n", "Port", "1"},
      {"a ']' inside the name", "[SMTP]]\nPort=1\n[SMTP]\nPort=2\n", "Port", "2"},
      {"'[' without ']' is a key line", "[SMTP]\n[Other\nPort=1\n", "Port", "1"},
      {"other sections are skipped", "[A]\nPort=1\n[SMTP]\nPort=2\n[B]\nPort=3\n", "Port", "2"},
      {"CR alone ends a line", "[SMTP]\rServer=a\rPort=5\r", "Port", "5"},
      {"the first '=' splits", "[SMTP]\nPort==5\n", "Port", "=5"},
      {"blank inside a name", "[SMTP]\nPo rt=1\nPort =2\n", "Port", "2"},
      {"a NUL ends a value", "[SMTP]\nPort=ab\0cd\n"s, "Port", "ab"},
      {"a NUL ends a key name", "[SMTP]\nPort\0xyz=7\nPort=5\n"s, "Port", "7"},
      {"a NUL ends a section name", "[SM\0TP]\nPort=7\n[SMTP]\nPort=5\n"s, "Port", "5"},
      {"blanks before a NUL stay", "[SMTP]\nPort=q \0 \n"s, "Port", "q "},
      {"other control bytes stay",
       "[SMTP]\nPort=\x1F"
       "5\x7F\n",
       "Port",
       "\x1F"
       "5\x7F"},
      {"non-ASCII bytes stay", "[SMTP]\nPort=\xA0J\xC3\xB6rg\xA0\n", "Port", "\xA0J\xC3\xB6rg\xA0"},
      {"quotes go after trimming", "[SMTP]\nPort= ' z ' \n", "Port", " z "},
      {"one pair of quotes only", "[SMTP]\nPort=''''\n", "Port", "''"},
      {"quotes that differ stay", "[SMTP]\nPort=\"x'\n", "Port", "\"x'"},
      {"a lone quote stays", "[SMTP]\nPort=\"\n", "Port", "\""},
      {"inner quotes stay", "[SMTP]\nPort=\"a\"b\"\n", "Port", "a\"b"},
      {"empty quotes", "[SMTP]\nPort=\"\"\n", "Port", ""},
      {"no such key", "[SMTP]\nServer=s\n", "Port", std::nullopt},
      {"no such section", "[Other]\nPort=1\n", "Port", std::nullopt},
      {"empty text", "", "Port", std::nullopt},
  };
  for (const Lookup& c : cases) {
    EXPECT_EQ(findProfileValue(c.text, "SMTP", c.key), c.expected) << c.what;
  }
}

TEST(ProfileFormat, LinesAreNumberedAsAnEditorShowsThem) {
  struct Expected {
    std::size_t number;
    bool opensSection;
    std::string_view name;
  };
  const std::vector<Expected> expected{{1, false, "Loose"}, {3, true, "SMTP"}, {4, false, "Sever"},
                                       {5, false, "Port"},  {7, false, "Key"}, {8, true, "next"}};
  const std::string text = "Loose\r\n\r\n [ SMTP ] \r\nSever = x\nPort\r\r Key\0junk=1\n[next]"s;
  std::vector<ProfileLine> lines = profileLines(text);
  ASSERT_EQ(lines.size(), expected.size());
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].number, expected[i].number) << i;
    EXPECT_EQ(lines[i].opensSection, expected[i].opensSection) << i;
    EXPECT_EQ(lines[i].name, expected[i].name) << i;
  }
}

TEST(ProfileFormat, IntegersAreTheLeadingSignedDigits) {
  const std::pair<const char*, std::optional<std::int32_t>> cases[] = {
      {"25", 25},           {"+7", 7},          {"-1", -1},
      {"12abc", 12},        {"0x19", 0},        {"4294967321", 25},
      {"x", std::nullopt},  {"", std::nullopt}, {"-", std::nullopt},
      {" 5", std::nullopt},
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(profileInteger(text), value) << text;
}

}  // namespace
}  // namespace larkpost::platform
