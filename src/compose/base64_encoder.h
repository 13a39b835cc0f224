// Base64Encoder: the attachment's content in base64 (RFC 2045), 72 characters a line.
#ifndef LARKPOST_COMPOSE_BASE64_ENCODER_H_
#define LARKPOST_COMPOSE_BASE64_ENCODER_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "compose/byte_source.h"
#include "compose/data_writer.h"

namespace larkpost {

class Base64Encoder {
 public:
  static constexpr std::size_t kGroupsPerLine = 18;
  static constexpr std::size_t kBytesPerLine = kGroupsPerLine * 3;

  // Encodes everything `file` holds: lines of 18 groups (72 characters) each ended by
  // CR LF, then one more CR LF, so a text whose groups fill their last line ends with an
  // empty line. False when reading failed; the text is then incomplete.
  static bool encodeFile(ByteSource& file, DataWriter& out);

  // The same layout for bytes in memory.
  static std::string encode(std::string_view bytes);

 private:
  // Appends `bytes` as whole lines, the last one left open when it is short.
  static void appendLines(std::string_view bytes, std::string& out);
  // Appends the groups of `bytes` (at most one line's worth) to `out`.
  static void appendGroups(std::string_view bytes, std::string& out);
};

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_BASE64_ENCODER_H_
