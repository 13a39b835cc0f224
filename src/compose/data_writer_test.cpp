// The wire layout of message data: CR LF line ends and dot-stuffing.
#include "compose/data_writer.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

std::string wire(std::string_view text) {
  testing::StringSink sink;
  DataWriter writer(sink);
  writer.writeText(text);
  writer.finishLine();
  return sink.text();
}

TEST(DataWriter, NormalisesLineEndsAndStuffsDots) {
  struct Case {
    std::string_view input;
    std::string_view output;
  };
  const Case cases[] = {
      {"a\nb\n", "a\r\nb\r\n"},
      {"a\r\nb\r\n", "a\r\nb\r\n"},
      {"last line open", "last line open\r\n"},
      {"bare\rcr\n", "bare\r\ncr\r\n"},
      {"a\r\r\nb", "a\r\n\r\nb\r\n"},
      {".\n", "..\r\n"},
      {"..x\n.\r\n", "...x\r\n..\r\n"},
      {"x\r.\n", "x\r\n..\r\n"},  // a bare CR ends the line, so the dot is stuffed
      {"a.b\n", "a.b\r\n"},
      {std::string_view("n\0ul\n", 5), std::string_view("n\0ul\r\n", 6)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(wire(c.input), c.output) << c.input;
  }
}

TEST(DataWriter, PiecesOfOneLineAreStuffedOnlyAtItsStart) {
  testing::StringSink sink;
  DataWriter writer(sink);
  writer.writeLinePiece(".start", false);
  EXPECT_FALSE(writer.atLineStart());
  writer.writeLinePiece(".middle", false);
  writer.writeLinePiece(".end\r", true);
  EXPECT_TRUE(writer.atLineStart());
  EXPECT_EQ(sink.text(), "..start.middle.end\r\n");
}

}  // namespace
}  // namespace larkpost
