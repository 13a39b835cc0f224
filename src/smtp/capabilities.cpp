// EHLO keywords are case-insensitive and may carry parameters after a blank; servers
// still in use also announce AUTH in the pre-standard "AUTH=" form.
#include "smtp/capabilities.h"

#include <algorithm>
#include <charconv>

#include "core/ascii_case.h"

namespace larkpost {
namespace {

std::vector<std::string> words(std::string_view text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t start = text.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    std::size_t end = text.find_first_of(" \t", start);
    if (end == std::string_view::npos) end = text.size();
    out.emplace_back(text.substr(start, end - start));
    at = end;
  }
  return out;
}

void addMechanisms(ServerCapabilities& capabilities, const std::vector<std::string>& names) {
  for (const std::string& name : names) {
    std::string mechanism = upperCased(name);
    if (!capabilities.offersAuth(mechanism)) capabilities.authMechanisms.push_back(mechanism);
  }
}

void readKeyword(ServerCapabilities& capabilities, std::string_view line) {
  std::vector<std::string> parts = words(line);
  if (parts.empty()) return;
  std::string keyword = upperCased(parts.front());
  std::vector<std::string> parameters(parts.begin() + 1, parts.end());
  if (keyword == "STARTTLS") {
    capabilities.startTls = true;
  } else if (keyword == "PIPELINING") {
    capabilities.pipelining = true;
  } else if (keyword == "8BITMIME") {
    capabilities.eightBitMime = true;
  } else if (keyword == "SMTPUTF8") {
    capabilities.smtpUtf8 = true;
  } else if (keyword == "DSN") {
    capabilities.dsn = true;
  } else if (keyword == "ENHANCEDSTATUSCODES") {
    capabilities.enhancedStatusCodes = true;
  } else if (keyword == "SIZE") {
    capabilities.size = true;
    if (!parameters.empty()) {
      const std::string& number = parameters.front();
      std::uint64_t limit = 0;
      auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), limit);
      if (error == std::errc() && end == number.data() + number.size()) {
        capabilities.sizeLimit = limit;
      }
    }
  } else if (keyword == "AUTH") {
    addMechanisms(capabilities, parameters);
  } else if (keyword.starts_with("AUTH=")) {
    parameters.insert(parameters.begin(), parts.front().substr(5));
    addMechanisms(capabilities, parameters);
  }
}

}  // namespace

bool ServerCapabilities::offersAuth(std::string_view mechanism) const {
  return std::find(authMechanisms.begin(), authMechanisms.end(), mechanism) !=
         authMechanisms.end();
}

ServerCapabilities parseEhloReply(const Reply& reply) {
  ServerCapabilities capabilities;
  capabilities.extended = true;
  for (std::size_t i = 1; i < reply.lines.size(); ++i) {
    std::string_view line = reply.lines[i];
    line.remove_prefix(std::min<std::size_t>(4, line.size()));  // "250-" or "250 "
    capabilities.keywordLines.emplace_back(line);
    readKeyword(capabilities, line);
  }
  return capabilities;
}

}  // namespace larkpost
