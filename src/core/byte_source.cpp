// The program's byte sources.
#include "core/byte_source.h"

#include <algorithm>

namespace larkpost {

std::ptrdiff_t StandardInput::read(std::span<char> into) {
  return platform::readStandardInput(into);
}

std::ptrdiff_t MemorySource::read(std::span<char> into) {
  std::size_t count = std::min(into.size(), bytes_.size() - at_);
  std::copy_n(bytes_.data() + at_, count, into.data());
  at_ += count;
  return static_cast<std::ptrdiff_t>(count);
}

}  // namespace larkpost
