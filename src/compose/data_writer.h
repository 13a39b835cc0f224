// DataWriter: lays out the message data on the wire. Every line ends in CR LF whatever
// line end it came with, no bare CR or LF goes out, and a line that begins with a full
// stop gets one more in front (RFC 5321 4.5.2), so the data can never end early.
#ifndef LARKPOST_COMPOSE_DATA_WRITER_H_
#define LARKPOST_COMPOSE_DATA_WRITER_H_

#include <string_view>

#include "core/text_sink.h"

namespace larkpost {

class DataWriter {
 public:
  explicit DataWriter(TextSink& sink) : sink_(sink) {}

  // Part of a line; `endsLine` ends it (a CR left at its end belongs to the line end).
  // A CR inside the text ends a line on the wire.
  void writeLinePiece(std::string_view text, bool endsLine);

  // Text made of whole lines, each ended by LF or CR LF.
  void writeText(std::string_view text);

  // Text already laid out for the wire: CR LF line ends only and no line beginning
  // with a full stop. Used for the attachment's base64 lines.
  void writeWireText(std::string_view text);

  // Ends a line that the input left open.
  void finishLine();

  // Nothing is pending on the current wire line.
  bool atLineStart() const { return atLineStart_; }

 private:
  void writeSegment(std::string_view segment);
  void endWireLine();

  TextSink& sink_;
  bool atLineStart_ = true;
};

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_DATA_WRITER_H_
