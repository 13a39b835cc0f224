// WinHTTP is part of Windows: it takes the proxy from the system's settings and the
// trust from its certificate store. With OAuthCAFile the certificate is checked here,
// after the handshake and before the request body (which may carry a client secret or
// a refresh token) is written.
#include <windows.h>
#include <wincrypt.h>
#include <winhttp.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/http.h"
#include "platform/platform.h"
#include "platform/schannel_trust.h"
#include "platform/win32_errors.h"
#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

#ifndef WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3
constexpr DWORD kTls13 = 0x00002000;
#else
constexpr DWORD kTls13 = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
#endif

struct InternetClose {
  void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using InternetPtr = std::unique_ptr<void, InternetClose>;

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};

struct ErrorWords {
  DWORD code;
  const char* words;
};

// The system keeps WinHTTP's words in winhttp.dll, where FormatMessage from the system
// does not look (and Wine has none): the ones a user meets, with the number to search for.
constexpr ErrorWords kErrorWords[] = {
    {ERROR_WINHTTP_NAME_NOT_RESOLVED, "the server name could not be resolved"},
    {ERROR_WINHTTP_CANNOT_CONNECT, "could not connect to the server"},
    {ERROR_WINHTTP_CONNECTION_ERROR, "the connection was ended"},
    {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "the server's answer is not HTTP"},
    {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, "the secure connection could not be set up"},
    {ERROR_WINHTTP_SECURE_FAILURE, "the server's certificate was not accepted"},
    {ERROR_WINHTTP_SECURE_INVALID_CA, "the server's certificate is not trusted"},
    {ERROR_WINHTTP_SECURE_CERT_CN_INVALID, "the server's certificate is for another name"},
    {ERROR_WINHTTP_SECURE_CERT_DATE_INVALID, "the server's certificate has expired or is not yet valid"},
    {ERROR_WINHTTP_SECURE_CERT_REVOKED, "the server's certificate was revoked"},
    {ERROR_WINHTTP_SECURE_INVALID_CERT, "the server's certificate is invalid"},
};

HttpResponse failure(DWORD code) {
  HttpResponse response;
  // Wine passes the socket's own time-out on as it is.
  if (code == ERROR_WINHTTP_TIMEOUT || code == WSAETIMEDOUT) {
    response.status = HttpResponse::Status::kTimedOut;
    return response;
  }
  std::string number = "WinHTTP error " + std::to_string(code);
  for (const ErrorWords& row : kErrorWords) {
    if (row.code == code) {
      response.error = std::string(row.words) + " (" + number + ")";
      return response;
    }
  }
  response.error = systemErrorText(code);
  if (response.error.rfind("error ", 0) == 0) response.error = number;
  return response;
}

HttpResponse lastFailure() { return failure(GetLastError()); }

// WinHTTP's time limits are per step (and Wine leaves the wait for the response headers
// unlimited): each step gets what is left of the whole exchange's time, so a provider
// that answers slowly or a byte at a time still ends the exchange on time.
bool limitStep(HINTERNET request, std::int64_t deadline) {
  std::int64_t left = deadline - monotonicMillis();
  if (left <= 0) {
    SetLastError(ERROR_WINHTTP_TIMEOUT);
    return false;
  }
  int millis = static_cast<int>(std::min<std::int64_t>(left, std::numeric_limits<int>::max()));
  if (!WinHttpSetTimeouts(request, millis, millis, millis, millis)) return false;
  // Where this option is unknown, the receive time-out still bounds each read.
  DWORD responseMillis = static_cast<DWORD>(millis);
  WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseMillis,
                   sizeof responseMillis);
  return true;
}

struct Target {
  bool secure = true;
  std::wstring host;
  INTERNET_PORT port = INTERNET_DEFAULT_HTTPS_PORT;
  std::wstring path;
};

bool isLoopbackHost(const std::wstring& host) {
  return host == L"127.0.0.1" || host == L"localhost" || host == L"[::1]" || host == L"::1";
}

std::optional<Target> crack(const std::string& url) {
  std::wstring wide = utf8ToUtf16(url);
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof parts;
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(wide.c_str(), 0, 0, &parts)) return std::nullopt;
  Target target;
  target.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  target.host.assign(parts.lpszHostName, parts.dwHostNameLength);
  target.port = parts.nPort;
  target.path.assign(parts.lpszUrlPath, parts.dwUrlPathLength);
  target.path.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
  if (!target.secure && !isLoopbackHost(target.host)) return std::nullopt;
  return target;
}

