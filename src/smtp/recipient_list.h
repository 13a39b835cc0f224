// RecipientList: the recipient list file, one address per line.
#ifndef LARKPOST_SMTP_RECIPIENT_LIST_H_
#define LARKPOST_SMTP_RECIPIENT_LIST_H_

#include <istream>
#include <string>
#include <vector>

namespace larkpost {

// The addresses of a list, in order: each line whole, whatever its length, with blanks,
// tabs and CR around it trimmed; lines shorter than 2 characters are skipped.
std::vector<std::string> readRecipientList(std::istream& list);

// The same for the file at `path`; an empty list when it cannot be opened.
std::vector<std::string> readRecipientFile(const std::string& path);

// Writes `addresses` to the file at `path`, one a line, in text mode; false on failure.
bool writeRecipientFile(const std::string& path, const std::vector<std::string>& addresses);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_RECIPIENT_LIST_H_
