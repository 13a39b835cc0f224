// The Windows implementation of the platform services: the profile API for the settings
// file (the reference for how the other builds read it), self-deleting temporary files,
// Winsock with select() for time limits.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <climits>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/win32_errors.h"

namespace larkpost::platform {

// The system's text for an error code, without the line end it comes with.
std::string systemErrorText(unsigned long code) {
  char* text = nullptr;
  DWORD length = FormatMessageA(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text ? std::string(text, length) : std::string();
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

namespace {

// --- Settings file ---------------------------------------------------------------

// The profile API looks for a name without a directory in the Windows directory; the
// settings file named on the command line is meant relative to the current one.
std::optional<std::string> absolutePath(const std::string& path) {
  if (path.empty()) return std::nullopt;
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    DWORD length = GetFullPathNameA(path.c_str(), static_cast<DWORD>(buffer.size()),
                                    buffer.data(), nullptr);
    if (length == 0) return std::nullopt;
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length + 1);
  }
}

// The value, or `absent` itself when the key is missing.
std::string readProfileText(const std::string& file, const std::string& section,
                            const std::string& key, const char* absent) {
  std::vector<char> buffer(256);
  for (;;) {
    DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), absent, buffer.data(),
                                            static_cast<DWORD>(buffer.size()), file.c_str());
    // A value that does not fit comes back cut to one less than the buffer; none is
    // longer than the file it comes from.
    if (length + 1 < buffer.size() || buffer.size() >= kLongestSettingsFile) {
      return std::string(buffer.data(), length);
    }
    buffer.resize(buffer.size() * 2);
  }
}

// --- Names -----------------------------------------------------------------------

// File names come from the system in the ANSI code page; the rest of the program
// treats names as UTF-8.
std::string ansiToUtf8(const char* text) {
  int wideLength = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  if (wideLength <= 0) return text;
  std::wstring wide(static_cast<std::size_t>(wideLength), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), wideLength);
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return text;
  std::string utf8(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), -1, utf8.data(), length, nullptr, nullptr);
  utf8.resize(static_cast<std::size_t>(length - 1));  // the count included the final NUL
  return utf8;
}

// MIME names of the ANSI code pages Windows uses, as mail programs there label them.
struct CodePageName {
  UINT codePage;
  const char* name;
};
constexpr CodePageName kCodePageNames[] = {
    {874, "windows-874"},   {932, "shift_jis"},     {936, "gb2312"},        {949, "ks_c_5601-1987"},
    {950, "big5"},          {1250, "windows-1250"}, {1251, "windows-1251"}, {1252, "windows-1252"},
    {1253, "windows-1253"}, {1254, "windows-1254"}, {1255, "windows-1255"}, {1256, "windows-1256"},
    {1257, "windows-1257"}, {1258, "windows-1258"}, {20127, "us-ascii"},    {28591, "iso-8859-1"},
    {54936, "gb18030"},     {65001, "utf-8"},
};

// --- Network ---------------------------------------------------------------------

// Time left until `deadline`, as select() takes it; zero once it has passed.
timeval timeLeft(std::int64_t deadline) {
  std::int64_t left = deadline - monotonicMillis();
  if (left < 0) left = 0;
  if (left > 1000000000) left = 1000000000;
  timeval limit{};
  limit.tv_sec = static_cast<long>(left / 1000);
  limit.tv_usec = static_cast<long>(left % 1000) * 1000;
  return limit;
}

enum class Wait { kRead, kWrite, kConnect };
enum class Waited { kReady, kTimedOut, kFailed };

// Waits until the socket can be read or written, or a connect has ended either way.
Waited waitFor(SOCKET socket, Wait wait, std::int64_t deadline) {
  fd_set ready;
  fd_set failed;
  FD_ZERO(&ready);
  FD_ZERO(&failed);
  FD_SET(socket, &ready);
  FD_SET(socket, &failed);
  timeval limit = timeLeft(deadline);
  // Winsock reports a refused connect only in the exception set; on a connected socket
  // that set would signal urgent data, which SMTP does not use.
  int count = wait == Wait::kRead ? ::select(0, &ready, nullptr, nullptr, &limit)
              : wait == Wait::kWrite ? ::select(0, nullptr, &ready, nullptr, &limit)
                                     : ::select(0, nullptr, &ready, &failed, &limit);
  if (count > 0) return Waited::kReady;
  return count == 0 ? Waited::kTimedOut : Waited::kFailed;
}

bool wouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }

