// The Windows token store: DPAPI encrypts the content for the current user, so the file
// is useless to anyone else even where folder permissions are loose; MoveFileEx makes a
// write all or nothing; LockFileEx serialises refreshes between runs.
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "platform/protected_file.h"
#include "platform/win32_errors.h"
#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

constexpr DWORD kLongestProtectedFile = 256 * 1024;

struct HandleClose {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using HandlePtr = std::unique_ptr<void, HandleClose>;

std::string lastErrorText() { return systemErrorText(GetLastError()); }

bool makeFolder(const std::wstring& path, std::string& error) {
  if (CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) return true;
  error = "could not create " + utf16ToUtf8(path) + ": " + lastErrorText();
  return false;
}

std::optional<std::string> transform(bool protect, std::string_view input, std::string& error) {
  DATA_BLOB in{static_cast<DWORD>(input.size()),
               reinterpret_cast<BYTE*>(const_cast<char*>(input.data()))};
  DATA_BLOB out{};
  BOOL done = protect ? CryptProtectData(&in, L"Larkpost", nullptr, nullptr, nullptr,
                                         CRYPTPROTECT_UI_FORBIDDEN, &out)
                      : CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr,
                                           CRYPTPROTECT_UI_FORBIDDEN, &out);
  if (!done) {
    error = lastErrorText();
    return std::nullopt;
  }
  std::string result(reinterpret_cast<const char*>(out.pbData), out.cbData);
  wipeMemory(out.pbData, out.cbData);
  LocalFree(out.pbData);
  return result;
}

}  // namespace

std::optional<std::string> protectedFolder(std::string& error) {
  std::vector<wchar_t> buffer(32768);
  DWORD size = GetEnvironmentVariableW(L"LOCALAPPDATA", buffer.data(), static_cast<DWORD>(buffer.size()));
  if (size == 0 || size >= buffer.size()) {
    error = "LOCALAPPDATA is not set";
    return std::nullopt;
  }
  std::wstring folder(buffer.data(), size);
  folder += L"\\Larkpost";
  if (!makeFolder(folder, error)) return std::nullopt;
  return utf16ToUtf8(folder);
}

std::string protectedPath(const std::string& folder, std::string_view name) {
  return folder + "\\" + std::string(name);
}

ProtectedRead readProtectedFile(const std::string& path) {
  ProtectedRead result;
  HandlePtr file(CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) {
    file.release();
    DWORD code = GetLastError();
    result.status = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND
                        ? ProtectedRead::Status::kMissing
                        : ProtectedRead::Status::kFailed;
    result.error = systemErrorText(code);
    return result;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size) || size.QuadPart > kLongestProtectedFile) {
    result.error = "unreadable or too large";
    return result;
  }
  std::string sealed(static_cast<std::size_t>(size.QuadPart), '\0');
  DWORD got = 0;
  if (!sealed.empty() &&
      (!ReadFile(file.get(), sealed.data(), static_cast<DWORD>(sealed.size()), &got, nullptr) ||
       got != sealed.size())) {
    result.error = lastErrorText();
    return result;
  }
  std::optional<std::string> content = transform(false, sealed, result.error);
  if (!content) {
    result.error = "could not be decrypted for this user: " + result.error;
    return result;
  }
  result.content = std::move(*content);
  result.status = ProtectedRead::Status::kRead;
  return result;
}

bool writeProtectedFile(const std::string& path, std::string_view content, std::string& error) {
  std::optional<std::string> sealed = transform(true, content, error);
  if (!sealed) {
    error = "could not encrypt: " + error;
    return false;
  }
  std::wstring target = widePath(path);
  std::wstring temporary = target + L".new." + std::to_wstring(processId());
  {
    HandlePtr file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
      file.release();
      error = "could not create " + utf16ToUtf8(temporary) + ": " + lastErrorText();
      return false;
    }
    DWORD put = 0;
    if (!WriteFile(file.get(), sealed->data(), static_cast<DWORD>(sealed->size()), &put, nullptr) ||
        put != sealed->size() || !FlushFileBuffers(file.get())) {
      error = "could not write " + utf16ToUtf8(temporary) + ": " + lastErrorText();
      file.reset();
      DeleteFileW(temporary.c_str());
      return false;
    }
  }
  if (!MoveFileExW(temporary.c_str(), target.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    error = "could not replace " + path + ": " + lastErrorText();
    DeleteFileW(temporary.c_str());
    return false;
  }
  return true;
}

ProtectedLock::~ProtectedLock() {
  if (handle_ != -1) CloseHandle(reinterpret_cast<HANDLE>(handle_));  // releases the lock
}

std::optional<ProtectedLock> lockProtectedFile(const std::string& path, std::int64_t timeoutMillis,
                                               std::string& error) {
  std::wstring lockPath = widePath(path + ".lock");
  HANDLE handle = CreateFileW(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = "could not open " + path + ".lock: " + lastErrorText();
    return std::nullopt;
  }
  ProtectedLock lock(reinterpret_cast<std::intptr_t>(handle));
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  for (;;) {
    OVERLAPPED whole{};
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &whole)) {
      return lock;
    }
    if (GetLastError() != ERROR_LOCK_VIOLATION && GetLastError() != ERROR_IO_PENDING) {
      error = "could not lock " + path + ".lock: " + lastErrorText();
      return std::nullopt;
    }
    if (monotonicMillis() >= deadline) {
      error = "another run held " + path + ".lock too long";
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace larkpost::platform
