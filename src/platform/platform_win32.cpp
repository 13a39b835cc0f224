// The Windows implementation of the platform services: text in UTF-16 at every system
// call and in UTF-8 everywhere else, self-deleting temporary files, Winsock with
// select() for time limits.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>

#include <fcntl.h>
#include <io.h>
#include <stdlib.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "platform/platform.h"
#include "platform/text_decoding.h"
#include "platform/win32_errors.h"
#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

// --- Text ------------------------------------------------------------------------

int clampedCount(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<int>(size); }

// Text in `codePage` to UTF-8. It may be a secret: the UTF-16 on the way is wiped.
std::string codePageToUtf8(UINT codePage, std::string_view bytes) {
  if (bytes.empty()) return {};
  int count = clampedCount(bytes.size());
  int length = MultiByteToWideChar(codePage, 0, bytes.data(), count, nullptr, 0);
  if (length <= 0) return windows1252ToUtf8(bytes);  // a code page the system lacks
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, bytes.data(), count, wide.data(), length);
  std::string utf8 = utf16ToUtf8(wide);
  SecureZeroMemory(wide.data(), wide.size() * sizeof(wchar_t));
  return utf8;
}

std::string ansiToUtf8(std::string_view bytes) { return codePageToUtf8(CP_ACP, bytes); }

// A command writes to a pipe in the console's output code page, as cmd's own output
// is; without a console, in the OEM code page it would have had.
std::string consoleToUtf8(std::string_view bytes) {
  UINT codePage = GetConsoleOutputCP();
  return codePageToUtf8(codePage != 0 ? codePage : GetOEMCP(), bytes);
}

// --- Standard output -------------------------------------------------------------

// How many leading bytes of `text` are whole UTF-8 sequences: a console write converts
// whole characters only, so a character cut between two writes waits for its end.
std::size_t wholeCharacters(std::string_view text) {
  std::size_t end = text.size();
  for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
    auto byte = static_cast<unsigned char>(text[text.size() - back]);
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
    std::size_t length = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    if (length > back) end = text.size() - back;
    break;
  }
  return end;
}

// Standard output or standard error taking UTF-8: a console gets UTF-16 through
// WriteConsoleW, so every character shows whatever its code page; anything else gets the
// UTF-8 bytes with CR LF line ends, the text mode the program's output has always had.
class StandardStreamBuffer final : public std::streambuf {
 public:
  explicit StandardStreamBuffer(DWORD which) : which_(which) {}
  ~StandardStreamBuffer() override { writePending(); }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    pending_ += traits_type::to_char_type(c);
    if (pending_.size() >= kFlushSize && !writePending()) return traits_type::eof();
    return c;
  }

  std::streamsize xsputn(const char* data, std::streamsize count) override {
    pending_.append(data, static_cast<std::size_t>(count));
    if (pending_.size() >= kFlushSize && !writePending()) return 0;
    return count;
  }

  int sync() override { return writePending() ? 0 : -1; }

 private:
  static constexpr std::size_t kFlushSize = 4096;

  bool writePending() {
    HANDLE out = GetStdHandle(which_);
    DWORD mode = 0;
    bool written = GetConsoleMode(out, &mode) ? writeConsole(out) : writeBytes(out);
    return written;
  }

  bool writeConsole(HANDLE out) {
    std::size_t whole = wholeCharacters(pending_);
    std::wstring wide = utf8ToUtf16(std::string_view(pending_).substr(0, whole));
    pending_.erase(0, whole);
    std::wstring_view rest = wide;
    while (!rest.empty()) {
      DWORD written = 0;
      DWORD count = static_cast<DWORD>(std::min<std::size_t>(rest.size(), 8192));
      if (!WriteConsoleW(out, rest.data(), count, &written, nullptr) || written == 0) return false;
      rest.remove_prefix(written);
    }
    return true;
  }

  bool writeBytes(HANDLE out) {
    std::string text;
    text.reserve(pending_.size() + pending_.size() / 8);
    for (char c : pending_) {
      if (c == '\n') text += '\r';
      text += c;
    }
    pending_.clear();
    std::string_view rest = text;
    while (!rest.empty()) {
      DWORD written = 0;
      if (!WriteFile(out, rest.data(), static_cast<DWORD>(rest.size()), &written, nullptr) ||
          written == 0) {
        return false;
      }
      rest.remove_prefix(written);
    }
    return true;
  }

  DWORD which_;
  std::string pending_;
};

