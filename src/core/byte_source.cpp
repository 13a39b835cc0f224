// The program's byte sources.
#include "core/byte_source.h"

namespace larkpost {

std::ptrdiff_t StandardInput::read(std::span<char> into) {
  return platform::readStandardInput(into);
}

std::unique_ptr<TextFileSource> TextFileSource::open(const std::string& path) {
  std::FILE* file = platform::openFileForReading(path);
  if (!file) return nullptr;
  return std::unique_ptr<TextFileSource>(new TextFileSource(file));
}

TextFileSource::~TextFileSource() { std::fclose(file_); }

std::ptrdiff_t TextFileSource::read(std::span<char> into) {
  std::size_t got = std::fread(into.data(), 1, into.size(), file_);
  if (got > 0) return static_cast<std::ptrdiff_t>(got);
  return std::ferror(file_) ? -1 : 0;
}

}  // namespace larkpost
