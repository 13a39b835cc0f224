// ByteSource: a stream of input bytes (standard input, the attachment file, or a string
// in tests), and the real sources the program reads.
#ifndef LARKPOST_COMPOSE_BYTE_SOURCE_H_
#define LARKPOST_COMPOSE_BYTE_SOURCE_H_

#include <cstddef>
#include <cstdio>
#include <memory>
#include <span>
#include <string>

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

// A file read in binary mode, byte for byte.
class FileSource final : public ByteSource {
 public:
  // nullptr when the file cannot be opened.
  static std::unique_ptr<FileSource> open(const std::string& path);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;
  std::ptrdiff_t read(std::span<char> into) override;

 private:
  explicit FileSource(std::FILE* file) : file_(file) {}
  std::FILE* file_;
};

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_BYTE_SOURCE_H_
