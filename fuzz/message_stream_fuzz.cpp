// Fuzzes the message stream's line handling: input bytes in, wire bytes out. Nothing on
// the wire is a bare CR or LF, no line can end the data early, and the body arrives
// whole: unstuffed, it is the input with its line ends made CR LF, up to a line holding
// a single full stop.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "compose/message_stream.h"
#include "testing/fakes.h"

namespace {

// What the body must look like on the wire, worked out line by line without the
// program's reader or writer.
std::string expectedWire(const std::string& input) {
  std::string wire;
  std::size_t start = 0;
  while (start < input.size()) {
    std::size_t lf = input.find('\n', start);
    bool endsLine = lf != std::string::npos;
    std::string line = input.substr(start, endsLine ? lf - start : std::string::npos);
    start = endsLine ? lf + 1 : input.size();
    if (endsLine && !line.empty() && line.back() == '\r') line.pop_back();
    if (endsLine && line == ".") break;
    std::size_t segmentStart = 0;
    for (;;) {
      std::size_t cr = line.find('\r', segmentStart);
      std::string segment = line.substr(segmentStart, cr == std::string::npos ? cr : cr - segmentStart);
      bool last = cr == std::string::npos;
      if (!last || endsLine || !segment.empty()) {
        wire += (segment.starts_with(".") ? "." : "") + segment + "\r\n";
      }
      if (last) break;
      segmentStart = cr + 1;
    }
  }
  return wire;
}

void checkWire(const std::string& wire) {
  for (std::size_t i = 0; i < wire.size(); ++i) {
    if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) std::abort();
    if (wire[i] == '\r' && (i + 1 == wire.size() || wire[i + 1] != '\n')) std::abort();
  }
  if (!wire.empty() && !wire.ends_with("\r\n")) std::abort();
  if (wire.starts_with(".\r\n") || wire.find("\r\n.\r\n") != std::string::npos) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  std::size_t capacity = data[0] % 64 + 2;
  larkpost::JobSettings settings;
  settings.emitHeader = (data[1] & 1) != 0;
  settings.parseHeader = settings.emitHeader && (data[1] & 2) != 0;
  std::size_t subjectLength = settings.emitHeader ? data[1] >> 2 : 0;
  std::string rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  settings.subject = rest.substr(0, subjectLength);
  std::string input = rest.substr(std::min(subjectLength, rest.size()));

  larkpost::testing::StringSource source(input, 5);
  larkpost::LineReader reader(source, capacity);
  larkpost::HeaderScan scan;
  larkpost::MessageFrame frame{nullptr, larkpost::HeaderEnd::kEmptyLine,
                               "Date: Mon, 07 Dec 2026 10:00:00 +0000\r\n",
                               "Message-ID: <x@example.com>\r\n", "dividerXYZ"};
  if (larkpost::readsHeaderAhead(settings)) {
    scan = larkpost::scanHeader(reader, true);
    frame.inputHeader = &scan.header;
    frame.headerEnd = scan.end;
  }
  larkpost::testing::StringSink sink;
  larkpost::DataWriter writer(sink);
  larkpost::sendMessageStream(settings, frame, reader, writer);
  const std::string& wire = sink.text();
  checkWire(wire);
  if (settings.parseHeader) return 0;  // the scan took part of the input: checked apart
  std::string body = wire;
  if (settings.emitHeader) {
    std::size_t end = wire.find("\r\n\r\n");
    if (end == std::string::npos) std::abort();
    for (std::size_t at = 0, next; at < end + 2; at = next + 2) {
      next = wire.find("\r\n", at);
      if (next - at > 998) std::abort();  // program-written lines stay within RFC 5322
    }
    body = wire.substr(end + 4);
  }
  if (body != expectedWire(input)) std::abort();
  return 0;
}
