// Line-end normalising and dot-stuffing of the message data.
#include "compose/data_writer.h"

namespace larkpost {

void DataWriter::writeSegment(std::string_view segment) {
  if (segment.empty()) return;
  if (atLineStart_ && segment.front() == '.') sink_.sendText(".");
  sink_.sendText(segment);
  atLineStart_ = false;
}

void DataWriter::endWireLine() {
  sink_.sendText("\r\n");
  atLineStart_ = true;
}

void DataWriter::writeLinePiece(std::string_view text, bool endsLine) {
  if (endsLine && !text.empty() && text.back() == '\r') text.remove_suffix(1);
  for (std::size_t cr; (cr = text.find('\r')) != std::string_view::npos;) {
    writeSegment(text.substr(0, cr));
    endWireLine();
    text.remove_prefix(cr + 1);
  }
  writeSegment(text);
  if (endsLine) endWireLine();
}

void DataWriter::writeText(std::string_view text) {
  for (std::size_t lf; (lf = text.find('\n')) != std::string_view::npos;) {
    writeLinePiece(text.substr(0, lf), true);
    text.remove_prefix(lf + 1);
  }
  writeLinePiece(text, false);
}

void DataWriter::writeWireText(std::string_view text) {
  if (text.empty()) return;
  sink_.sendText(text);
  atLineStart_ = text.back() == '\n';
}

void DataWriter::finishLine() {
  if (!atLineStart_) endWireLine();
}

}  // namespace larkpost