// --- Console control events ------------------------------------------------------

// Set once Ctrl-C, Ctrl-Break or the console's closing has ended the run.
HANDLE interruption = nullptr;

// Runs on a thread of its own while the run goes on. Ending the process here, at once,
// is what keeps an unfinished message unfinished: the server sees the connection close
// before the final dot, and a batch file sees status 1.
// Log-off and shutdown events are left to the default handling: a program started by a
// service receives them whenever any user logs off.
BOOL WINAPI onConsoleControl(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  if (interruption) SetEvent(interruption);
  TerminateProcess(GetCurrentProcess(), 1);
  return TRUE;
}

bool standardInputIsConsole() {
  DWORD mode = 0;
  return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != FALSE;
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
  // Not handed to commands Larkpost starts.
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
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

// The system's text for an error code, without the line end it comes with.
std::string systemErrorText(unsigned long code) {
  wchar_t* text = nullptr;
  DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::string message = length > 0 && text ? utf16ToUtf8(std::wstring_view(text, length)) : "";
  if (text) LocalFree(text);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ')) {
    message.pop_back();
  }
  if (message.empty()) message = "error " + std::to_string(code);
  return message;
}

namespace {

// A standard handle the caller left out reads as empty and writes to nowhere, as with
// POSIX's /dev/null, rather than failing on each use.
void fillMissingStandardHandles() {
  struct Standard {
    DWORD id;
    int fd;
    FILE* stream;
    const char* mode;
  };
  for (const Standard& standard : {Standard{STD_INPUT_HANDLE, 0, stdin, "r"},
                                   Standard{STD_OUTPUT_HANDLE, 1, stdout, "w"},
                                   Standard{STD_ERROR_HANDLE, 2, stderr, "w"}}) {
    HANDLE handle = GetStdHandle(standard.id);
    bool usable = handle != nullptr && handle != INVALID_HANDLE_VALUE &&
                  _get_osfhandle(standard.fd) >= 0 &&
                  (GetFileType(handle) != FILE_TYPE_UNKNOWN || GetLastError() == NO_ERROR);
    if (usable) continue;
    if (!freopen("NUL", standard.mode, standard.stream)) continue;
    SetStdHandle(standard.id, reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(standard.stream))));
  }
}

}  // namespace

void startUp() {
  fillMissingStandardHandles();
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  // Text mode on input is part of the program's contract (CR LF and Ctrl-Z), whatever
  // mode the runtime was linked to start in; output goes through standardOutput() and
  // standardError().
  _setmode(0, _O_TEXT);
  _setmode(1, _O_TEXT);
  interruption = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

std::vector<std::string> commandLineArguments(int argc, char** argv) {
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!wide) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) arguments.push_back(utf16ToUtf8(wide[i]));
  LocalFree(wide);
  return arguments;
}

std::ostream& standardOutput() {
  static StandardStreamBuffer buffer(STD_OUTPUT_HANDLE);
  static std::ostream stream(&buffer);
  return stream;
}

std::ostream& standardError() {
  static StandardStreamBuffer buffer(STD_ERROR_HANDLE);
  static std::ostream stream(&buffer);
  stream.setf(std::ios::unitbuf);  // unbuffered, as standard error is expected to be
  return stream;
}

std::optional<std::string> environmentVariable(const char* name) {
  std::wstring wideName = utf8ToUtf16(name);
  std::wstring value(256, L'\0');
  for (;;) {
    SetLastError(ERROR_SUCCESS);
    DWORD length = GetEnvironmentVariableW(wideName.c_str(), value.data(),
                                           static_cast<DWORD>(value.size()));
    if (length == 0 && GetLastError() == ERROR_ENVVAR_NOT_FOUND) return std::nullopt;
    if (length < value.size()) {
      // The value may be a secret: no copy of it outlives this call but the one returned.
      std::string utf8 = utf16ToUtf8(std::wstring_view(value.data(), length));
      SecureZeroMemory(value.data(), value.size() * sizeof(wchar_t));
      return utf8;
    }
    SecureZeroMemory(value.data(), value.size() * sizeof(wchar_t));
    value.assign(length, L'\0');
  }
}

