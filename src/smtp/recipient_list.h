// RecipientList: the recipient list file, one address per line.
#ifndef LARKPOST_SMTP_RECIPIENT_LIST_H_
#define LARKPOST_SMTP_RECIPIENT_LIST_H_

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/byte_source.h"
#include "platform/platform.h"

namespace larkpost {

// No address is this long; a longer line is kept cut to one byte more, which no command
// can carry, so it is refused when its turn comes.
constexpr std::size_t kLongestListLine = 4096;

struct RecipientListRead {
  std::vector<std::string> addresses;
  bool failed = false;  // reading stopped at an error; the addresses are incomplete
};

enum class ListForm {
  kWritten,  // by a person: comments and "Name <address>" lines are understood
  kPlain,    // by the program, one address a line and nothing else
};

// The addresses of a list, in order: each line whole, with blanks, tabs and CR around it
// trimmed; lines shorter than 2 characters are skipped, and so is a UTF-8 byte-order mark
// at the start. In a written list, a line whose first non-blank character is '#' is a
// comment, and a line ending in '>' gives the address between the last '<' and that '>'.
RecipientListRead readRecipientList(ByteSource& list, ListForm form = ListForm::kWritten);

// Lists longer than this are not read; a million addresses fit.
constexpr std::size_t kLongestListFile = std::size_t{64} << 20;

// The same for the file at `path`, read in binary mode and decoded as every text file is
// (UTF-16 or UTF-8 with a byte-order mark, valid UTF-8, else the local code page: see
// platform::textFileToUtf8); std::nullopt when nothing is there, failed when what is
// there cannot be opened or read as a file, or is longer than kLongestListFile.
std::optional<RecipientListRead> readRecipientFile(const std::string& path);

// Writes `addresses` to `file`, one a line; false on failure.
bool writeRecipientList(platform::File& file, const std::vector<std::string>& addresses);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_RECIPIENT_LIST_H_
