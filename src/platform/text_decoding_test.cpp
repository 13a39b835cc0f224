// The decoding rule for settings files, list files and command output.
#include "platform/text_decoding.h"

#include <gtest/gtest.h>

#include <utility>

namespace larkpost::platform {
namespace {

using namespace std::string_literals;  // texts with NUL bytes in them

// Marks what went through the legacy code page, whatever that is.
std::string legacyMarked(std::string_view bytes) { return "legacy:" + std::string(bytes); }

TEST(TextDecoding, FilesAreUtf16Utf8OrLegacyByTheirBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xEF\xBB\xBF[SMTP]\r\n", "[SMTP]\r\n"},
      {"\xEF\xBB\xBFj\xFCrgen", "j\xFCrgen"},  // a UTF-8 mark is trusted
      {"\xFF\xFE[\0S\0\r\0\n\0"s, "[S\r\n"},
      {"\xFE\xFF\0[\0S\0\r\0\n"s, "[S\r\n"},
      {"\xFF\xFE\xF6\0\x03\x20\0\0"s, "\xC3\xB6\xE2\x80\x83\0"s},  // ö, em space, NUL
      {"\xFF\xFE\x3D\xD8\x00\xDE"s, "\xF0\x9F\x98\x80"},           // a surrogate pair
      {"\xFF\xFE\x3D\xD8=\0"s, "\xEF\xBF\xBD="},                   // an unpaired one
      {"\xFF\xFEP\0o"s, "P"},                                      // an odd last byte
      {"\xFF\xFE\x1A\0x\0"s, "\x1Ax"},                             // Ctrl-Z is a character
      {"Zo\xC3\xAB \xE6\x97\xA5", "Zo\xC3\xAB \xE6\x97\xA5"},      // valid UTF-8, no mark
      {"[\0S\0"s, "[\0S\0"s},  // UTF-16 without a mark is read as bytes
      {"Zo\xEB", "legacy:Zo\xEB"},
      {"\xEF\xBB[S]", "legacy:\xEF\xBB[S]"},  // half a mark
      {"\xFF", "legacy:\xFF"},
      {"", ""},
  };
  for (const auto& [bytes, text] : cases) {
    EXPECT_EQ(decodeTextFile(bytes, legacyMarked), text) << bytes;
  }
}

TEST(TextDecoding, OnlyWellFormedUtf8IsValid) {
  const std::pair<std::string, bool> cases[] = {
      {"plain", true},           {"\xC3\xBC", true},         {"\xE6\x97\xA5", true},
      {"\xF0\x9F\x98\x80", true}, {"\xF4\x8F\xBF\xBF", true}, {"\xEF\xBB\xBF", true},
      {"\xFC", false},           {"\xC3", false},            {"\xC3x", false},
      {"\xC0\xAF", false},       {"\xE0\x80\xAF", false},    {"\xF0\x80\x80\xAF", false},
      {"\xED\xA0\x80", false},   {"\xF4\x90\x80\x80", false}, {"\xF5\x80\x80\x80", false},
      {"\x80", false},           {"\xE6\x97", false},        {"ok\xE6\x97\xA5\xE6", false},
  };
  for (const auto& [bytes, valid] : cases) EXPECT_EQ(isValidUtf8(bytes), valid) << bytes;
}

TEST(TextDecoding, Windows1252CoversEveryByte) {
  EXPECT_EQ(windows1252ToUtf8("j\xFCrgen \x80 \x9F \xA0"), "j\xC3\xBCrgen \xE2\x82\xAC \xC5\xB8 \xC2\xA0");
  EXPECT_EQ(windows1252ToUtf8("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
  std::string every;
  for (int byte = 0; byte < 256; ++byte) every += static_cast<char>(byte);
  EXPECT_TRUE(isValidUtf8(windows1252ToUtf8(every)));
}

TEST(TextDecoding, CommandOutputInEachEncodingGivesOneLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"s\0e\0c\0r\0e\0t\0\r\0\n\0"s, "secret"},            // cmd /u
      {"\xFF\xFEp\0\xE4\0\x41\x01\xE5\x65\r\0\n\0"s, "p\xC3\xA4\xC5\x81\xE6\x97\xA5"},
      {"p\xC3\xA4ss\r\nsecond\r\n", "p\xC3\xA4ss"},
      {"\xEF\xBB\xBFp\xC3\xA4ss\n", "p\xC3\xA4ss"},
      {"p\xE4ss\r\n", "legacy:p\xE4ss"},
      {"pa\rss\n", "pa"},  // a CR never ends up in a secret
      {"pa\0ss\n"s, "pa"},  // nor a NUL
      {"\r\n", ""},
      {"", ""},
  };
  for (const auto& [bytes, line] : cases) {
    EXPECT_EQ(firstLineOf(decodeCommandOutput(bytes, legacyMarked)), line) << bytes;
  }
}

}  // namespace
}  // namespace larkpost::platform