std::string defaultSettingsPath() {
  std::wstring directory(MAX_PATH + 1, L'\0');
  UINT length = GetWindowsDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
  std::string path = length > 0 && length < directory.size()
                         ? utf16ToUtf8(std::wstring_view(directory.data(), length))
                         : "C:\\WINDOWS";
  if (path.back() != '\\') path += '\\';
  return path + "larkpost.ini";
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

OpenedFile openRegularFile(const std::string& path) {
  using Failure = OpenedFile::Failure;
  if (path.empty()) return {};
  std::wstring name = widePath(path);
  HANDLE handle = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    DWORD error = GetLastError();
    DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return {};  // nothing there
    // A directory refuses plain opening (that takes FILE_FLAG_BACKUP_SEMANTICS).
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {Failure::kNotAFile, {}, {}};
    return {Failure::kNotOpened, std::nullopt, systemErrorText(error)};
  }
  File file(reinterpret_cast<std::intptr_t>(handle));
  // Pipes, consoles and devices (nul, COM1) are not files to read.
  if (GetFileType(handle) != FILE_TYPE_DISK) return {Failure::kNotAFile, {}, {}};
  return {Failure::kNone, std::move(file), {}};
}

std::string textFileToUtf8(std::string_view bytes) { return decodeTextFile(bytes, ansiToUtf8); }

bool appendLocked(const std::string& path, std::string_view text, std::string& error) {
  HANDLE handle = CreateFileW(widePath(path).c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(widePath(path).c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) {
    std::size_t separator = path.find_last_of("\\/:");
    return separator == std::string::npos ? path : path.substr(separator + 1);
  }
  FindClose(search);
  return utf16ToUtf8(entry.cFileName);
}

std::optional<File> createTemporaryFile(std::string_view prefix, std::string& error) {
  std::wstring directory(MAX_PATH + 1, L'\0');
  DWORD length = GetTempPathW(static_cast<DWORD>(directory.size()), directory.data());
  if (length == 0 || length >= directory.size()) {
    error = length == 0 ? systemErrorText(GetLastError()) : "the temporary directory's name is too long";
    return std::nullopt;
  }
  directory.resize(length);
  std::wstring name(MAX_PATH + 1, L'\0');
  // Creates the file, so no other process can take the same name meanwhile.
  if (GetTempFileNameW(directory.c_str(), utf8ToUtf16(prefix).c_str(), 0, name.data()) == 0) {
    error = systemErrorText(GetLastError());
    return std::nullopt;
  }
  // The system deletes it when its last handle closes, however the process ends; no
  // sharing, so nobody else opens it meanwhile.
  HANDLE file = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            TRUNCATE_EXISTING,
                            FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = systemErrorText(GetLastError());
    DeleteFileW(name.c_str());
    return std::nullopt;
  }
  return File(reinterpret_cast<std::intptr_t>(file));
}

// cmd.exe from the system directory: found by the search order, it could be one planted
// in the current directory or beside the program.
static std::optional<std::wstring> systemShell() {
  std::wstring directory(MAX_PATH + 1, L'\0');
  UINT length = GetSystemDirectoryW(directory.data(), static_cast<UINT>(directory.size()));
  if (length == 0 || length >= directory.size()) return std::nullopt;
  directory.resize(length);
  if (directory.back() != L'\\') directory += L'\\';
  return directory + L"cmd.exe";
}

namespace {

// This process's environment block, in UTF-16, without `hidden` (a name, in any letter
// case).
std::wstring environmentWithout(std::string_view hidden) {
  std::wstring name = utf8ToUtf16(hidden);
  std::wstring block;
  wchar_t* strings = GetEnvironmentStringsW();
  if (!strings) return std::wstring(2, L'\0');  // an empty block
  for (const wchar_t* entry = strings; *entry; entry += std::wcslen(entry) + 1) {
    std::wstring_view text(entry);
    bool named = !name.empty() && text.size() > name.size() && text[name.size()] == L'=' &&
                 CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, text.data(),
                                static_cast<int>(name.size()), name.data(),
                                static_cast<int>(name.size())) == CSTR_EQUAL;
    if (named) continue;
    block.append(text);
    block += L'\0';
  }
  FreeEnvironmentStringsW(strings);
  block += L'\0';
  return block;
}

