// Line splitting: whole lines when they fit, pieces when they do not, nothing lost.
#include "core/line_reader.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

struct Piece {
  std::string text;
  bool endsLine;
  bool firstPiece;
  bool operator==(const Piece&) const = default;
};

std::vector<Piece> readAll(LineReader& reader) {
  std::vector<Piece> pieces;
  while (auto piece = reader.next()) {
    pieces.push_back({std::string(piece->text), piece->endsLine, piece->firstPiece});
  }
  return pieces;
}

TEST(LineReader, SplitsLinesAcrossReads) {
  testing::StringSource source("one\r\ntwo\n\nlast", 3);
  LineReader reader(source, 16);
  EXPECT_EQ(readAll(reader), (std::vector<Piece>{{"one\r", true, true},
                                                 {"two", true, true},
                                                 {"", true, true},
                                                 {"last", false, true}}));
  EXPECT_FALSE(reader.failed());
}

TEST(LineReader, GivesLongLinesInPiecesWithoutSplittingCrLf) {
  testing::StringSource source("abcdefg\r\nxy\n");
  LineReader reader(source, 8);
  EXPECT_EQ(readAll(reader), (std::vector<Piece>{{"abcdefg", false, true},
                                                 {"\r", true, false},
                                                 {"xy", true, true}}));
}

TEST(LineReader, KeepsNulBytesAndReportsReadFailure) {
  testing::StringSource source(std::string("a\0b\nrest", 8), 1 << 20, /*failAtEnd=*/true);
  LineReader reader(source);
  EXPECT_EQ(readAll(reader), (std::vector<Piece>{{std::string("a\0b", 3), true, true},
                                                 {"rest", false, true}}));
  EXPECT_TRUE(reader.failed());
}

}  // namespace
}  // namespace larkpost
