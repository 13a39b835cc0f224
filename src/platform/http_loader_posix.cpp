// HTTPS requests on POSIX, forwarded to the module that links libcurl
// (larkpost-http-curl.so), loaded by the first request: libcurl brings a dozen libraries,
// which only a run that talks to an OAuth provider should load.
#include "platform/http.h"
#include "platform/http_module.h"
#include "platform/module_loader.h"

namespace larkpost::platform {
namespace {

constexpr ModuleDescription kCurlModule{kHttpModuleFile, kHttpModuleEntry, "libcurl",
                                        "HTTP module"};

// Loaded once, by the first caller; a failure is remembered too.
const LoadedTable<HttpModule>& curl() {
  static const LoadedTable<HttpModule> loaded = loadModuleTable<HttpModule>(kCurlModule);
  return loaded;
}

}  // namespace

HttpResponse httpExchange(const HttpRequest& request) {
  const LoadedTable<HttpModule>& loaded = curl();
  if (!loaded.table) {
    HttpResponse response;
    response.error = "HTTPS is not available: " + loaded.failure;
    return response;  // kFailed
  }
  return loaded.table->httpExchange(request);
}

std::string httpBackendVersion() {
  const LoadedTable<HttpModule>& loaded = curl();
  if (!loaded.table) return "not available (" + loaded.failure + ")";
  return loaded.table->httpBackendVersion();
}

}  // namespace larkpost::platform
