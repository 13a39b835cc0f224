// Base64 by table lookup: each 3-byte group is two 12-bit halves, and a table of the
// 4096 character pairs turns each half into two characters at once.
#include "compose/base64_encoder.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace larkpost {
namespace {

constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<char, 8192> makePairTable() {
  std::array<char, 8192> table{};
  for (std::size_t i = 0; i < 4096; ++i) {
    table[2 * i] = kAlphabet[i >> 6];
    table[2 * i + 1] = kAlphabet[i & 63];
  }
  return table;
}
constexpr std::array<char, 8192> kPairs = makePairTable();

// Reads until `buffer` is full or the input ends; -1 on a read error.
std::ptrdiff_t readFully(ByteSource& file, std::span<char> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    std::ptrdiff_t got = file.read(buffer.subspan(filled));
    if (got < 0) return -1;
    if (got == 0) break;
    filled += static_cast<std::size_t>(got);
  }
  return static_cast<std::ptrdiff_t>(filled);
}

}  // namespace

void Base64Encoder::appendGroups(std::string_view bytes, std::string& out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t whole = bytes.size() / 3 * 3;
  std::size_t at = out.size();
  out.resize(at + (bytes.size() + 2) / 3 * 4);
  char* dest = out.data() + at;
  for (std::size_t i = 0; i < whole; i += 3, dest += 4) {
    std::uint32_t group = (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    std::memcpy(dest, &kPairs[2 * (group >> 12)], 2);
    std::memcpy(dest + 2, &kPairs[2 * (group & 0xFFF)], 2);
  }
  std::size_t tail = bytes.size() - whole;
  if (tail == 0) return;
  unsigned b0 = in[whole];
  unsigned b1 = tail == 2 ? in[whole + 1] : 0;
  dest[0] = kAlphabet[b0 >> 2];
  dest[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
  dest[2] = tail == 2 ? kAlphabet[(b1 & 15) << 2] : '=';
  dest[3] = '=';
}

bool Base64Encoder::encodeFile(ByteSource& file, DataWriter& out) {
  constexpr std::size_t kLinesPerBlock = 1024;
  std::vector<char> input(kBytesPerLine * kLinesPerBlock);
  std::string text;
  text.reserve(kLinesPerBlock * (kGroupsPerLine * 4 + 2) + 2);
  for (;;) {
    std::ptrdiff_t got = readFully(file, input);
    if (got < 0) return false;
    std::string_view block(input.data(), static_cast<std::size_t>(got));
    text.clear();
    appendLines(block, text);
    bool last = static_cast<std::size_t>(got) < input.size();
    if (last) text += "\r\n";
    out.writeWireText(text);
    if (last) return true;
  }
}

void Base64Encoder::appendLines(std::string_view bytes, std::string& out) {
  while (!bytes.empty()) {
    std::string_view line = bytes.substr(0, kBytesPerLine);
    appendGroups(line, out);
    // A line ends after its 18th group; a shorter last line is left open for the
    // final line break.
    if (line.size() > kBytesPerLine - 3) out += "\r\n";
    bytes.remove_prefix(line.size());
  }
}

std::string Base64Encoder::encode(std::string_view bytes) {
  std::string text;
  appendLines(bytes, text);
  return text + "\r\n";
}

}  // namespace larkpost
