// Line splitting for standard input, shared by the header scan and the body relay.
#include "core/line_reader.h"

#include <cstring>

namespace larkpost {

// Room for ".\r\n" at least, so a line holding a single full stop always comes whole.
LineReader::LineReader(ByteSource& source, std::size_t capacity)
    : source_(source), buffer_(capacity < 3 ? 3 : capacity) {}

bool LineReader::refill() {
  if (atEnd_) return false;
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  std::ptrdiff_t got = source_.read(std::span<char>(buffer_).subspan(end_));
  if (got <= 0) {
    atEnd_ = true;
    failed_ = got < 0;
    return false;
  }
  end_ += static_cast<std::size_t>(got);
  return true;
}

std::optional<LinePiece> LineReader::next() { return locate(true); }

std::optional<LinePiece> LineReader::peek() { return locate(false); }

std::optional<LinePiece> LineReader::locate(bool take) {
  for (;;) {
    const char* start = buffer_.data() + begin_;
    std::size_t available = end_ - begin_;
    if (const void* lf = std::memchr(start, '\n', available)) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
      LinePiece piece{{start, length}, true, !midLine_, fullStopEnds_};
      if (take) {
        begin_ += length + 1;
        midLine_ = false;
      }
      return piece;
    }
    bool full = begin_ == 0 && end_ == buffer_.size();
    if (full || !refill()) {
      if (end_ == begin_) return std::nullopt;
      std::size_t length = end_ - begin_;
      // Keep a last CR back while the line goes on: its LF may be the next byte.
      if (full && buffer_[end_ - 1] == '\r') --length;
      LinePiece piece{{buffer_.data() + begin_, length}, false, !midLine_, fullStopEnds_};
      if (take) {
        begin_ += length;
        midLine_ = full;
      }
      return piece;
    }
  }
}

}  // namespace larkpost
