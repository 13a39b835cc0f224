// Reads recipient list files: the one named with -l, and the one the header scan writes.
#include "smtp/recipient_list.h"

#include <fstream>
#include <string_view>

namespace larkpost {
namespace {

constexpr std::string_view kBlanks = " \t\r";
constexpr std::size_t kShortestAddress = 2;

std::string_view trim(std::string_view text) {
  std::size_t first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  std::size_t last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

}  // namespace

std::vector<std::string> readRecipientList(std::istream& list) {
  std::vector<std::string> addresses;
  std::string line;
  while (std::getline(list, line)) {
    std::string_view address = trim(line);
    if (address.size() >= kShortestAddress) addresses.emplace_back(address);
  }
  return addresses;
}

std::vector<std::string> readRecipientFile(const std::string& path) {
  std::ifstream list(path);  // text mode: Windows line ends and Ctrl-Z read as they should
  if (!list) return {};
  return readRecipientList(list);
}

bool writeRecipientFile(const std::string& path, const std::vector<std::string>& addresses) {
  std::ofstream list(path, std::ios::trunc);
  for (const std::string& address : addresses) list << address << '\n';
  list.close();
  return !list.fail();
}

}  // namespace larkpost
