// The one translator of Windows error codes into words, shared by the Windows platform
// files.
#ifndef LARKPOST_PLATFORM_WIN32_ERRORS_H_
#define LARKPOST_PLATFORM_WIN32_ERRORS_H_

#include <string>

namespace larkpost::platform {

// The system's text for an error code (GetLastError(), a Winsock or SSPI status), without
// the line end it comes with; "error N" when the system has none.
std::string systemErrorText(unsigned long code);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_WIN32_ERRORS_H_
