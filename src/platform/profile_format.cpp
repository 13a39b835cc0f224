// Reads the profile (INI) format the way the Windows profile functions do: the settings
// file is shared between builds, so a line must mean the same to both.
#include "platform/profile_format.h"

namespace larkpost::platform {
namespace {

// Ctrl-Z counts as a blank: old editors ended a file with it.
bool isBlank(char c) { return (c >= '\t' && c <= '\r') || c == '\x1A' || c == ' '; }

bool isLineEnd(char c) { return c == '\n' || c == '\r'; }

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && isBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && isBlank(text.back())) text.remove_suffix(1);
  return text;
}

// The profile functions keep names and values as C strings, so a NUL ends each of them.
std::string_view upToNul(std::string_view text) { return text.substr(0, text.find('\0')); }

char lowerLetter(char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

bool sameName(std::string_view inFile, std::string_view wanted) {
  inFile = upToNul(inFile);
  if (inFile.size() != wanted.size()) return false;
  for (std::size_t i = 0; i < inFile.size(); ++i) {
    if (lowerLetter(inFile[i]) != lowerLetter(wanted[i])) return false;
  }
  return true;
}

// One pair of surrounding quotes goes, when both ends hold the same quote character.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return std::string(value);
}

// The name of the section a trimmed line opens, or std::nullopt when it opens none.
std::optional<std::string_view> sectionName(std::string_view line) {
  if (line.empty() || line.front() != '[') return std::nullopt;
  std::size_t close = line.rfind(']');
  if (close == 0 || close == std::string_view::npos) return std::nullopt;
  return trimmed(line.substr(1, close - 1));
}

struct KeyLine {
  std::string_view name;
  std::optional<std::string_view> value;
};

KeyLine keyLine(std::string_view line) {
  std::size_t equals = line.find('=');
  if (equals == std::string_view::npos) return {line, std::nullopt};
  return {trimmed(line.substr(0, equals)), trimmed(line.substr(equals + 1))};
}

// Cuts the text into trimmed lines, skipping the empty ones.
class Lines {
 public:
  explicit Lines(std::string_view text) : rest_(text) {}

  std::optional<std::string_view> next() {
    while (!rest_.empty()) {
      std::size_t end = 0;
      while (end < rest_.size() && !isLineEnd(rest_[end])) ++end;
      std::string_view line = trimmed(rest_.substr(0, end));
      while (end < rest_.size() && isLineEnd(rest_[end])) ++end;
      rest_.remove_prefix(end);
      if (!line.empty()) return line;
    }
    return std::nullopt;
  }

 private:
  std::string_view rest_;
};

}  // namespace

std::optional<std::string> findProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  // Lines before the first section header belong to a section without a name.
  bool inWantedSection = sameName("", section);
  Lines lines(text);
  while (std::optional<std::string_view> line = lines.next()) {
    if (std::optional<std::string_view> name = sectionName(*line)) {
      // Only the first section of the name is searched, even when another follows.
      if (inWantedSection) return std::nullopt;
      inWantedSection = sameName(*name, section);
      continue;
    }
    if (!inWantedSection) continue;
    KeyLine entry = keyLine(*line);
    if (!sameName(entry.name, key)) continue;
    if (!entry.value) return std::nullopt;
    return unquoted(upToNul(*entry.value));
  }
  return std::nullopt;
}

std::vector<ProfileLine> profileLines(std::string_view text) {
  std::vector<ProfileLine> found;
  std::size_t number = 1;
  while (!text.empty()) {
    std::size_t end = 0;
    while (end < text.size() && !isLineEnd(text[end])) ++end;
    std::string_view line = trimmed(text.substr(0, end));
    if (std::optional<std::string_view> name = sectionName(line)) {
      found.push_back({number, true, upToNul(*name)});
    } else if (!line.empty()) {
      found.push_back({number, false, upToNul(keyLine(line).name)});
    }
    // Unlike the reader, which skips runs of line ends, every line end counts here, so the
    // number is the one an editor shows.
    if (end < text.size()) end += text.substr(end).starts_with("\r\n") ? 2 : 1;
    text.remove_prefix(end);
    ++number;
  }
  return found;
}

std::optional<std::int32_t> profileInteger(std::string_view value) {
  bool negative = false;
  if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
    negative = value.front() == '-';
    value.remove_prefix(1);
  }
  if (value.empty() || value.front() < '0' || value.front() > '9') return std::nullopt;
  std::uint32_t number = 0;
  for (char c : value) {
    if (c < '0' || c > '9') break;
    number = number * 10u + static_cast<std::uint32_t>(c - '0');
  }
  return static_cast<std::int32_t>(negative ? 0u - number : number);
}

}  // namespace larkpost::platform
