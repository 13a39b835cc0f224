// Loading a module of the POSIX program on first use, private to platform/. OpenSSL and
// libcurl each cost milliseconds to load, which a run that needs neither should not pay,
// so each sits in a module of ours linked to it (larkpost-tls-openssl.so,
// larkpost-http-curl.so). A module hands over one table of functions; the program's
// forwarding functions load it the first time they are called.
#ifndef LARKPOST_PLATFORM_MODULE_LOADER_H_
#define LARKPOST_PLATFORM_MODULE_LOADER_H_

#include <cstring>
#include <string>

namespace larkpost::platform {

// What a module is to the messages that name it.
struct ModuleDescription {
  const char* file;     // "larkpost-tls-openssl.so"
  const char* entry;    // the one symbol it exports, a function returning its table
  const char* library;  // the library it brings: "OpenSSL"
  const char* noun;     // "TLS module"
};

struct ModuleEntry {
  void* entry = nullptr;
  std::string path;     // where the module was found
  std::string failure;  // why there is no entry
};

// Finds the module next to the program (the build tree), then where the package installs
// it relative to the program, and opens it for the rest of the process.
ModuleEntry loadModuleEntry(const ModuleDescription& module);

template <typename Table>
struct LoadedTable {
  const Table* table = nullptr;
  std::string failure;  // why there is none
};

// The module's table, when it was built with this very program: C++ types cross between
// the two, so a table must begin with the Larkpost version it was built for.
template <typename Table>
LoadedTable<Table> loadModuleTable(const ModuleDescription& module) {
  ModuleEntry found = loadModuleEntry(module);
  if (!found.entry) return {nullptr, found.failure};
  using Entry = const Table* (*)();
  const Table* table = reinterpret_cast<Entry>(found.entry)();
  if (!table) return {nullptr, found.path + " is no Larkpost " + module.noun};
  if (std::strcmp(table->larkpostVersion, LARKPOST_VERSION) != 0) {
    return {nullptr, found.path + " belongs to Larkpost " + table->larkpostVersion + ", not " +
                         LARKPOST_VERSION};
  }
  return {table, {}};
}

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_MODULE_LOADER_H_