// Judges the certificate against OAuthCAFile; WinHTTP was told to let an unknown issuer
// through, so nothing may be written before this passes.
std::optional<std::string> caFileDistrust(HINTERNET request, const std::string& host,
                                          const std::string& caFile, std::int64_t deadline) {
  PCCERT_CONTEXT leaf = nullptr;
  DWORD size = sizeof leaf;
  if (!WinHttpQueryOption(request, WINHTTP_OPTION_SERVER_CERT_CONTEXT, &leaf, &size) || !leaf) {
    return "the server sent no certificate";
  }
  std::unique_ptr<const CERT_CONTEXT, CertificateFree> owned(leaf);
  std::string detail;
  TrustProblem problem = examineWithCaFile(leaf, host, caFile, deadline, detail);
  if (problem == TrustProblem::kNone) return std::nullopt;
  return detail.empty() ? "the certificate is not trusted by the CA file" : detail;
}

HttpResponse readAnswer(HINTERNET request, std::size_t limit, std::int64_t deadline) {
  if (!limitStep(request, deadline) || !WinHttpReceiveResponse(request, nullptr)) {
    return lastFailure();
  }
  HttpResponse response;
  DWORD status = 0;
  DWORD size = sizeof status;
  WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
  response.httpStatus = static_cast<long>(status);
  std::vector<char> buffer(8192);
  for (;;) {
    DWORD got = 0;
    if (!limitStep(request, deadline) ||
        !WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
      return lastFailure();
    }
    if (got == 0) break;
    if (response.body.size() + got > limit) {
      response.body.clear();
      response.status = HttpResponse::Status::kTooLarge;
      return response;
    }
    response.body.append(buffer.data(), got);
  }
  response.status = HttpResponse::Status::kOk;
  return response;
}

}  // namespace

HttpResponse httpExchange(const HttpRequest& request) {
  std::int64_t deadline = monotonicMillis() + request.timeoutMillis;
  std::optional<Target> target = crack(request.url);
  if (!target) {
    HttpResponse response;
    response.error = "the address is no https:// URL";
    return response;
  }
  InternetPtr session(WinHttpOpen(L"Larkpost", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                  WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
  if (!session) return lastFailure();
  DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | kTls13;
  if (!WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
    // Older systems know no TLS 1.3 flag: TLS 1.2 alone then.
    protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;
    WinHttpSetOption(session.get(), WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols);
  }
  InternetPtr connection(WinHttpConnect(session.get(), target->host.c_str(), target->port, 0));
  if (!connection) return lastFailure();
  const wchar_t* verb = request.formBody.empty() ? L"GET" : L"POST";
  InternetPtr handle(WinHttpOpenRequest(connection.get(), verb, target->path.c_str(), nullptr,
                                        WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        target->secure ? WINHTTP_FLAG_SECURE : 0));
  if (!handle) return lastFailure();
  DWORD noRedirect = WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(handle.get(), WINHTTP_OPTION_DISABLE_FEATURE, &noRedirect, sizeof noRedirect);
  bool ownTrust = target->secure && !request.caFile.empty();
  if (ownTrust) {
    // The CA file's root is unknown to the system, and the system's name check is not
    // ours: Wine's looks at DNS names only and refuses a certificate for 127.0.0.1. Both
    // are judged below, by the rules the mail server's certificate is held to.
    DWORD flags = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_CN_INVALID;
    WinHttpSetOption(handle.get(), WINHTTP_OPTION_SECURITY_FLAGS, &flags, sizeof flags);
  }
  std::wstring headers = L"Accept: application/json\r\n";
  if (!request.formBody.empty()) headers += L"Content-Type: application/x-www-form-urlencoded\r\n";
  DWORD bodySize = static_cast<DWORD>(request.formBody.size());
  if (!limitStep(handle.get(), deadline) ||
      !WinHttpSendRequest(handle.get(), headers.c_str(), static_cast<DWORD>(-1L),
                          WINHTTP_NO_REQUEST_DATA, 0, bodySize, 0)) {
    return lastFailure();
  }
  if (ownTrust) {
    std::string host = utf16ToUtf8(target->host);
    if (auto reason = caFileDistrust(handle.get(), host, request.caFile, deadline)) {
      HttpResponse response;
      response.error = "certificate not trusted: " + *reason;
      return response;
    }
  }
  if (bodySize > 0) {
    DWORD written = 0;
    if (!limitStep(handle.get(), deadline) ||
        !WinHttpWriteData(handle.get(), request.formBody.data(), bodySize, &written)) {
      return lastFailure();
    }
  }
  return readAnswer(handle.get(), request.maxResponseBytes, deadline);
}

std::string httpBackendVersion() { return "WinHTTP"; }

}  // namespace larkpost::platform
