// HTTPS requests to an OAuth provider: one interface, with libcurl behind it on POSIX
// (http_curl.cpp) and WinHTTP on Windows (http_winhttp.cpp). Both insist on TLS 1.2 or
// newer and a verified certificate; there is no way to turn verification off.
#ifndef LARKPOST_PLATFORM_HTTP_H_
#define LARKPOST_PLATFORM_HTTP_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace larkpost::platform {

struct HttpRequest {
  std::string url;           // https:// (http:// only to a loopback host, for tests)
  std::string formBody;      // application/x-www-form-urlencoded; empty sends a GET
  std::string caFile;        // PEM trust instead of the system's store; empty for the store
  std::int64_t timeoutMillis = 60000;  // for the whole exchange
  std::size_t maxResponseBytes = 64 * 1024;
};

struct HttpResponse {
  enum class Status {
    kOk,        // an answer arrived: see httpStatus and body
    kFailed,    // no answer: could not connect, TLS or certificate failure, ...
    kTimedOut,  // no complete answer within the time limit
    kTooLarge,  // the answer was longer than maxResponseBytes
  } status = Status::kFailed;
  long httpStatus = 0;
  std::string body;
  std::string error;  // in words, when status is kFailed
};

// Sends the request and reads the answer. The proxy is the one the user set for the
// system: HTTPS_PROXY / NO_PROXY on POSIX, Internet Options on Windows.
HttpResponse httpExchange(const HttpRequest& request);

// The HTTP library and its version, for --version.
std::string httpBackendVersion();

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_HTTP_H_
