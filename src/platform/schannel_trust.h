// The SChannel backend's certificate check, lent to the WinHTTP client so that
// OAuthCAFile is judged by the same rules as CAFile for the mail server.
#ifndef LARKPOST_PLATFORM_SCHANNEL_TRUST_H_
#define LARKPOST_PLATFORM_SCHANNEL_TRUST_H_

#include <cstdint>
#include <string>

#include "platform/tls.h"

namespace larkpost::platform {

// Whether `certificate` (a PCCERT_CONTEXT, with the chain the server sent in its store)
// is trusted for `host` by the certificates of the PEM file `caFile`. `detail` says why not.
TrustProblem examineWithCaFile(const void* certificate, const std::string& host,
                               const std::string& caFile, std::int64_t deadline,
                               std::string& detail);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_SCHANNEL_TRUST_H_
