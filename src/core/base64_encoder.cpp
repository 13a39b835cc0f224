// Base64 by table lookup: each 3-byte group is two 12-bit halves, and a table of the
// 4096 character pairs turns each half into two characters at once.
#include "core/base64_encoder.h"

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

// Writes one group of 3 bytes as 4 characters.
char* encodeGroup(const unsigned char* in, char* out) {
  std::uint32_t group = (std::uint32_t{in[0]} << 16) | (std::uint32_t{in[1]} << 8) | in[2];
  std::memcpy(out, &kPairs[2 * (group >> 12)], 2);
  std::memcpy(out + 2, &kPairs[2 * (group & 0xFFF)], 2);
  return out + 4;
}

// Writes the last group of 1 or 2 bytes, padded.
char* encodeTail(const unsigned char* in, std::size_t count, char* out) {
  unsigned b0 = in[0];
  unsigned b1 = count == 2 ? in[1] : 0;
  out[0] = kAlphabet[b0 >> 2];
  out[1] = kAlphabet[((b0 & 3) << 4) | (b1 >> 4)];
  out[2] = count == 2 ? kAlphabet[(b1 & 15) << 2] : '=';
  out[3] = '=';
  return out + 4;
}

}  // namespace

std::size_t Base64Encoder::linesSize(std::size_t bytes) {
  std::size_t groups = (bytes + 2) / 3;
  return groups * 4 + groups / kGroupsPerLine * 2;
}

char* Base64Encoder::encodeLines(std::string_view bytes, char* out) {
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  for (; left >= kBytesPerLine; left -= kBytesPerLine) {
    for (std::size_t group = 0; group < kGroupsPerLine; ++group, in += 3) out = encodeGroup(in, out);
    *out++ = '\r';
    *out++ = '\n';
  }
  std::size_t groups = (left + 2) / 3;
  for (; left >= 3; left -= 3, in += 3) out = encodeGroup(in, out);
  if (left > 0) out = encodeTail(in, left, out);
  // A line ends after its 18th group; a shorter last line is left open for the final
  // line break.
  if (groups == kGroupsPerLine) {
    *out++ = '\r';
    *out++ = '\n';
  }
  return out;
}

bool Base64Encoder::encodeFile(ByteSource& file, TextSink& out) {
  constexpr std::size_t kLinesPerBlock = 2048;
  std::vector<char> input(kBytesPerLine * kLinesPerBlock);
  std::vector<char> text(linesSize(input.size()) + 2);
  for (;;) {
    std::ptrdiff_t got = readFully(file, input);
    if (got < 0) return false;
    char* end = encodeLines({input.data(), static_cast<std::size_t>(got)}, text.data());
    bool last = static_cast<std::size_t>(got) < input.size();
    if (last) {
      *end++ = '\r';
      *end++ = '\n';
    }
    out.sendText({text.data(), static_cast<std::size_t>(end - text.data())});
    if (last) return true;
  }
}

std::string Base64Encoder::encodeUnbroken(std::string_view bytes) {
  std::string text((bytes.size() + 2) / 3 * 4, '\0');
  const auto* in = reinterpret_cast<const unsigned char*>(bytes.data());
  char* out = text.data();
  std::size_t left = bytes.size();
  for (; left >= 3; left -= 3, in += 3) out = encodeGroup(in, out);
  if (left > 0) encodeTail(in, left, out);
  return text;
}

std::string Base64Encoder::encode(std::string_view bytes) {
  std::string text(linesSize(bytes.size()), '\0');
  encodeLines(bytes, text.data());
  return text + "\r\n";
}

}  // namespace larkpost
