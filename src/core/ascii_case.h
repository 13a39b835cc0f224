// Letter case in the protocol's own words (keywords, setting values, option letters):
// basic Latin only, whatever the locale, so "i" never becomes a dotted capital.
#ifndef LARKPOST_CORE_ASCII_CASE_H_
#define LARKPOST_CORE_ASCII_CASE_H_

#include <string>
#include <string_view>

namespace larkpost {

inline char lowerLetter(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

inline std::string lowerCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = lowerLetter(c);
  return out;
}

inline std::string upperCased(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return out;
}

}  // namespace larkpost

#endif  // LARKPOST_CORE_ASCII_CASE_H_
