// Text and file names as the wide Windows calls take them: UTF-16 at every system call,
// UTF-8 everywhere else. Shared by the Windows platform files.
#ifndef LARKPOST_PLATFORM_WIN32_TEXT_H_
#define LARKPOST_PLATFORM_WIN32_TEXT_H_

#include <string>
#include <string_view>

namespace larkpost::platform {

// UTF-8 to UTF-16 and back; empty when the text cannot be converted.
std::wstring utf8ToUtf16(std::string_view text);
std::string utf16ToUtf8(std::wstring_view text);

// `path`, in UTF-8, as UTF-16 for the wide calls. A full path past MAX_PATH gets the
// form that has no such limit (\\?\C:\..., \\?\UNC\server\...).
std::wstring widePath(const std::string& path);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_WIN32_TEXT_H_
