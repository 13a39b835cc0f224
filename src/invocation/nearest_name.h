// Suggestions for mistyped names: the known name nearest to what was written.
#ifndef LARKPOST_INVOCATION_NEAREST_NAME_H_
#define LARKPOST_INVOCATION_NEAREST_NAME_H_

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace larkpost {

// The number of single-character insertions, deletions, substitutions and swaps of
// neighbours that turn `a` into `b`; basic Latin letters compare in any case.
std::size_t editDistance(std::string_view a, std::string_view b);

// The first of `known` within two edits of `written` and nearest to it, or std::nullopt.
// A name the same as `written` is no suggestion.
std::optional<std::string_view> nearestName(std::string_view written,
                                            std::span<const std::string_view> known);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_NEAREST_NAME_H_
