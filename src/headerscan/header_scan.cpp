// Header fields are read whole, their folds included, and kept or dropped whole. The
// header ends where a line is neither a field nor a fold, as mail servers' own
// submission programs read it.
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

const KnownField* findKnownField(std::string_view name) {
  for (const KnownField& field : kKnownFields) {
    if (sameFieldName(field.name, name)) return &field;
  }
  return nullptr;
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Printable characters but the colon (RFC 5322 ftext).
bool isNameCharacter(char c) { return c >= 33 && c <= 126 && c != ':'; }

// The length of the field name that begins `line`, if it is one: a name, optional
// blanks (obsolete syntax), then a colon.
std::optional<std::size_t> fieldNameLength(std::string_view line) {
  std::size_t length = 0;
  while (length < line.size() && isNameCharacter(line[length])) ++length;
  if (length == 0) return std::nullopt;
  std::size_t colon = length;
  while (colon < line.size() && isBlank(line[colon])) ++colon;
  if (colon == line.size() || line[colon] != ':') return std::nullopt;
  return length;
}

enum class LineKind { kField, kContinuation, kEmpty, kFullStop, kOther };

// A line as it goes out: its line end removed and every other CR made a blank.
void asSent(std::string& line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  std::replace(line.begin(), line.end(), '\r', ' ');
}

// Judges a line by its first piece, read as it will go out.
LineKind classify(const LinePiece& piece) {
  if (isFullStopLine(piece)) return LineKind::kFullStop;
  std::string text(piece.text);
  if (piece.endsLine) asSent(text);
  std::replace(text.begin(), text.end(), '\r', ' ');
  if (text.empty()) return piece.endsLine ? LineKind::kEmpty : LineKind::kOther;
  if (isBlank(text.front())) return LineKind::kContinuation;
  return fieldNameLength(text) ? LineKind::kField : LineKind::kOther;
}

// One field being read: its wire text, name, and value with the folds taken out.
struct Field {
  HeaderField wire;
  std::string value;
};

class Scanner {
 public:
  Scanner(LineReader& input, bool takeRecipients, std::size_t limit, bool fullStopEnds)
      : input_(input),
        takeRecipients_(takeRecipients),
        fullStopEnds_(fullStopEnds),
        budget_(limit) {}

  HeaderScan run() {
    std::optional<Field> field;
    while (std::optional<LinePiece> piece = input_.peek()) {
      LineKind kind = classify(*piece);
      if (kind == LineKind::kContinuation && !field) kind = LineKind::kOther;
      if (kind == LineKind::kFullStop && !fullStopEnds_) kind = LineKind::kOther;
      if (kind == LineKind::kOther) {
        scan_.end = HeaderEnd::kBodyLine;
        break;
      }
      if (kind == LineKind::kEmpty || kind == LineKind::kFullStop) {
        input_.next();
        scan_.end = kind == LineKind::kEmpty ? HeaderEnd::kEmptyLine : HeaderEnd::kFullStop;
        break;
      }
      std::optional<std::string> line = readLine();
      if (!line) break;
      if (kind == LineKind::kField) {
        if (field) finish(*field);
        field = startField(*line);
      } else if (line->find_first_not_of(" \t") != std::string::npos) {
        // A line of blanks alone would read as the header's end to some readers: dropped.
        field->wire.text += *line + "\r\n";
        field->value += *line;
      }
    }
    if (field && !scan_.tooLarge) finish(*field);
    scan_.inputFailed = input_.failed();
    return std::move(scan_);
  }

 private:
  // The whole line, its line end removed and each other CR made a blank; std::nullopt
  // when the budget ran out.
  std::optional<std::string> readLine() {
    std::string line;
    while (std::optional<LinePiece> piece = input_.next()) {
      if (piece->text.size() + 2 > budget_) {
        scan_.tooLarge = true;
        return std::nullopt;
      }
      budget_ -= piece->text.size() + (piece->endsLine ? 1 : 0);
      line.append(piece->text);
      if (piece->endsLine) break;
    }
    asSent(line);
    return line;
  }

  static Field startField(const std::string& line) {
    std::size_t nameLength = *fieldNameLength(line);
    Field field;
    field.wire.name = line.substr(0, nameLength);
    field.wire.text = line + "\r\n";
    field.value = line.substr(line.find(':') + 1);
    return field;
  }

  void finish(Field& field) {
    if (takeRecipients_) {
      if (const KnownField* known = findKnownField(field.wire.name)) {
        std::vector<std::string> addresses = parseAddressList(field.value);
        if (known->role == FieldRole::kSender) {
          if (!addresses.empty()) scan_.sender = addresses.front();
        } else {
          std::move(addresses.begin(), addresses.end(), std::back_inserter(scan_.recipients));
        }
        // Bcc recipients get the message, but nobody learns of them.
        if (known->role == FieldRole::kHiddenRecipients) return;
      }
    }
    scan_.header.fields.push_back(std::move(field.wire));
  }

  LineReader& input_;
  bool takeRecipients_;
  bool fullStopEnds_;
  std::size_t budget_;
  HeaderScan scan_;
};

}  // namespace

bool sameFieldName(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; };
    return lower(x) == lower(y);
  });
}

bool HeaderBlock::hasField(std::string_view name) const {
  return std::any_of(fields.begin(), fields.end(),
                     [name](const HeaderField& field) { return sameFieldName(field.name, name); });
}

HeaderScan scanHeader(LineReader& input, bool takeRecipients, std::size_t limit,
                      bool fullStopEnds) {
  return Scanner(input, takeRecipients, limit, fullStopEnds).run();
}

}  // namespace larkpost
