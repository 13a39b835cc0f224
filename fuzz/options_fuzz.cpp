// Fuzzes the command line: any arguments give a settled JobSettings and only the
// messages the options define, each ending its line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "invocation/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Arguments are separated by NUL bytes, as the system hands them over.
  std::vector<std::string> args{"larkpost"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current += static_cast<char>(data[i]);
    }
  }
  args.push_back(current);
  larkpost::JobSettings settings;
  std::ostringstream out;
  larkpost::FileFinder finder = [](const std::string& path) -> std::optional<larkpost::FoundFile> {
    if (path.size() % 2) return std::nullopt;
    return larkpost::FoundFile{path, nullptr};
  };
  larkpost::OptionsOutcome outcome = larkpost::parseOptions(args, 1, settings, finder, out);
  if (outcome.firstRecipient > args.size()) std::abort();
  if (settings.attach && settings.attachment.path.empty() && settings.attachment.name.size() % 2) {
    std::abort();
  }
  for (const larkpost::Attachment& found : settings.moreAttachments) {
    if (found.name.size() % 2) std::abort();  // the finder found only even names
  }
  // Echoed arguments never carry a control character to the terminal.
  for (char c : out.str()) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 && c != '\n' && c != '\b') std::abort();
  }
  return 0;
}
