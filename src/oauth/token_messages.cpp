// Answers are read defensively: a provider, or something posing as one behind a
// captive portal, may send HTML, a JSON array or numbers as strings.
#include "oauth/token_messages.h"

#include <nlohmann/json.hpp>

#include "core/base64_decoder.h"
#include "core/base64_encoder.h"
#include "core/printable.h"
#include "core/secret.h"
#include "platform/crypto.h"

namespace larkpost::oauth {
namespace {

using Json = nlohmann::json;

bool isUnreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

std::string percentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isUnreserved(c)) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '+') {
      out += ' ';
    } else if (text[i] == '%' && i + 2 < text.size() + 0 && hexValue(text[i + 1]) >= 0 &&
               hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string stringField(const Json& object, const char* name) {
  auto found = object.find(name);
  return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

// Seconds as a number, or as digits in a string (some providers send those).
std::optional<std::int64_t> secondsField(const Json& object, const char* name) {
  auto found = object.find(name);
  if (found == object.end()) return std::nullopt;
  if (found->is_number_integer()) return found->get<std::int64_t>();
  if (found->is_string()) {
    const std::string& text = found->get_ref<const std::string&>();
    if (!text.empty() && text.size() < 10 && text.find_first_not_of("0123456789") == std::string::npos) {
      return std::stoll(text);
    }
  }
  return std::nullopt;
}

std::optional<Json> parseObject(std::string_view body) {
  Json parsed = Json::parse(body, nullptr, false);
  if (parsed.is_discarded() || !parsed.is_object()) return std::nullopt;
  return parsed;
}

}  // namespace

std::string formEncode(const FormFields& fields) {
  std::string body;
  for (const auto& [name, value] : fields) {
    if (value.empty()) continue;
    if (!body.empty()) body += '&';
    body += percentEncode(name) + '=' + percentEncode(value);
  }
  return body;
}

std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
  while (!query.empty()) {
    std::size_t end = query.find('&');
    std::string_view pair = query.substr(0, end);
    std::size_t equals = pair.find('=');
    if (percentDecode(pair.substr(0, equals)) == name) {
      return equals == std::string_view::npos ? std::string() : percentDecode(pair.substr(equals + 1));
    }
    if (end == std::string_view::npos) break;
    query.remove_prefix(end + 1);
  }
  return std::nullopt;
}

TokenAnswer::~TokenAnswer() {
  wipe(accessToken);
  wipe(refreshToken);
  wipe(idToken);
}

TokenAnswer parseTokenAnswer(long httpStatus, std::string_view body) {
  TokenAnswer answer;
  std::optional<Json> object = parseObject(body);
  if (!object) {
    answer.detail = "the answer (HTTP " + std::to_string(httpStatus) + ") is no JSON object";
    return answer;
  }
  answer.error = stringField(*object, "error");
  if (!answer.error.empty()) {
    answer.kind = TokenAnswer::Kind::kError;
    answer.errorDescription = stringField(*object, "error_description");
    return answer;
  }
  answer.accessToken = stringField(*object, "access_token");
  if (httpStatus != 200 || answer.accessToken.empty()) {
    answer.detail = "the answer (HTTP " + std::to_string(httpStatus) + ") holds no access token";
    wipe(answer.accessToken);
    return answer;
  }
  answer.kind = TokenAnswer::Kind::kTokens;
  answer.refreshToken = stringField(*object, "refresh_token");
  answer.idToken = stringField(*object, "id_token");
  answer.expiresIn = secondsField(*object, "expires_in").value_or(0);
  // The parsed copy holds the tokens too.
  for (const char* name : {"access_token", "refresh_token", "id_token"}) {
    if (auto found = object->find(name); found != object->end() && found->is_string()) {
      wipe(found->get_ref<std::string&>());
    }
  }
  return answer;
}

std::string describeError(const TokenAnswer& answer) {
  std::string text = printable(answer.error);
  if (!answer.errorDescription.empty()) text += " (" + printable(answer.errorDescription) + ")";
  return text;
}

std::optional<DeviceAuthorization> parseDeviceAuthorization(long httpStatus, std::string_view body,
                                                            std::string& error) {
  std::optional<Json> object = parseObject(body);
  if (!object) {
    error = "the answer (HTTP " + std::to_string(httpStatus) + ") is no JSON object";
    return std::nullopt;
  }
  if (std::string code = stringField(*object, "error"); !code.empty()) {
    error = printable(code);
    if (std::string text = stringField(*object, "error_description"); !text.empty()) {
      error += " (" + printable(text) + ")";
    }
    return std::nullopt;
  }
  DeviceAuthorization device;
  device.deviceCode = stringField(*object, "device_code");
  device.userCode = stringField(*object, "user_code");
  device.verificationUri = stringField(*object, "verification_uri");
  // Google names it verification_url.
  if (device.verificationUri.empty()) device.verificationUri = stringField(*object, "verification_url");
  device.expiresIn = secondsField(*object, "expires_in").value_or(900);
  device.interval = secondsField(*object, "interval").value_or(5);
  if (device.deviceCode.empty() || device.userCode.empty() || device.verificationUri.empty()) {
    error = "the answer lacks device_code, user_code or verification_uri";
    return std::nullopt;
  }
  if (device.interval < 1) device.interval = 1;
  if (device.interval > 60) device.interval = 60;
  if (device.expiresIn < 1 || device.expiresIn > 3600) device.expiresIn = 900;
  return device;
}

std::string accountInIdToken(std::string_view idToken) {
  std::size_t first = idToken.find('.');
  std::size_t second = idToken.find('.', first + 1);
  if (first == std::string_view::npos || second == std::string_view::npos) return {};
  std::string payload(idToken.substr(first + 1, second - first - 1));
  for (char& c : payload) {
    if (c == '-') c = '+';
    if (c == '_') c = '/';
  }
  while (payload.size() % 4 != 0) payload += '=';
  std::optional<std::string> decoded = decodeBase64(payload);
  if (!decoded) return {};
  std::optional<Json> claims = parseObject(*decoded);
  if (!claims) return {};
  for (const char* name : {"preferred_username", "email", "upn"}) {
    if (std::string value = stringField(*claims, name); !value.empty()) return printable(value);
  }
  return {};
}

std::string base64Url(std::string_view bytes) {
  std::string text = Base64Encoder::encodeUnbroken(bytes);
  while (!text.empty() && text.back() == '=') text.pop_back();
  for (char& c : text) {
    if (c == '+') c = '-';
    if (c == '/') c = '_';
  }
  return text;
}

std::string pkceChallenge(std::string_view verifier) {
  return base64Url(platform::sha256(verifier));
}

}  // namespace larkpost::oauth
