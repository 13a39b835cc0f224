// libcurl is Debian's well-kept HTTP client: it follows the proxy variables users
// already set, and its OpenSSL build uses the same trust store as the mail connection.
// Built as the module larkpost-http-curl.so that the program loads on first use
// (http_loader_posix.cpp).
#include "platform/http.h"
#include "platform/http_module.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace larkpost::platform {
namespace {

struct Collected {
  std::string body;
  std::size_t limit = 0;
  bool tooLarge = false;
};

std::size_t collect(char* data, std::size_t size, std::size_t count, void* target) {
  auto* collected = static_cast<Collected*>(target);
  std::size_t bytes = size * count;
  if (collected->body.size() + bytes > collected->limit) {
    collected->tooLarge = true;
    return 0;  // makes libcurl stop with CURLE_WRITE_ERROR
  }
  collected->body.append(data, bytes);
  return bytes;
}

void initialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool isLoopbackHttp(const std::string& url) {
  return url.starts_with("http://127.0.0.1:") || url.starts_with("http://localhost:") ||
         url.starts_with("http://[::1]:");
}

}  // namespace

HttpResponse httpExchange(const HttpRequest& request) {
  initialiseOnce();
  HttpResponse response;
  std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    response.error = "could not start libcurl";
    return response;
  }
  CURL* handle = curl.get();
  Collected collected{{}, request.maxResponseBytes, false};
  char errorText[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(handle, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, isLoopbackHttp(request.url) ? "http" : "https");
  curl_easy_setopt(handle, CURLOPT_SSLVERSION, CURL_SSLVERSION_TLSv1_2);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L);
  if (!request.caFile.empty()) curl_easy_setopt(handle, CURLOPT_CAINFO, request.caFile.c_str());
  curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(request.timeoutMillis));
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(handle, CURLOPT_MAXFILESIZE_LARGE,
                   static_cast<curl_off_t>(request.maxResponseBytes));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &collected);
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorText);
  curl_easy_setopt(handle, CURLOPT_USERAGENT, "Larkpost");
  std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> headers(
      curl_slist_append(nullptr, "Accept: application/json"), curl_slist_free_all);
  curl_easy_setopt(handle, CURLOPT_HTTPHEADER, headers.get());
  if (!request.formBody.empty()) {
    curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE, static_cast<long>(request.formBody.size()));
    curl_easy_setopt(handle, CURLOPT_POSTFIELDS, request.formBody.data());
  }
  CURLcode code = curl_easy_perform(handle);
  if (collected.tooLarge || code == CURLE_FILESIZE_EXCEEDED) {
    response.status = HttpResponse::Status::kTooLarge;
  } else if (code == CURLE_OPERATION_TIMEDOUT) {
    response.status = HttpResponse::Status::kTimedOut;
  } else if (code != CURLE_OK) {
    response.error = errorText[0] ? errorText : curl_easy_strerror(code);
  } else {
    response.status = HttpResponse::Status::kOk;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &response.httpStatus);
    response.body = std::move(collected.body);
  }
  return response;
}

std::string httpBackendVersion() { return std::string("libcurl ") + curl_version_info(CURLVERSION_NOW)->version; }

namespace {
constexpr HttpModule kModule{LARKPOST_VERSION, httpExchange, httpBackendVersion};
}  // namespace

}  // namespace larkpost::platform

// Everything else in the module stays hidden, its copy of the C++ library included.
extern "C" __attribute__((visibility("default"))) const larkpost::platform::HttpModule*
larkpost_http_module() {
  return &larkpost::platform::kModule;
}
