// Reads recipient list files: the one named with -l, and the one the header scan writes.
// Lines are read in bounded pieces, so one enormous line costs no more memory than a
// short one.
#include "smtp/recipient_list.h"

#include <algorithm>
#include <string_view>

#include "core/line_reader.h"

namespace larkpost {
namespace {

// Ctrl-Z too: old editors end a file with one, and lists are read as they are stored.
constexpr std::string_view kBlanks = " \t\r\x1A";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::size_t kShortestAddress = 2;

std::string_view trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

// "Name <address>" gives the address in the brackets; a line without them is the
// address itself.
std::string_view bracketedAddress(std::string_view line) {
  if (!line.ends_with('>')) return line;
  std::size_t open = line.rfind('<');
  if (open == std::string_view::npos) return line;
  return trim(line.substr(open + 1, line.size() - open - 2));
}

}  // namespace

RecipientListRead readRecipientList(ByteSource& list, ListForm form) {
  RecipientListRead read;
  LineReader lines(list);
  std::string line;
  bool first = true;
  while (std::optional<LinePiece> piece = lines.next()) {
    // Keeps one byte past the bound, so an over-long line never passes as a short one.
    std::size_t room = kLongestListLine + 1 - std::min(line.size(), kLongestListLine + 1);
    line.append(piece->text.substr(0, room));
    if (!piece->endsLine && !lines.failed()) {
      std::optional<LinePiece> more = lines.peek();
      if (more && !more->firstPiece) continue;
    }
    // A cut line stays as it is: trimmed, it could pass for a short address it is not.
    std::string_view address = line.size() > kLongestListLine ? line : trim(line);
    if (first && address.starts_with(kByteOrderMark)) address = trim(address.substr(3));
    first = false;
    if (form == ListForm::kWritten && line.size() <= kLongestListLine) {
      if (address.starts_with('#')) address = {};
      address = bracketedAddress(address);
    }
    if (address.size() >= kShortestAddress) read.addresses.emplace_back(address);
    line.clear();
  }
  read.failed = lines.failed();
  return read;
}

std::optional<RecipientListRead> readRecipientFile(const std::string& path) {
  platform::FileContents file = platform::readWholeFile(path, kLongestListFile);
  using Status = platform::FileContents::Status;
  if (file.status == Status::kMissing) return std::nullopt;
  // Something is there that cannot be read (a directory, a file held by another program):
  // the run ends rather than go on with a list it never read.
  if (file.status != Status::kRead) return RecipientListRead{{}, true};
  MemorySource text(platform::textFileToUtf8(file.bytes));
  return readRecipientList(text);
}

bool writeRecipientList(platform::File& file, const std::vector<std::string>& addresses) {
  std::string text;
  for (const std::string& address : addresses) text += address + "\n";
  return file.write(text) && file.rewind();
}

}  // namespace larkpost
