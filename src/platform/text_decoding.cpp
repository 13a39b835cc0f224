// Decoding of text files and command output into UTF-8, the same on every build.
#include "platform/text_decoding.h"

#include <array>

namespace larkpost::platform {
namespace {

constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
constexpr std::string_view kUtf16LittleEndianMark = "\xFF\xFE";
constexpr std::string_view kUtf16BigEndianMark = "\xFE\xFF";

void appendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// The characters of windows-1252's bytes 0x80 to 0x9F; the rest are Latin-1's.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

unsigned char byteAt(std::string_view bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

bool isContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

}  // namespace

std::string utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  auto unitAt = [&](std::size_t i) {
    unsigned first = byteAt(bytes, i);
    unsigned second = byteAt(bytes, i + 1);
    return static_cast<char32_t>(bigEndian ? (first << 8) | second : (second << 8) | first);
  };
  constexpr char32_t kReplacement = 0xFFFD;
  std::string out;
  out.reserve(bytes.size() * 3 / 2);
  const std::size_t units = bytes.size() / 2;
  for (std::size_t u = 0; u < units; ++u) {
    char32_t code = unitAt(2 * u);
    if (code >= 0xD800 && code <= 0xDBFF && u + 1 < units) {
      char32_t low = unitAt(2 * (u + 1));
      if (low >= 0xDC00 && low <= 0xDFFF) {
        code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        ++u;
      }
    }
    if (code >= 0xD800 && code <= 0xDFFF) code = kReplacement;
    appendUtf8(out, code);
  }
  return out;
}

bool isValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    unsigned char lead = byteAt(bytes, i);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    // C0 and C1 could only start overlong forms; F5 and up would pass U+10FFFF.
    if (lead < 0xC2 || lead > 0xF4 || bytes.size() - i < length) return false;
    char32_t code = lead & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      unsigned char next = byteAt(bytes, i + k);
      if (!isContinuation(next)) return false;
      code = (code << 6) | (next & 0x3F);
    }
    bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
    bool surrogate = code >= 0xD800 && code <= 0xDFFF;
    if (overlong || surrogate || code > 0x10FFFF) return false;
    i += length;
  }
  return true;
}

std::string windows1252ToUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() * 3);  // never moved: the text may be a secret
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    appendUtf8(out, byte >= 0x80 && byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte);
  }
  return out;
}

std::string decodeTextFile(std::string_view bytes, LegacyDecoder legacy) {
  if (bytes.starts_with(kUtf16LittleEndianMark)) {
    return utf16ToUtf8(bytes.substr(kUtf16LittleEndianMark.size()), false);
  }
  if (bytes.starts_with(kUtf16BigEndianMark)) {
    return utf16ToUtf8(bytes.substr(kUtf16BigEndianMark.size()), true);
  }
  if (bytes.starts_with(kUtf8Mark)) return std::string(bytes.substr(kUtf8Mark.size()));
  if (isValidUtf8(bytes)) return std::string(bytes);
  return legacy(bytes);
}

std::string decodeCommandOutput(std::string_view bytes, LegacyDecoder legacy) {
  if (bytes.starts_with(kUtf16LittleEndianMark)) {
    return utf16ToUtf8(bytes.substr(kUtf16LittleEndianMark.size()), false);
  }
  // No text in a byte code page has a NUL for its second byte after a printable first.
  if (bytes.size() >= 2 && byteAt(bytes, 0) >= 0x20 && byteAt(bytes, 0) < 0x80 && bytes[1] == '\0') {
    return utf16ToUtf8(bytes, false);
  }
  if (bytes.starts_with(kUtf8Mark)) return std::string(bytes.substr(kUtf8Mark.size()));
  if (isValidUtf8(bytes)) return std::string(bytes);
  return legacy(bytes);
}

std::string_view firstLineOf(std::string_view text) {
  return text.substr(0, text.find_first_of(std::string_view("\r\n\0", 3)));
}

}  // namespace larkpost::platform
