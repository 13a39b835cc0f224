// The DSN parameters are computed here, whole, and appended to the commands as they are;
// the dialogue knows nothing of their syntax.
#include "smtp/dsn.h"

#include <algorithm>
#include <array>

#include "core/ascii_case.h"

namespace larkpost {
namespace {

bool isAsciiOnly(std::string_view text) {
  return std::none_of(text.begin(), text.end(),
                      [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

}  // namespace

std::string xtext(std::string_view text) {
  static constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < '!' || byte > '~' || c == '+' || c == '=') {
      out += '+';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> normalizedNotify(std::string_view text) {
  std::string value = upperCased(text);
  if (value == "NEVER") return value;
  static constexpr std::array<std::string_view, 3> kKinds{"SUCCESS", "FAILURE", "DELAY"};
  std::array<bool, kKinds.size()> seen{};
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = value.find(',', start);
    std::string_view kind = std::string_view(value).substr(start, comma - start);
    auto found = std::find(kKinds.begin(), kKinds.end(), kind);
    if (found == kKinds.end()) return std::nullopt;
    bool& already = seen[static_cast<std::size_t>(found - kKinds.begin())];
    if (already) return std::nullopt;
    already = true;
    if (comma == std::string::npos) return value;
    start = comma + 1;
  }
}

std::optional<std::string> normalizedReturn(std::string_view text) {
  std::string value = upperCased(text);
  if (value == "HDRS" || value == "FULL") return value;
  return std::nullopt;
}

bool isSendableEnvid(std::string_view envid) { return xtext(envid).size() <= kMaxEnvidLength; }

std::string dsnMailParameters(const DsnRequest& request) {
  std::string parameters;
  if (!request.ret.empty()) parameters += " RET=" + request.ret;
  if (!request.envid.empty() && isSendableEnvid(request.envid)) {
    parameters += " ENVID=" + xtext(request.envid);
  }
  return parameters;
}

std::string dsnRecipientParameters(const DsnRequest& request, std::string_view address) {
  std::string parameters;
  if (!request.notify.empty()) parameters += " NOTIFY=" + request.notify;
  std::string original = xtext(address);
  if (isAsciiOnly(address) && !address.empty() && original.size() <= kMaxOriginalRecipientLength) {
    parameters += " ORCPT=rfc822;" + original;
  }
  return parameters;
}

}  // namespace larkpost
