// The profile (INI) file format as the Windows profile functions read it, so that the
// POSIX build takes the same settings from a file as the Windows build. Pure text work:
// no file or OS access.
#ifndef LARKPOST_PLATFORM_PROFILE_FORMAT_H_
#define LARKPOST_PLATFORM_PROFILE_FORMAT_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkpost::platform {

// The value of `key` in `section` of a profile's text (decoded: see text_decoding.h), or std::nullopt when it has none.
//
// Lines end at any run of CR and LF. Blanks (tab, LF, VT, FF, CR, Ctrl-Z and space) are
// trimmed from both ends of a line, of a name and of a value. A line that begins with
// '[' and holds a ']' opens the section named between the '[' and the last ']'; a
// line with '=' is a key with its value; any other line is a key without a value. There
// are no comments, inline or otherwise, and no continuation lines: a line beginning
// with ';' is merely a key nobody asks for. Section and key names match in any basic
// Latin letter case, and each ends at a NUL byte, as does a value. Only the first
// section of a name is searched, and the first key of a name in it counts: a key
// without a value then gives std::nullopt. One pair of matching surrounding quotes
// (" or ') is removed from the value.
std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key);

// One section header or key line of a profile's text, for telling the user about names
// nobody reads. The views point into the text given.
struct ProfileLine {
  std::size_t number = 0;     // counted from 1; CR LF, a lone CR and a lone LF each end one
  bool opensSection = false;  // a section header: `name` is the section's name
  std::string_view name;      // the section's name, or the key's, trimmed, up to any NUL
};

// Every section header and key line, in order, read as findProfileValue reads them.
std::vector<ProfileLine> profileLines(std::string_view text);

// A value read as an integer: an optional sign and the digits that follow, up to the
// first other character, wrapping modulo 2^32. std::nullopt when no digit follows.
std::optional<std::int32_t> profileInteger(std::string_view value);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_PROFILE_FORMAT_H_
