// File names as the wide Windows calls take them, shared by the Windows platform files.
#ifndef LARKPOST_PLATFORM_WIN32_PATHS_H_
#define LARKPOST_PLATFORM_WIN32_PATHS_H_

#include <string>

namespace larkpost::platform {

// `path`, in UTF-8, as UTF-16 for the wide calls. A full path past MAX_PATH gets the
// form that has no such limit (\\?\C:\..., \\?\UNC\server\...).
std::wstring widePath(const std::string& path);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_WIN32_PATHS_H_
