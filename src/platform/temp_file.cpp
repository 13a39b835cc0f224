// The parts of TempFile that do not touch the operating system.
#include <utility>

#include "platform/platform.h"

namespace larkpost::platform {

TempFile::TempFile(std::string path) : path_(std::move(path)) {}

TempFile::TempFile(TempFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempFile& TempFile::operator=(TempFile&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
  }
  return *this;
}

TempFile::~TempFile() { remove(); }

}  // namespace larkpost::platform
