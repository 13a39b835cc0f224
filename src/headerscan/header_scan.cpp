// Header fields are unfolded before they are read: a line that begins with a blank or a
// tab continues the field above it, and a field is kept or dropped whole.
#include "headerscan/header_scan.h"

#include <algorithm>
#include <array>

#include "headerscan/address_list.h"

namespace larkpost {
namespace {

enum class FieldRole { kRecipients, kHiddenRecipients, kSender };

struct KnownField {
  std::string_view name;
  FieldRole role;
};

constexpr std::array<KnownField, 5> kKnownFields{{
    {"to", FieldRole::kRecipients},
    {"cc", FieldRole::kRecipients},
    {"bcc", FieldRole::kHiddenRecipients},
    {"bc", FieldRole::kHiddenRecipients},
    {"from", FieldRole::kSender},
}};

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

const KnownField* findKnownField(std::string_view name) {
  for (const KnownField& field : kKnownFields) {
    if (equalsIgnoringCase(field.name, name)) return &field;
  }
  return nullptr;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// One field: its lines as read, its name, and its value with the folds taken out.
struct Field {
  std::string raw;
  std::string name;
  std::string value;
  bool valid = false;  // a line without a name starts no field; it and its folds are dropped
};

std::string_view withoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

Field startField(const std::string& line) {
  Field field;
  field.raw = line;
  std::string_view content = withoutLineEnd(line);
  std::size_t colon = content.find(':');
  if (colon == std::string_view::npos) return field;
  std::string_view name = content.substr(0, colon);
  // Blanks between the name and its colon are the obsolete syntax of RFC 5322 4.5.
  while (!name.empty() && isBlank(name.back())) name.remove_suffix(1);
  if (name.empty()) return field;
  field.name = name;
  field.value = content.substr(colon + 1);
  field.valid = true;
  return field;
}

void finishField(Field& field, HeaderScan& scan) {
  if (!field.valid) return;
  const KnownField* known = findKnownField(field.name);
  if (known) {
    std::vector<std::string> addresses = parseAddressList(field.value);
    if (known->role == FieldRole::kSender) {
      if (!addresses.empty()) scan.sender = addresses.front();
    } else {
      scan.recipients.insert(scan.recipients.end(), addresses.begin(), addresses.end());
    }
    // Bcc recipients get the message, but nobody learns of them.
    if (known->role == FieldRole::kHiddenRecipients) return;
  }
  scan.header.text += field.raw;
  scan.header.fieldNames.push_back(field.name);
}

// Reads one whole line, its LF included; std::nullopt at the end of the input.
std::optional<std::string> readWholeLine(LineReader& input) {
  std::optional<std::string> line;
  while (std::optional<LinePiece> piece = input.next()) {
    if (!line) line.emplace();
    line->append(piece->text);
    if (piece->endsLine) break;
    if (input.failed()) break;
  }
  // A kept line always ends, so nothing written after it can run into it.
  if (line) *line += '\n';
  return line;
}

}  // namespace

bool HeaderBlock::hasField(std::string_view name) const {
  return std::any_of(fieldNames.begin(), fieldNames.end(),
                     [name](const std::string& field) { return equalsIgnoringCase(field, name); });
}

HeaderScan scanHeader(LineReader& input) {
  HeaderScan scan;
  Field field;
  while (std::optional<std::string> line = readWholeLine(input)) {
    char first = line->front();
    if (first == '\r' || first == '\n') break;  // the empty line that ends the header
    if (isBlank(first)) {
      // A line of blanks is neither a field nor a fold: it is dropped.
      if (withoutLineEnd(*line).find_first_not_of(" \t") == std::string_view::npos) continue;
      field.raw += *line;
      field.value += withoutLineEnd(*line);
      continue;
    }
    finishField(field, scan);
    field = startField(*line);
  }
  finishField(field, scan);
  scan.inputFailed = input.failed();
  return scan;
}

}  // namespace larkpost
