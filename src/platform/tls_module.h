// The meeting point of the POSIX program and its TLS module (larkpost-tls-openssl.so),
// private to platform/. The module, which alone links OpenSSL, hands over one table of
// functions; tls_loader_posix.cpp loads it on the first use of TLS, so a run that never
// speaks TLS does not load OpenSSL at all.
#ifndef LARKPOST_PLATFORM_TLS_MODULE_H_
#define LARKPOST_PLATFORM_TLS_MODULE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/tls.h"

namespace larkpost::platform {

struct TlsModule {
  // The Larkpost version the module was built for. C++ types cross between program and
  // module, so only the module of the same build may be used.
  const char* larkpostVersion;
  TlsHandshake (*startTls)(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                           std::int64_t deadline);
  std::string (*backendVersion)();
};

inline constexpr const char* kTlsModuleFile = "larkpost-tls-openssl.so";
// The one symbol the module exports: a function without arguments that returns its
// TlsModule, which lives as long as the process.
inline constexpr const char* kTlsModuleEntry = "larkpost_tls_module";

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_TLS_MODULE_H_
