// The meeting point of the POSIX program and its HTTP module (larkpost-http-curl.so),
// private to platform/. The module, which alone links libcurl, hands over one table of
// functions; http_loader_posix.cpp loads it on the first HTTP request, so only a run that
// talks to an OAuth provider loads libcurl and the many libraries it brings.
#ifndef LARKPOST_PLATFORM_HTTP_MODULE_H_
#define LARKPOST_PLATFORM_HTTP_MODULE_H_

#include <string>

#include "platform/http.h"

namespace larkpost::platform {

struct HttpModule {
  // The Larkpost version the module was built for: only the module of the same build
  // may be used.
  const char* larkpostVersion;
  HttpResponse (*httpExchange)(const HttpRequest& request);
  std::string (*httpBackendVersion)();
};

inline constexpr const char* kHttpModuleFile = "larkpost-http-curl.so";
// The one symbol the module exports: a function without arguments that returns its
// HttpModule, which lives as long as the process.
inline constexpr const char* kHttpModuleEntry = "larkpost_http_module";

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_HTTP_MODULE_H_
