// Base64Encoder: bytes in base64 (RFC 2045): attachments 72 characters a line, encoded
// words and SASL messages as one run.
#ifndef LARKPOST_CORE_BASE64_ENCODER_H_
#define LARKPOST_CORE_BASE64_ENCODER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "core/byte_source.h"
#include "core/text_sink.h"

namespace larkpost {

class Base64Encoder {
 public:
  static constexpr std::size_t kGroupsPerLine = 18;
  static constexpr std::size_t kBytesPerLine = kGroupsPerLine * 3;

  // Encodes everything `file` holds: lines of 18 groups (72 characters) each ended by
  // CR LF, then one more CR LF, so a text whose groups fill their last line ends with an
  // empty line. The text is wire-ready (CR LF ends, no line begins with a full stop), so
  // it goes to `out` as it is. False when reading failed; the text is then incomplete.
  static bool encodeFile(ByteSource& file, TextSink& out);

  // The same layout for bytes in memory.
  static std::string encode(std::string_view bytes);

  // Bytes in memory as one run of base64, without line breaks (encoded words, SASL).
  static std::string encodeUnbroken(std::string_view bytes);

 private:
  // Size of the text for `bytes` bytes without the final line break.
  static std::size_t linesSize(std::size_t bytes);
  // Writes `bytes` as whole lines, the last one left open when it is short; returns the
  // end of what was written.
  static char* encodeLines(std::string_view bytes, char* out);
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_BASE64_ENCODER_H_
