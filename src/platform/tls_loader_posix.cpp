// Client TLS on POSIX, loaded on first use. OpenSSL lives in a module of its own,
// larkpost-tls-openssl.so, linked to the system's libssl and libcrypto; loading those
// costs several milliseconds, which a run in plaintext, or one that only asks --help,
// should not pay. The module is looked for next to the program (the build tree), then
// where the package installs it, relative to the program.
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/tls.h"
#include "platform/tls_module.h"

namespace larkpost::platform {
namespace {

// Longer paths than this to the program are not followed; PATH_MAX is 4096 on Linux.
constexpr std::size_t kLongestProgramPath = std::size_t{64} << 10;

// The directory of the running program, symbolic links resolved; empty when unknown.
std::string programDirectory() {
  std::string path(256, '\0');
  for (;;) {
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return {};
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      break;
    }
    if (path.size() >= kLongestProgramPath) return {};
    path.resize(path.size() * 2);  // it may have been cut short
  }
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

struct LoadedModule {
  const TlsModule* module = nullptr;
  std::string failure;  // why there is none
};

LoadedModule loadFrom(const std::string& path) {
  // Kept open for the rest of the process: the streams it makes may live to the end.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    return {nullptr, "OpenSSL cannot be loaded: " + std::string(reason ? reason : path)};
  }
  using Entry = const TlsModule* (*)();
  auto entry = reinterpret_cast<Entry>(::dlsym(handle, kTlsModuleEntry));
  const TlsModule* module = entry ? entry() : nullptr;
  if (!module) return {nullptr, path + " is no Larkpost TLS module"};
  if (std::strcmp(module->larkpostVersion, LARKPOST_VERSION) != 0) {
    return {nullptr,
            path + " belongs to Larkpost " + module->larkpostVersion + ", not " + LARKPOST_VERSION};
  }
  return {module, {}};
}

LoadedModule findAndLoad() {
  std::string directory = programDirectory();
  if (directory.empty()) {
    return {nullptr, "the TLS module cannot be found: the program's own path is unknown"};
  }
  const std::vector<std::string> places = {directory, directory + "/" LARKPOST_TLS_MODULE_DIR};
  for (const std::string& place : places) {
    std::string path = place + "/" + kTlsModuleFile;
    if (::access(path.c_str(), F_OK) == 0) return loadFrom(path);
  }
  return {nullptr, std::string("the TLS module ") + kTlsModuleFile + " is in neither " + places[0] +
                       " nor " + places[1]};
}

// Loaded once, by the first caller; a failure is remembered too.
const LoadedModule& tlsModule() {
  static const LoadedModule loaded = findAndLoad();
  return loaded;
}

}  // namespace

TlsHandshake startTls(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                      std::int64_t deadline) {
  const LoadedModule& loaded = tlsModule();
  if (!loaded.module) {
    TlsHandshake result;
    result.failure = "TLS is not available: " + loaded.failure;
    return result;
  }
  return loaded.module->startTls(std::move(transport), config, deadline);
}

std::string tlsBackendVersion() {
  const LoadedModule& loaded = tlsModule();
  if (!loaded.module) return "not available (" + loaded.failure + ")";
  return loaded.module->backendVersion();
}

}  // namespace larkpost::platform
