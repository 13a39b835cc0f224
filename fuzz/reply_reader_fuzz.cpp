// Fuzzes the reply reader: any bytes from a server, in any chunks, give whole replies
// within their bounds, and a reply judged well-formed really is one.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "smtp/reply_reader.h"
#include "testing/fakes.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte chooses how the bytes arrive: all at once or in small chunks.
  std::size_t chunk = data[0] % 16 + 1;
  std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  larkpost::testing::FakeSocket socket;
  for (std::size_t at = 0; at < bytes.size(); at += chunk) socket.arrive(bytes.substr(at, chunk));
  larkpost::ReplyReader reader(socket);
  for (;;) {
    larkpost::ReplyResult result = reader.read(0);
    if (result.status != larkpost::ReplyStatus::kComplete) break;
    const auto& lines = result.reply.lines;
    if (lines.empty() || lines.size() > larkpost::ReplyReader::kMaxReplyLines) std::abort();
    for (const std::string& line : lines) {
      if (line.find('\n') != std::string::npos) std::abort();
    }
    if (result.reply.wellFormed()) {
      for (const std::string& line : lines) {
        if (line.compare(0, 3, lines.front(), 0, 3) != 0) std::abort();
      }
      // A reply ends at a line that does not say more follows.
      if (lines.back().size() > 3 && lines.back()[3] == '-') std::abort();
    }
    if (result.reply.accepted() && result.reply.first() != '2') std::abort();
  }
  return 0;
}
