// Platform services that the standard library already gives the same way everywhere, and
// those built on the others alone.
#include <utility>

#include "platform/platform.h"
#include "platform/profile_format.h"

namespace larkpost::platform {

File::File(File&& other) noexcept : handle_(std::exchange(other.handle_, kClosed)) {}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = std::exchange(other.handle_, kClosed);
  }
  return *this;
}

File::~File() { close(); }

namespace {

FileContents::Status readAll(File& file, std::size_t limit, std::string& bytes) {
  constexpr std::size_t kChunk = 64 * 1024;
  for (;;) {
    std::size_t had = bytes.size();
    bytes.resize(had + kChunk);
    std::ptrdiff_t got = file.read(std::span<char>(bytes).subspan(had));
    if (got < 0) return FileContents::Status::kFailed;
    bytes.resize(had + static_cast<std::size_t>(got));
    if (got == 0) return FileContents::Status::kRead;
    if (bytes.size() > limit) return FileContents::Status::kFailed;
  }
}

ProfileAccess accessOf(FileContents::Status status) {
  switch (status) {
    case FileContents::Status::kRead:
      return ProfileAccess::kReadable;
    case FileContents::Status::kMissing:
      return ProfileAccess::kMissing;
    case FileContents::Status::kNotOpened:
    case FileContents::Status::kFailed:
      break;
  }
  return ProfileAccess::kUnreadable;
}

}  // namespace

FileContents readWholeFile(const std::string& path, std::size_t limit) {
  OpenedFile opened = openRegularFile(path);
  if (opened.failure == OpenedFile::Failure::kMissing) return {};
  if (!opened.file) return {FileContents::Status::kNotOpened, {}};
  FileContents contents;
  contents.status = readAll(*opened.file, limit, contents.bytes);
  if (contents.status != FileContents::Status::kRead) contents.bytes.clear();
  return contents;
}

// Both builds read the file with the same reader, so one file gives the same settings
// to each; the Windows profile functions would read it in the ANSI code page.
ProfileAccess profileAccess(const std::string& path) {
  return accessOf(readWholeFile(path, kLongestSettingsFile).status);
}

std::optional<std::string> profileString(const std::string& path, std::string_view section,
                                         std::string_view key) {
  FileContents file = readWholeFile(path, kLongestSettingsFile);
  if (file.status != FileContents::Status::kRead) return std::nullopt;
  return findProfileValue(textFileToUtf8(file.bytes), section, key);
}

std::int32_t profileInt(const std::string& path, std::string_view section, std::string_view key,
                        std::int32_t fallback) {
  // Read from the text on both platforms: the Windows API's own reading takes "0x19" for
  // 25 and looks at no more than 29 characters, so one file would give two numbers.
  std::optional<std::string> text = profileString(path, section, key);
  if (!text) return fallback;
  return profileInteger(*text).value_or(fallback);
}

std::optional<std::string> profileFileText(const std::string& path) {
  FileContents file = readWholeFile(path, kLongestSettingsFile);
  if (file.status != FileContents::Status::kRead) return std::nullopt;
  return textFileToUtf8(file.bytes);
}

}  // namespace larkpost::platform
