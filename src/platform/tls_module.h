// The meeting point of the POSIX program and its TLS module (larkpost-tls-openssl.so),
// private to platform/. The module, which alone links OpenSSL, hands over one table of
// functions: the TLS connection and the few cryptographic primitives the logins need.
// openssl_loader_posix.cpp loads it on the first use of either, so a run that neither
// speaks TLS nor computes a hash does not load OpenSSL at all.
#ifndef LARKPOST_PLATFORM_TLS_MODULE_H_
#define LARKPOST_PLATFORM_TLS_MODULE_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/tls.h"

namespace larkpost::platform {

struct TlsModule {
  // The Larkpost version the module was built for. C++ types cross between program and
  // module, so only the module of the same build may be used.
  const char* larkpostVersion;
  TlsHandshake (*startTls)(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                           std::int64_t deadline);
  std::string (*backendVersion)();
  // Those of platform/crypto.h.
  std::string (*sha256)(std::string_view data);
  std::string (*hmacSha256)(std::string_view key, std::string_view data);
  std::string (*pbkdf2Sha256)(std::string_view password, std::string_view salt,
                              unsigned iterations);
  std::optional<std::string> (*randomBytes)(std::size_t count);
};

inline constexpr const char* kTlsModuleFile = "larkpost-tls-openssl.so";
// The one symbol the module exports: a function without arguments that returns its
// TlsModule, which lives as long as the process.
inline constexpr const char* kTlsModuleEntry = "larkpost_tls_module";

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_TLS_MODULE_H_
