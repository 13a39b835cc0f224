// The TLS connection and the cryptographic primitives on POSIX, forwarded to the module
// that links OpenSSL (larkpost-tls-openssl.so), loaded by the first caller: loading
// libssl and libcrypto costs several milliseconds, which a run in plaintext without a
// SCRAM or OAuth login, or one that only asks --help, should not pay.
#include <stdexcept>

#include "platform/crypto.h"
#include "platform/module_loader.h"
#include "platform/tls.h"
#include "platform/tls_module.h"

namespace larkpost::platform {
namespace {

constexpr ModuleDescription kOpenSslModule{kTlsModuleFile, kTlsModuleEntry, "OpenSSL",
                                           "TLS module"};

// Loaded once, by the first caller; a failure is remembered too.
const LoadedTable<TlsModule>& openSsl() {
  static const LoadedTable<TlsModule> loaded = loadModuleTable<TlsModule>(kOpenSslModule);
  return loaded;
}

// For the primitives, whose results have no room for a failure: without the module no
// login can be computed, and the run ends with the reason.
const TlsModule& cryptoModule() {
  const LoadedTable<TlsModule>& loaded = openSsl();
  if (!loaded.table) throw std::runtime_error("cryptography is not available: " + loaded.failure);
  return *loaded.table;
}

}  // namespace

TlsHandshake startTls(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                      std::int64_t deadline) {
  const LoadedTable<TlsModule>& loaded = openSsl();
  if (!loaded.table) {
    TlsHandshake result;
    result.failure = "TLS is not available: " + loaded.failure;
    return result;
  }
  return loaded.table->startTls(std::move(transport), config, deadline);
}

std::string tlsBackendVersion() {
  const LoadedTable<TlsModule>& loaded = openSsl();
  if (!loaded.table) return "not available (" + loaded.failure + ")";
  return loaded.table->backendVersion();
}

std::string sha256(std::string_view data) { return cryptoModule().sha256(data); }

std::string hmacSha256(std::string_view key, std::string_view data) {
  return cryptoModule().hmacSha256(key, data);
}

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations) {
  return cryptoModule().pbkdf2Sha256(password, salt, iterations);
}

std::optional<std::string> randomBytes(std::size_t count) {
  const LoadedTable<TlsModule>& loaded = openSsl();
  if (!loaded.table) return std::nullopt;  // as when the generator itself fails
  return loaded.table->randomBytes(count);
}

}  // namespace larkpost::platform