int chunkSize(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

class WinsockSocket final : public Socket {
 public:
  explicit WinsockSocket(SOCKET socket) : socket_(socket) {}
  ~WinsockSocket() override { ::closesocket(socket_); }
  WinsockSocket(const WinsockSocket&) = delete;
  WinsockSocket& operator=(const WinsockSocket&) = delete;

  IoStatus sendAll(std::string_view bytes, std::int64_t deadline) override {
    while (!bytes.empty()) {
      int sent = ::send(socket_, bytes.data(), chunkSize(bytes.size()), 0);
      if (sent > 0) {
        bytes.remove_prefix(static_cast<std::size_t>(sent));
        continue;
      }
      if (sent == SOCKET_ERROR && wouldBlock()) {
        Waited waited = waitFor(socket_, Wait::kWrite, deadline);
        if (waited == Waited::kTimedOut) return IoStatus::kTimedOut;
        if (waited == Waited::kFailed) return IoStatus::kClosed;
        continue;
      }
      return IoStatus::kClosed;
    }
    return IoStatus::kOk;
  }

  ReceiveResult receive(std::span<char> into, std::int64_t deadline) override {
    for (;;) {
      int got = ::recv(socket_, into.data(), chunkSize(into.size()), 0);
      if (got > 0) return {IoStatus::kOk, static_cast<std::size_t>(got)};
      if (got == 0 || !wouldBlock()) return {IoStatus::kClosed, 0};
      Waited waited = waitFor(socket_, Wait::kRead, deadline);
      if (waited == Waited::kTimedOut) return {IoStatus::kTimedOut, 0};
      if (waited == Waited::kFailed) return {IoStatus::kClosed, 0};
    }
  }

 private:
  SOCKET socket_;
};

// Connects one resolved address within the time limit; INVALID_SOCKET when it does not.
// The socket, or INVALID_SOCKET with `error` set to the Winsock error code for why.
SOCKET connectAddress(const addrinfo& address, std::int64_t timeoutMillis, int& error) {
  SOCKET socket = ::socket(address.ai_family, address.ai_socktype, address.ai_protocol);
  error = WSAGetLastError();
  if (socket == INVALID_SOCKET) return INVALID_SOCKET;
  u_long nonBlocking = 1;
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  int result = ::ioctlsocket(socket, FIONBIO, &nonBlocking);
  if (result == 0) {
    result = ::connect(socket, address.ai_addr, static_cast<int>(address.ai_addrlen));
  }
  error = result == SOCKET_ERROR ? WSAGetLastError() : 0;
  if (result == SOCKET_ERROR && error == WSAEWOULDBLOCK) {
    error = WSAETIMEDOUT;
    int length = sizeof error;
    if (waitFor(socket, Wait::kConnect, deadline) == Waited::kReady) {
      ::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
    }
    result = error == 0 ? 0 : SOCKET_ERROR;
  }
  if (result != 0) {
    ::closesocket(socket);
    return INVALID_SOCKET;
  }
  // Larkpost gathers its own writes, so waiting for more data before sending only
  // delays the last packet of each command.
  BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  return socket;
}

}  // namespace

void startUp() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  // Text mode on both ends is part of the program's contract (CR LF and Ctrl-Z on
  // input, CR LF on output), whatever mode the runtime was linked to start in.
  _setmode(0, _O_TEXT);
  _setmode(1, _O_TEXT);
}

std::string defaultSettingsPath() {
  char directory[MAX_PATH + 1] = "C:\\WINDOWS";
  UINT length = GetWindowsDirectoryA(directory, sizeof directory);
  std::string path = length > 0 && length < sizeof directory ? directory : "C:\\WINDOWS";
  if (path.back() != '\\') path += '\\';
  return path + "larkpost.ini";
}

ProfileAccess profileAccess(const std::string& path) {
  std::optional<std::string> file = absolutePath(path);
  if (!file) return ProfileAccess::kUnreadable;
  // A directory cannot be opened this way either: that takes FILE_FLAG_BACKUP_SEMANTICS.
  HANDLE handle = CreateFileA(file->c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND
               ? ProfileAccess::kMissing
               : ProfileAccess::kUnreadable;
  }
  LARGE_INTEGER size{};
  bool tooLong =
      GetFileSizeEx(handle, &size) && size.QuadPart > static_cast<LONGLONG>(kLongestSettingsFile);
  CloseHandle(handle);
  return tooLong ? ProfileAccess::kUnreadable : ProfileAccess::kReadable;
}

