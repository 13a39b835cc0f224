// An output stream into a file only its owner may read, for the trace and the report:
// the trace can hold the whole message, and neither is handed to commands Larkpost runs.
#ifndef LARKPOST_INVOCATION_PRIVATE_FILE_STREAM_H_
#define LARKPOST_INVOCATION_PRIVATE_FILE_STREAM_H_

#include <optional>
#include <ostream>
#include <streambuf>
#include <string>

#include "platform/platform.h"

namespace larkpost {

// Writes each piece to the file at once, unbuffered: callers already write whole lines.
class FileWriteBuffer final : public std::streambuf {
 public:
  explicit FileWriteBuffer(platform::File* file) : file_(file) {}

 private:
  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    if (!file_ || !file_->write(std::string_view(bytes, static_cast<std::size_t>(count)))) return 0;
    return count;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

  platform::File* file_;
};

class PrivateFileStream final : public std::ostream {
 public:
  // Creates the file at `path`, or empties or appends to it (see
  // platform::createPrivateFile); check isOpen(), and error() for why not.
  explicit PrivateFileStream(const std::string& path,
                             platform::ExistingFile existing = platform::ExistingFile::kEmpty)
      : std::ostream(nullptr),
        file_(platform::createPrivateFile(path, error_, existing)),
        buffer_(file_ ? &*file_ : nullptr) {
    rdbuf(&buffer_);
    if (!file_) setstate(std::ios::badbit);
  }
  PrivateFileStream(const PrivateFileStream&) = delete;
  PrivateFileStream& operator=(const PrivateFileStream&) = delete;

  bool isOpen() const { return file_.has_value(); }
  const std::string& error() const { return error_; }

 private:
  std::string error_;
  std::optional<platform::File> file_;
  FileWriteBuffer buffer_;
};

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_PRIVATE_FILE_STREAM_H_
