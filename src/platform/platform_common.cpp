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
// to each; and once, so that a file changed during the run cannot give a mix of two.
ProfileFile readProfileFile(const std::string& path) {
  FileContents file = readWholeFile(path, kLongestSettingsFile);
  ProfileFile profile{accessOf(file.status), {}};
  if (profile.access == ProfileAccess::kReadable) profile.text = textFileToUtf8(file.bytes);
  return profile;
}

}  // namespace larkpost::platform
