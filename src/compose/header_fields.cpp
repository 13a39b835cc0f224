// Formatting of the program-written header fields.
#include "compose/header_fields.h"

#include <algorithm>
#include <cstdio>

namespace larkpost {
namespace {

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

bool isPrintableAscii(unsigned char c) { return c >= 0x20 && c < 0x7F; }

// Characters a display name may hold without quotes (atext and blanks; 8-bit bytes as
// RFC 6532 allows them).
bool isPhraseCharacter(unsigned char c) {
  if (c >= 0x80) return true;
  if (!isPrintableAscii(c)) return false;
  return std::string_view("()<>[]:;@\\,.\"").find(static_cast<char>(c)) ==
         std::string_view::npos;
}

std::string quoted(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + '"';
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

std::string fromField(std::string_view name, std::string_view address) {
  std::string line = "From: ";
  std::string displayName = singleLine(name);
  if (!displayName.empty()) {
    bool plain = std::all_of(displayName.begin(), displayName.end(),
                             [](char c) { return isPhraseCharacter(static_cast<unsigned char>(c)); });
    line += plain ? displayName : quoted(displayName);
    line += ' ';
  }
  line += '<';
  line += singleLine(address);
  line += ">\r\n";
  return line;
}

std::string messageIdField(const platform::LocalTime& time, std::uint32_t processId,
                           std::uint32_t nonce, std::string_view domain) {
  char left[64];
  std::snprintf(left, sizeof left, "%04d%02d%02d%02d%02d%02d.%lu.%08lx", time.year, time.month,
                time.day, time.hour, time.minute, time.second,
                static_cast<unsigned long>(processId), static_cast<unsigned long>(nonce));
  return "Message-ID: <" + std::string(left) + "@" + singleLine(domain) + ">\r\n";
}

std::string attachmentFields(std::string_view name) {
  return "Content-Type: application/octet-stream; " + parameter("name", name) +
         "\r\nContent-Disposition: attachment; " + parameter("filename", name) +
         "\r\nContent-Transfer-Encoding: base64\r\n\r\n";
}

}  // namespace larkpost
