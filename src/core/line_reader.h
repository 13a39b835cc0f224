// LineReader: splits a byte stream into lines without a length limit and in bounded
// memory: a line that fits the buffer comes whole, a longer one in pieces.
#ifndef LARKPOST_CORE_LINE_READER_H_
#define LARKPOST_CORE_LINE_READER_H_

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "core/byte_source.h"

namespace larkpost {

struct LinePiece {
  // The bytes without the LF that ends the line; a CR before that LF stays. A piece
  // that does not end its line never ends in CR, so a CR LF pair is never split.
  std::string_view text;
  bool endsLine = false;  // an LF ended the line here
  bool firstPiece = true;  // the piece begins its line
  bool fullStopEnds = true;  // the reader takes a lone full stop for the message's end
};

// A whole line holding a single full stop (its line end may be CR LF): the end of a
// message, wherever it stands, unless the reader was told otherwise.
inline bool isFullStopLine(const LinePiece& piece) {
  return piece.fullStopEnds && piece.firstPiece && piece.endsLine &&
         (piece.text == "." || piece.text == ".\r");
}

class LineReader {
 public:
  static constexpr std::size_t kDefaultCapacity = 64 * 1024;

  explicit LineReader(ByteSource& source, std::size_t capacity = kDefaultCapacity);

  // The next piece, valid until the next call; std::nullopt at the end of the input or
  // after a read error (see failed()). A last line without LF comes with endsLine false.
  std::optional<LinePiece> next();

  // The piece next() would give, without taking it: the same text, valid until the next
  // call of either.
  std::optional<LinePiece> peek();

  // With false, a line holding a single full stop is a line like any other (isFullStopLine
  // says no): arbitrary text piped in then ends only with the input.
  void setFullStopEndsMessage(bool ends) { fullStopEnds_ = ends; }

  // Reading failed; what came before the failure was delivered.
  bool failed() const { return failed_; }

 private:
  // Moves the unread bytes to the front and reads more; false when nothing more came.
  bool refill();
  // Finds the next piece, reading as needed; `take` says whether to move past it.
  std::optional<LinePiece> locate(bool take);

  ByteSource& source_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool atEnd_ = false;
  bool failed_ = false;
  bool midLine_ = false;
  bool fullStopEnds_ = true;
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_LINE_READER_H_