std::optional<std::string> profileString(const std::string& path, std::string_view section,
                                         std::string_view key) {
  // The API itself would read a file of any size, and take a directory for an empty file.
  if (profileAccess(path) != ProfileAccess::kReadable) return std::nullopt;
  std::optional<std::string> file = absolutePath(path);
  if (!file) return std::nullopt;
  const std::string sectionName(section);
  const std::string keyName(key);
  // The API answers a missing key with the default it was given, so a key is missing
  // only when two different defaults both come back.
  static constexpr const char* kAbsent = "<larkpost:absent>";
  static constexpr const char* kAbsentToo = "<larkpost:missing>";
  std::string value = readProfileText(*file, sectionName, keyName, kAbsent);
  if (value != kAbsent) return value;
  value = readProfileText(*file, sectionName, keyName, kAbsentToo);
  if (value == kAbsentToo) return std::nullopt;
  return value;
}

HANDLE nativeHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::ptrdiff_t File::read(std::span<char> into) {
  DWORD count = into.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(into.size());
  DWORD got = 0;
  if (!ReadFile(nativeHandle(handle_), into.data(), count, &got, nullptr)) return -1;
  return static_cast<std::ptrdiff_t>(got);
}

bool File::write(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD count = bytes.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(bytes.size());
    DWORD written = 0;
    if (!WriteFile(nativeHandle(handle_), bytes.data(), count, &written, nullptr) ||
        written == 0) {
      return false;
    }
    bytes.remove_prefix(written);
  }
  return true;
}

bool File::rewind() {
  LARGE_INTEGER start{};
  return SetFilePointerEx(nativeHandle(handle_), start, nullptr, FILE_BEGIN) != FALSE;
}

std::optional<std::uint64_t> File::size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(nativeHandle(handle_), &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

void File::close() {
  if (handle_ != kClosed) CloseHandle(nativeHandle(std::exchange(handle_, kClosed)));
}

std::optional<File> openRegularFile(const std::string& path) {
  if (path.empty()) return std::nullopt;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  // Pipes, consoles and devices are not files to attach.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    CloseHandle(file);
    return std::nullopt;
  }
  return File(reinterpret_cast<std::intptr_t>(file));
}

bool appendLocked(const std::string& path, std::string_view text, std::string& error) {
  HANDLE handle = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    error = systemErrorText(GetLastError());
    return false;
  }
  File file(reinterpret_cast<std::intptr_t>(handle));
  OVERLAPPED whole{};
  if (!LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole)) {
    error = systemErrorText(GetLastError());
    return false;
  }
  bool written = file.write(text);
  if (!written) error = systemErrorText(GetLastError());
  OVERLAPPED unlock{};
  UnlockFileEx(handle, 0, MAXDWORD, MAXDWORD, &unlock);
  return written;
}

bool systemLog(std::string_view) { return false; }

std::string storedFileName(const std::string& path) {
  WIN32_FIND_DATAA entry;
  HANDLE search = FindFirstFileA(path.c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    std::size_t separator = path.find_last_of("\\/:");
    return ansiToUtf8(separator == std::string::npos ? path.c_str()
                                                     : path.c_str() + separator + 1);
  }
  FindClose(search);
  return ansiToUtf8(entry.cFileName);
}

std::optional<File> createTemporaryFile(std::string_view prefix, std::string& error) {
  char directory[MAX_PATH + 1];
  DWORD length = GetTempPathA(sizeof directory, directory);
  if (length == 0 || length >= sizeof directory) {
    error = systemErrorText(GetLastError());
    return std::nullopt;
  }
  char name[MAX_PATH + 1];
  // Creates the file, so no other process can take the same name meanwhile.
  if (GetTempFileNameA(directory, std::string(prefix).c_str(), 0, name) == 0) {
    error = systemErrorText(GetLastError());
    return std::nullopt;
  }
  // The system deletes it when its last handle closes, however the process ends; no
  // sharing, so nobody else opens it meanwhile.
  HANDLE file = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = systemErrorText(GetLastError());
    DeleteFileA(name);
    return std::nullopt;
  }
  return File(reinterpret_cast<std::intptr_t>(file));
}