// Reads what the pipe holds now (up to kLongestCommandLine + 1 bytes, the rest
// discarded); false once it is closed.
bool readAvailable(HANDLE pipe, std::string& read) {
  char chunk[4096];
  bool open = true;
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
      open = false;
      break;
    }
    if (available == 0) break;
    DWORD got = 0;
    if (!ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) || got == 0) {
      open = false;
      break;
    }
    std::size_t room = kLongestCommandLine + 1 - std::min(read.size(), kLongestCommandLine + 1);
    read.append(chunk, std::min<std::size_t>(room, got));
  }
  SecureZeroMemory(chunk, sizeof chunk);
  return open;
}

}  // namespace

CommandOutcome runCommand(const std::string& command, std::int64_t timeoutMillis,
                          std::string_view hiddenVariable) {
  CommandOutcome outcome;
  std::optional<std::wstring> shell = systemShell();
  if (!shell) {
    outcome.error = systemErrorText(GetLastError());
    return outcome;
  }
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 0)) {
    outcome.error = systemErrorText(GetLastError());
    return outcome;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  // It must not read the message waiting on our standard input.
  HANDLE nothing = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &inheritable, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = nothing;
  startup.hStdOutput = writeEnd;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  // /s: cmd takes what stands between the outer quotes exactly as it is.
  std::wstring commandLine = L"cmd /s /c \"" + utf8ToUtf16(command) + L"\"";
  std::wstring environment = environmentWithout(hiddenVariable);
  // A job holds whatever the command starts, so a time-out ends all of it. It is put in
  // the job before it runs a single instruction.
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  PROCESS_INFORMATION process{};
  BOOL started = CreateProcessW(shell->c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT,
                                environment.data(), nullptr, &startup, &process);
  CloseHandle(writeEnd);
  if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
  if (!started) {
    outcome.error = systemErrorText(GetLastError());
    CloseHandle(readEnd);
    if (job) CloseHandle(job);
    return outcome;
  }
  if (job && !AssignProcessToJobObject(job, process.hProcess)) {
    CloseHandle(job);
    job = nullptr;
  }
  ResumeThread(process.hThread);
  std::int64_t deadline = monotonicMillis() + timeoutMillis;
  std::string read;
  read.reserve(kLongestCommandLine + 1);  // never moved: no copy of a secret left behind
  bool timedOut = false;
  bool outputOpen = true;
  // Done when it has exited: what it wrote is in the pipe by then, and a program it left
  // running may hold the pipe open for ever.
  for (;;) {
    if (outputOpen) outputOpen = readAvailable(readEnd, read);
    std::int64_t left = deadline - monotonicMillis();
    constexpr DWORD kPollMillis = 10;
    DWORD wait = left <= 0 ? 0 : static_cast<DWORD>(std::min<std::int64_t>(left, kPollMillis));
    if (WaitForSingleObject(process.hProcess, wait) == WAIT_OBJECT_0) break;
    if (left <= 0) {
      timedOut = true;
      if (job) TerminateJobObject(job, 1);
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      break;
    }
  }
  if (outputOpen) readAvailable(readEnd, read);
  CloseHandle(readEnd);
  DWORD exitCode = 1;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  if (job) CloseHandle(job);  // what it left running on success runs on
  std::string text = decodeCommandOutput(read, consoleToUtf8);
  // Output cut at the limit before any line end, in whatever encoding, is a line too long.
  std::string_view line = firstLineOf(text);
  if (line.size() > kLongestCommandLine ||
      (read.size() > kLongestCommandLine && line.size() == text.size())) {
    outcome.lineTooLong = true;
  } else {
    outcome.firstLine = line;
  }
  SecureZeroMemory(read.data(), read.size());
  SecureZeroMemory(text.data(), text.size());
  outcome.status = timedOut ? CommandOutcome::Status::kTimedOut : CommandOutcome::Status::kExited;
  outcome.exitCode = static_cast<int>(exitCode);
  return outcome;
}

