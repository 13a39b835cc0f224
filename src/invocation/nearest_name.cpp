// Typos in option names and settings keys are short and few: a two-edit bound catches
// "--securty" and "Sever" without suggesting unrelated names for real words.
#include "invocation/nearest_name.h"

#include <algorithm>
#include <vector>

#include "core/ascii_case.h"

namespace larkpost {
namespace {

constexpr std::size_t kLargestSuggestedDistance = 2;
// Names longer than this are no typo of a known name; the bound also caps the work.
constexpr std::size_t kLongestComparedName = 64;

}  // namespace

std::size_t editDistance(std::string_view a, std::string_view b) {
  // Optimal string alignment: three rows of the table are enough.
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t cost = lowerLetter(a[i - 1]) == lowerLetter(b[j - 1]) ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && lowerLetter(a[i - 1]) == lowerLetter(b[j - 2]) &&
          lowerLetter(a[i - 2]) == lowerLetter(b[j - 1])) {
        current[j] = std::min(current[j], before[j - 2] + 1);
      }
    }
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::optional<std::string_view> nearestName(std::string_view written,
                                            std::span<const std::string_view> known) {
  if (written.size() > kLongestComparedName) return std::nullopt;
  std::optional<std::string_view> best;
  std::size_t bestDistance = kLargestSuggestedDistance + 1;
  for (std::string_view name : known) {
    std::size_t distance = editDistance(written, name);
    if (distance > 0 && distance < bestDistance) {
      best = name;
      bestDistance = distance;
    }
  }
  return best;
}

}  // namespace larkpost
