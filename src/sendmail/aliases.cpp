// Aliases are expanded one level only, as msmtp does: a loop in the file can never make
// the expansion run away, and what an entry names is exactly what is sent to.
#include "sendmail/aliases.h"

#include <algorithm>

#include "core/ascii_case.h"

namespace larkpost {
namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

bool isDeliverable(std::string_view target) {
  return !target.empty() && target.front() != '|' && target.front() != '/' &&
         !target.starts_with(":include:");
}

// Adds the entry "name: targets" (already joined from its continuation lines).
void addEntry(std::string_view entry, Aliases& aliases) {
  std::size_t colon = entry.find(':');
  if (colon == std::string_view::npos) return;
  std::string name = lowerCased(trimmed(entry.substr(0, colon)));
  if (name.empty()) return;
  std::vector<std::string> targets;
  std::string_view rest = entry.substr(colon + 1);
  while (!rest.empty()) {
    std::size_t comma = rest.find(',');
    std::string_view target = trimmed(rest.substr(0, comma));
    if (isDeliverable(target)) targets.emplace_back(target);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
  }
  if (name == "default") {
    if (aliases.fallback.empty()) aliases.fallback = std::move(targets);
    return;
  }
  aliases.entries.emplace(std::move(name), std::move(targets));
}

std::optional<std::string> qualified(const std::string& address, std::string_view domain) {
  if (address.find('@') != std::string::npos) return address;
  if (domain.empty()) return std::nullopt;
  return address + "@" + std::string(domain);
}

}  // namespace

Aliases parseAliases(std::string_view text) {
  Aliases aliases;
  std::string entry;
  auto finishEntry = [&] {
    if (!entry.empty()) addEntry(entry, aliases);
    entry.clear();
  };
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (trimmed(line).starts_with('#')) continue;
    if (!line.empty() && isBlank(line.front()) && !trimmed(line).empty()) {
      if (!entry.empty()) entry.append(" ").append(trimmed(line));
      continue;
    }
    finishEntry();
    entry = trimmed(line);
  }
  finishEntry();
  return aliases;
}

std::optional<std::vector<std::string>> expandRecipient(const Aliases& aliases,
                                                        std::string_view recipient,
                                                        std::string_view qualifyDomain) {
  std::string address(recipient);
  if (address.find('@') != std::string::npos) return std::vector<std::string>{address};
  const std::vector<std::string>* targets = nullptr;
  if (auto found = aliases.entries.find(lowerCased(address)); found != aliases.entries.end()) {
    targets = &found->second;
  } else if (!aliases.fallback.empty()) {
    targets = &aliases.fallback;
  }
  std::vector<std::string> named =
      targets && !targets->empty() ? *targets : std::vector<std::string>{address};
  std::vector<std::string> expanded;
  for (const std::string& target : named) {
    std::optional<std::string> full = qualified(target, qualifyDomain);
    if (!full) return std::nullopt;
    if (std::find(expanded.begin(), expanded.end(), *full) == expanded.end()) {
      expanded.push_back(std::move(*full));
    }
  }
  return expanded;
}

}  // namespace larkpost
