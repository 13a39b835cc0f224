// ByteSource: a stream of input bytes (standard input, the attachment, a list file, or a
// string in tests), and the real sources the program reads.
#ifndef LARKPOST_CORE_BYTE_SOURCE_H_
#define LARKPOST_CORE_BYTE_SOURCE_H_

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace larkpost {

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Bytes read into `into` (at least one), 0 at the end of the input, -1 on an error.
  virtual std::ptrdiff_t read(std::span<char> into) = 0;
};

class StandardInput final : public ByteSource {
 public:
  std::ptrdiff_t read(std::span<char> into) override;
};

// An open file, read byte for byte; the file must outlive the source.
class FileSource final : public ByteSource {
 public:
  explicit FileSource(platform::File& file) : file_(file) {}
  std::ptrdiff_t read(std::span<char> into) override { return file_.read(into); }

 private:
  platform::File& file_;
};

// Bytes already in memory.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::string bytes) : bytes_(std::move(bytes)) {}
  std::ptrdiff_t read(std::span<char> into) override;

 private:
  std::string bytes_;
  std::size_t at_ = 0;
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_BYTE_SOURCE_H_