CommandOutcome runCommand(const std::string& command, std::int64_t timeoutMillis) {
  constexpr std::size_t kMostOutput = 64 * 1024;
  CommandOutcome outcome;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    outcome.error = systemErrorText(GetLastError());
    return outcome;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  // It must not read the message waiting on our standard input.
  HANDLE nothing = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // /s: cmd takes what stands between the outer quotes exactly as it is.
  std::string commandLine = "cmd /s /c \"" + command + "\"";
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (!started) {
    outcome.error = systemErrorText(GetLastError());
    CloseHandle(readEnd);
    return outcome;
  }
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  std::string read;
  char chunk[4096];
  read.reserve(kMostOutput + sizeof chunk);  // never moved: no copy of a secret left behind
  bool timedOut = false;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr)) break;  // closed
    if (available == 0) {
      if (monotonicMillis() >= deadline) {
        timedOut = true;
        break;
      }
      Sleep(10);
      continue;
    }
    DWORD got = 0;
    if (!ReadFile(readEnd, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
    if (read.size() < kMostOutput) read.append(chunk, got);
  }
  SecureZeroMemory(chunk, sizeof chunk);
  CloseHandle(readEnd);
  std::int64_t left = deadline - monotonicMillis();
  if (timedOut || WaitForSingleObject(process.hProcess, left > 0 ? static_cast<DWORD>(left) : 0) !=
                      WAIT_OBJECT_0) {
    timedOut = true;
    TerminateProcess(process.hProcess, 1);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  outcome.firstLine = read.substr(0, read.find('\n'));
  if (!outcome.firstLine.empty() && outcome.firstLine.back() == '\r') outcome.firstLine.pop_back();
  SecureZeroMemory(read.data(), read.size());
  outcome.status = timedOut ? CommandOutcome::Status::kTimedOut : CommandOutcome::Status::kExited;
  outcome.exitCode = static_cast<int>(exitCode);
  return outcome;
}

std::string localTextToUtf8(const std::string& text) { return ansiToUtf8(text.c_str()); }

std::optional<std::uint64_t> standardInputSize() {
  HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  LARGE_INTEGER size{};
  if (GetFileType(input) != FILE_TYPE_DISK || !GetFileSizeEx(input, &size)) return std::nullopt;
  return static_cast<std::uint64_t>(size.QuadPart);
}

std::string defaultCharset() {
  UINT codePage = GetACP();
  for (const CodePageName& known : kCodePageNames) {
    if (known.codePage == codePage) return known.name;
  }
  // A private name (RFC 2045) still tells the reader the truth; a wrong public one would not.
  return "x-cp" + std::to_string(codePage);
}

bool readableByOthers(const std::string& /*path*/) { return false; }

void wipeMemory(void* data, std::size_t size) { SecureZeroMemory(data, size); }

std::ptrdiff_t readStandardInput(std::span<char> into) {
  unsigned count = into.size() > INT_MAX ? INT_MAX : static_cast<unsigned>(into.size());
  int got = _read(0, into.data(), count);
  if (got >= 0) return got;
  // A pipe whose writer has gone is the end of the input, not a failure.
  if (_doserrno == ERROR_BROKEN_PIPE) return 0;
  return -1;
}

LocalTime localTimeNow() {
  // Local time and offset both come from one UTC reading, so they agree even at the
  // moment the clocks change.
  SYSTEMTIME utc;
  GetSystemTime(&utc);
  SYSTEMTIME local;
  if (!SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local)) local = utc;
  FILETIME utcTicks;
  FILETIME localTicks;
  int offsetMinutes = 0;
  if (SystemTimeToFileTime(&utc, &utcTicks) && SystemTimeToFileTime(&local, &localTicks)) {
    auto ticks = [](const FILETIME& time) {
      return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) |
                                       time.dwLowDateTime);
    };
    constexpr std::int64_t kTicksPerMinute = 600000000;  // of 100 ns
    offsetMinutes = static_cast<int>((ticks(localTicks) - ticks(utcTicks)) / kTicksPerMinute);
  }
  return LocalTime{local.wYear,   local.wMonth,  local.wDay,    local.wDayOfWeek,
                   local.wHour,   local.wMinute, local.wSecond, offsetMinutes};
}

std::uint32_t processId() { return static_cast<std::uint32_t>(GetCurrentProcessId()); }

ConnectResult connectTcp(const std::string& host, std::uint16_t port, std::int64_t timeoutMillis) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* found = nullptr;
  std::string service = std::to_string(port);
  int resolved = host.empty() ? WSAHOST_NOT_FOUND
                              : ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    return {ConnectStatus::kNotResolved, nullptr,
            systemErrorText(static_cast<unsigned long>(resolved))};
  }
  ConnectResult result{ConnectStatus::kNotConnected, nullptr, {}};
  for (addrinfo* address = found; address; address = address->ai_next) {
    int error = 0;
    SOCKET socket = connectAddress(*address, timeoutMillis, error);
    if (socket != INVALID_SOCKET) {
      result = {ConnectStatus::kConnected, std::make_unique<WinsockSocket>(socket), {}};
      break;
    }
    result.reason = systemErrorText(static_cast<unsigned long>(error));
  }
  ::freeaddrinfo(found);
  return result;
}

}  // namespace larkpost::platform
