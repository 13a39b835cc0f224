// Formatting of the program-written header fields. Text goes into a header as it is when
// it can; folded at blanks when it is long; as encoded words when it holds bytes a
// header cannot carry plainly, or a word too long for any line.
#include "compose/header_fields.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "core/base64_encoder.h"

namespace larkpost {
namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::string_view kFallbackDomain = "localhost.localdomain";

// An encoded word this long still fits after "Subject: " on a 78-character line.
constexpr std::size_t kLongestEncodedWord = 68;
constexpr std::string_view kWordStart = "=?utf-8?";
constexpr std::string_view kWordEnd = "?=";

bool isPrintableAscii(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool isBlank(char c) { return c == ' ' || c == '\t'; }

bool isAlphanumeric(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// RFC 5322 atext.
bool isAtomCharacter(char c) {
  return isAlphanumeric(c) || std::string_view("!#$%&'*+-/=?^_`{|}~").find(c) != std::string_view::npos;
}

// Characters a display name may hold without quotes (atext and blanks).
bool isPhraseCharacter(char c) { return isAtomCharacter(c) || isBlank(c); }

// Text that can go into a header as it is: printable ASCII and blanks, and no word so
// long that a line could not hold it.
bool isPlainHeaderText(std::string_view text, std::size_t room) {
  std::size_t word = 0;
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (isBlank(c)) {
      word = 0;
      continue;
    }
    if (!isPrintableAscii(byte) || ++word > room) return false;
  }
  // Text that reads like an encoded word would be decoded by readers: encode it instead.
  return text.find("=?") == std::string_view::npos;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
}

// Q encoding restricted to the characters RFC 2047 (5.3) allows in a phrase, which are
// safe in unstructured text too.
std::string qEncoded(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (c == ' ') {
      out += '_';
    } else if (isAlphanumeric(c) || std::string_view("!*+-/").find(c) != std::string_view::npos) {
      out += c;
    } else {
      out += '=';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::size_t encodedLength(std::string_view bytes, bool base64) {
  return base64 ? (bytes.size() + 2) / 3 * 4 : qEncoded(bytes).size();
}

std::string encodedWord(std::string_view bytes, bool base64) {
  std::string word(kWordStart);
  word += base64 ? "B?" : "Q?";
  word += base64 ? Base64Encoder::encodeUnbroken(bytes) : qEncoded(bytes);
  word += kWordEnd;
  return word;
}

bool isUtf8Continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

// Splits `text` into pieces whose encoded words fit kLongestEncodedWord, each ending on
// a character boundary.
std::vector<std::string_view> encodedPieces(std::string_view text, bool base64) {
  const std::size_t room = kLongestEncodedWord - kWordStart.size() - 2 - kWordEnd.size();
  std::vector<std::string_view> pieces;
  while (!text.empty()) {
    std::size_t take = 0;
    for (std::size_t next = 1; next <= text.size(); ++next) {
      if (next < text.size() && isUtf8Continuation(text[next])) continue;
      if (encodedLength(text.substr(0, next), base64) > room) break;
      take = next;
    }
    if (take == 0) take = 1;  // a lone byte always fits; never loop for ever
    pieces.push_back(text.substr(0, take));
    text.remove_prefix(take);
  }
  return pieces;
}

std::string joinedWords(std::string_view text, bool base64) {
  std::string out;
  for (std::string_view piece : encodedPieces(text, base64)) {
    if (!out.empty()) out += ' ';
    out += encodedWord(piece, base64);
  }
  return out;
}

// RFC 2231 extended value: charset, empty language, and percent-encoded octets.
std::string extendedValue(std::string_view text) {
  static constexpr std::string_view kAttributeChars =
      "!#$&+-.^_`|~ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out = "utf-8''";
  for (char c : text) {
    if (kAttributeChars.find(c) != std::string_view::npos) {
      out += c;
    } else {
      char escape[4];
      std::snprintf(escape, sizeof escape, "%%%02X", static_cast<unsigned char>(c));
      out += escape;
    }
  }
  return out;
}

std::string parameter(std::string_view attribute, std::string_view value) {
  bool plain = std::all_of(value.begin(), value.end(),
                           [](char c) { return isPrintableAscii(static_cast<unsigned char>(c)); });
  if (plain) return std::string(attribute) + "=" + quoted(value);
  return std::string(attribute) + "*=" + extendedValue(value);
}

}  // namespace

std::string singleLine(std::string_view text) {
  std::string line(text);
  std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  return line;
}

std::string foldField(std::string_view field) {
  // Units of leading blanks and a word; a fold may come before any unit but the first,
  // and blanks at the very end stay with the last word.
  std::vector<std::string_view> units;
  std::size_t start = 0;
  while (start < field.size()) {
    std::size_t word = start;
    while (word < field.size() && isBlank(field[word])) ++word;
    std::size_t end = word;
    while (end < field.size() && !isBlank(field[end])) ++end;
    if (end == field.size()) {
      units.push_back(field.substr(start));
      break;
    }
    units.push_back(field.substr(start, end - start));
    start = end;
  }
  std::string out;
  std::size_t lineLength = 0;
  for (std::string_view unit : units) {
    bool folds = lineLength > 0 && lineLength + unit.size() > kFoldedLineLength &&
                 unit.find_first_not_of(" \t") != std::string_view::npos;
    if (folds) {
      out += "\r\n";
      lineLength = 0;
    }
    out += unit;
    lineLength += unit.size();
  }
  return out + "\r\n";
}

std::string encodedWords(std::string_view text) {
  bool base64 = encodedLength(text, true) < encodedLength(text, false);
  return joinedWords(text, base64);
}

bool isDotAtom(std::string_view text) {
  if (text.empty() || text.front() == '.' || text.back() == '.') return false;
  if (text.find("..") != std::string_view::npos) return false;
  return std::all_of(text.begin(), text.end(), [](char c) { return c == '.' || isAtomCharacter(c); });
}

std::string headerDomain(std::string_view domain) {
  return std::string(isDotAtom(domain) ? domain : kFallbackDomain);
}

std::string dateField(const platform::LocalTime& time) {
  int offset = time.utcOffsetMinutes;
  char sign = offset < 0 ? '-' : '+';
  offset = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "Date: %s, %02d %s %04d %02d:%02d:%02d %c%02d%02d\r\n",
                kWeekdays[time.weekday % 7], time.day, kMonths[(time.month + 11) % 12], time.year,
                time.hour, time.minute, time.second, sign, offset / 60, offset % 60);
  return text;
}

std::string fromField(std::string_view name, std::string_view address, std::string_view domain) {
  std::string line = "From: ";
  std::string displayName = singleLine(name);
  if (!displayName.empty()) {
    if (!isPlainHeaderText(displayName, kFoldedLineLength)) {
      line += encodedWords(displayName);
    } else if (std::all_of(displayName.begin(), displayName.end(), isPhraseCharacter)) {
      line += displayName;
    } else {
      line += quoted(displayName);
    }
    line += ' ';
  }
  line += '<';
  // The null sender has no address to show; a From field must name one.
  line += address.empty() ? "MAILER-DAEMON@" + headerDomain(domain) : singleLine(address);
  line += '>';
  return foldField(line);
}

std::string subjectField(std::string_view subject) {
  std::string text = singleLine(subject);
  constexpr std::string_view kName = "Subject: ";
  if (isPlainHeaderText(text, kLongestHeaderLine - kName.size())) {
    return foldField(std::string(kName) + text);
  }
  return foldField(std::string(kName) + encodedWords(text));
}

std::string messageIdField(const platform::LocalTime& time, std::uint32_t processId,
                           std::uint32_t nonce, std::string_view domain) {
  char left[64];
  std::snprintf(left, sizeof left, "%04d%02d%02d%02d%02d%02d.%lu.%08lx", time.year, time.month,
                time.day, time.hour, time.minute, time.second,
                static_cast<unsigned long>(processId), static_cast<unsigned long>(nonce));
  return "Message-ID: <" + std::string(left) + "@" + headerDomain(domain) + ">\r\n";
}

bool isCharsetName(std::string_view text) {
  static constexpr std::string_view kTspecials = "()<>@,;:\\\"/[]?=";
  auto isTokenCharacter = [](char c) {
    return c > ' ' && c < 0x7F && kTspecials.find(c) == std::string_view::npos;
  };
  return !text.empty() && text.size() <= kLongestCharsetName &&
         std::all_of(text.begin(), text.end(), isTokenCharacter);
}

std::string textContentTypeField(bool html, std::string_view charset) {
  return foldField(std::string("Content-Type: ") + (html ? "text/html" : "text/plain") + "; " +
                   parameter("charset", charset));
}

std::string attachmentFields(std::string_view name) {
  return foldField("Content-Type: application/octet-stream; " + parameter("name", name)) +
         foldField("Content-Disposition: attachment; " + parameter("filename", name)) +
         "Content-Transfer-Encoding: base64\r\n\r\n";
}

}  // namespace larkpost
