// Finding and opening the POSIX program's modules (see module_loader.h).
#include "platform/module_loader.h"

#include <dlfcn.h>
#include <unistd.h>

#include <vector>

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

ModuleEntry loadFrom(const std::string& path, const ModuleDescription& module) {
  // Kept open for the rest of the process: what it makes (streams, strings) may live to
  // the end.
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* reason = ::dlerror();
    return {nullptr, path,
            std::string(module.library) + " cannot be loaded: " + (reason ? reason : path)};
  }
  void* entry = ::dlsym(handle, module.entry);
  if (!entry) return {nullptr, path, path + " is no Larkpost " + module.noun};
  return {entry, path, {}};
}

}  // namespace

ModuleEntry loadModuleEntry(const ModuleDescription& module) {
  std::string directory = programDirectory();
  if (directory.empty()) {
    return {nullptr, {},
            std::string("the ") + module.noun + " cannot be found: the program's own path is unknown"};
  }
  const std::vector<std::string> places = {directory, directory + "/" LARKPOST_MODULE_DIR};
  for (const std::string& place : places) {
    std::string path = place + "/" + module.file;
    if (::access(path.c_str(), F_OK) == 0) return loadFrom(path, module);
  }
  return {nullptr, {},
          std::string("the ") + module.noun + " " + module.file + " is in neither " + places[0] +
              " nor " + places[1]};
}

}  // namespace larkpost::platform
