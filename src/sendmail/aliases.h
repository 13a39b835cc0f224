// The aliases file ("name: address, address"), and what a recipient without a domain
// stands for: its alias, else the default entry, else itself in the qualifying domain.
#ifndef LARKPOST_SENDMAIL_ALIASES_H_
#define LARKPOST_SENDMAIL_ALIASES_H_

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

// No aliases file needs more; past it the file is refused.
constexpr std::size_t kMaxAliasesBytes = std::size_t{1} << 20;

struct Aliases {
  std::map<std::string, std::vector<std::string>> entries;  // by lower-cased name
  std::vector<std::string> fallback;  // the "default" entry's addresses; empty when none
};

// Reads the file's text: one entry a line, "name: address[, address...]"; a line that
// begins with a blank or a tab continues the entry above; '#' begins a comment line.
// Names compare in any letter case; the first entry of a name counts. Commands ("|..."),
// files ("/...") and includes (":include:...") cannot be delivered to and are left out;
// so are lines without a colon.
Aliases parseAliases(std::string_view text);

// The addresses `recipient` stands for, each once, in order. One with '@' is itself.
// Another is looked up (once: what an alias names is not looked up again), and every
// address still without '@' is qualified with '@' and `qualifyDomain`. std::nullopt
// when one needs qualifying and `qualifyDomain` is empty.
std::optional<std::vector<std::string>> expandRecipient(const Aliases& aliases,
                                                        std::string_view recipient,
                                                        std::string_view qualifyDomain);

}  // namespace larkpost

#endif  // LARKPOST_SENDMAIL_ALIASES_H_