std::string hostName() {
  DWORD size = 0;
  GetComputerNameExW(ComputerNameDnsFullyQualified, nullptr, &size);
  if (size == 0) return {};
  std::wstring name(size, L'\0');
  if (!GetComputerNameExW(ComputerNameDnsFullyQualified, name.data(), &size)) return {};
  name.resize(size);
  return utf16ToUtf8(name);
}

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

namespace {

// The access rights that let a user read, or change, a file's contents or its DACL.
constexpr ACCESS_MASK kReadRights = FILE_READ_DATA | GENERIC_READ | GENERIC_ALL;
constexpr ACCESS_MASK kChangeRights = FILE_WRITE_DATA | FILE_APPEND_DATA | WRITE_DAC | WRITE_OWNER |
                                      DELETE | GENERIC_WRITE | GENERIC_ALL;

// The rights the DACL grants Everyone, Authenticated Users or BUILTIN\Users: every user
// of the machine is in one of them. Deny entries come first in a DACL in canonical
// order, so what they deny is taken out of what later entries allow.
ACCESS_MASK rightsOfEveryUser(const ACL& dacl) {
  static const WELL_KNOWN_SID_TYPE kBroadGroups[] = {WinWorldSid, WinAuthenticatedUserSid,
                                                     WinBuiltinUsersSid};
  std::vector<std::vector<BYTE>> groups;
  for (WELL_KNOWN_SID_TYPE type : kBroadGroups) {
    std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
    DWORD size = static_cast<DWORD>(sid.size());
    if (CreateWellKnownSid(type, nullptr, sid.data(), &size)) groups.push_back(std::move(sid));
  }
  ACCESS_MASK allowed = 0;
  ACCESS_MASK denied = 0;
  for (DWORD i = 0; i < dacl.AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(const_cast<ACL*>(&dacl), i, &entry)) continue;
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0) continue;
    bool allows = header->AceType == ACCESS_ALLOWED_ACE_TYPE;
    if (!allows && header->AceType != ACCESS_DENIED_ACE_TYPE) continue;
    // Both kinds lay out the mask and the SID alike.
    const auto* ace = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&ace->SidStart);
    bool broad = false;
    for (std::vector<BYTE>& group : groups) broad = broad || EqualSid(sid, group.data());
    if (!broad) continue;
    if (allows) {
      allowed |= ace->Mask & ~denied;
    } else {
      denied |= ace->Mask;
    }
  }
  return allowed;
}

}  // namespace

FileExposure fileExposure(const std::string& path) {
  std::wstring wide = widePath(path);
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(wide.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
    return FileExposure::kPrivate;  // cannot be examined: it cannot be read either
  }
  // No DACL at all lets everyone do anything.
  ACCESS_MASK rights = dacl ? rightsOfEveryUser(*dacl) : GENERIC_ALL;
  LocalFree(descriptor);
  if ((rights & kReadRights) != 0) return FileExposure::kReadableByOthers;
  if ((rights & kChangeRights) != 0) return FileExposure::kWritableByOthers;
  return FileExposure::kPrivate;
}

std::string makePrivateAdvice(FileExposure /*exposure*/) {
  return "keep it in your own profile folder, or take the other users' access away (icacls)";
}

// Windows writes no core files; crash dumps are the administrator's choice.
void protectMemoryFromDumps() {}

std::optional<File> createPrivateFile(const std::string& path, std::string& error,
                                      ExistingFile existing) {
  std::wstring wide = widePath(path);
  // Appending: every write goes to the end, after whatever another run wrote.
  bool append = existing == ExistingFile::kAppend;
  // No security attributes: not inherited by commands we start; the DACL is inherited
  // from the folder, private under the user's profile.
  HANDLE file = CreateFileW(wide.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                            FILE_SHARE_READ | (append ? FILE_SHARE_WRITE : 0), nullptr,
                            append ? OPEN_ALWAYS : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    error = systemErrorText(GetLastError());
    return std::nullopt;
  }
  return File(reinterpret_cast<std::intptr_t>(file));
}

// "N": the C runtime's handle is not inherited.
std::FILE* openFileForReading(const std::string& path) {
  return _wfopen(widePath(path).c_str(), L"rN");
}

namespace {

bool isLoopbackAddress(const sockaddr& address) {
  if (address.sa_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.sa_family == AF_INET6) {
    const IN6_ADDR& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    static const BYTE kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    static const BYTE kMapped[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
    return std::memcmp(v6.s6_addr, kLoopback, 16) == 0 ||
           (std::memcmp(v6.s6_addr, kMapped, 12) == 0 && v6.s6_addr[12] == 127);
  }
  return false;
}

}  // namespace

std::optional<bool> literalIsLoopback(const std::string& host) {
  std::string text = host;
  if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
    text = text.substr(1, text.size() - 2);
  }
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (text.empty() || ::getaddrinfo(text.c_str(), nullptr, &hints, &found) != 0) return std::nullopt;
  bool loopback = isLoopbackAddress(*found->ai_addr);
  ::freeaddrinfo(found);
  return loopback;
}

std::optional<std::string> hostNameToAscii(const std::string& utf8) {
  bool ascii = true;
  for (char c : utf8) ascii = ascii && static_cast<unsigned char>(c) < 0x80;
  if (ascii) return utf8;
  // IdnToAscii lives in normaliz.dll (Vista on; kernel32 too from Windows 8).
  using IdnToAsciiFunction = int(WINAPI*)(DWORD, LPCWSTR, int, LPWSTR, int);
  static const auto idnToAscii = [] {
    HMODULE library = LoadLibraryW(L"normaliz.dll");
    if (!library) library = GetModuleHandleW(L"kernel32.dll");
    return library ? reinterpret_cast<IdnToAsciiFunction>(
                         reinterpret_cast<void*>(GetProcAddress(library, "IdnToAscii")))
                   : nullptr;
  }();
  if (!idnToAscii) return std::nullopt;
  std::wstring wide = utf8ToUtf16(utf8);
  int length = idnToAscii(0, wide.c_str(), static_cast<int>(wide.size()), nullptr, 0);
  if (length <= 0) return std::nullopt;
  std::wstring converted(static_cast<std::size_t>(length), L'\0');
  length = idnToAscii(0, wide.c_str(), static_cast<int>(wide.size()), converted.data(), length);
  if (length <= 0) return std::nullopt;
  std::string result;
  for (int i = 0; i < length; ++i) {
    if (converted[static_cast<std::size_t>(i)] >= 0x80) return std::nullopt;
    result += static_cast<char>(converted[static_cast<std::size_t>(i)]);
  }
  return result;
}

void wipeMemory(void* data, std::size_t size) { SecureZeroMemory(data, size); }

std::ptrdiff_t readStandardInput(std::span<char> into) {
  unsigned count = into.size() > INT_MAX ? INT_MAX : static_cast<unsigned>(into.size());
  int got = _read(0, into.data(), count);
  // Ctrl-C cuts a console read short with nothing read, like the end of the input; the
  // handler ends the run on its own thread, so wait for it rather than take the message
  // for complete.
  if (got == 0 && interruption && standardInputIsConsole() &&
      WaitForSingleObject(interruption, 200) == WAIT_OBJECT_0) {
    return -1;
  }
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
    return {ConnectStatus::kNotResolved, nullptr, false,
            systemErrorText(static_cast<unsigned long>(resolved))};
  }
  ConnectResult result{ConnectStatus::kNotConnected, nullptr, false, {}};
  for (addrinfo* address = found; address; address = address->ai_next) {
    int error = 0;
    SOCKET socket = connectAddress(*address, timeoutMillis, error);
    if (socket != INVALID_SOCKET) {
      result = {ConnectStatus::kConnected, std::make_unique<WinsockSocket>(socket),
                isLoopbackAddress(*address->ai_addr), {}};
      break;
    }
    result.reason = systemErrorText(static_cast<unsigned long>(error));
  }
  ::freeaddrinfo(found);
  return result;
}

}  // namespace larkpost::platform
