// The operating-system services Larkpost uses, declared once. platform_posix.cpp and
// platform_win32.cpp implement them; no other file includes an OS header.
#ifndef LARKPOST_PLATFORM_PLATFORM_H_
#define LARKPOST_PLATFORM_PLATFORM_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace larkpost::platform {

// Prepares the process: sockets library, standard input mode, and a process that
// survives a peer closing the connection (no SIGPIPE); on Windows, Ctrl-C and
// Ctrl-Break end the run with status 1 before an unfinished message is ever completed.
// Call once, first.
void startUp();

// The program's arguments in UTF-8. Windows reads them from the UTF-16 command line, so
// no character is lost to the ANSI code page; elsewhere they are `argv` as it is.
std::vector<std::string> commandLineArguments(int argc, char** argv);

// Where the program's messages go: standard output, taking UTF-8. On Windows a console
// is written in UTF-16, so every character shows; redirected output is UTF-8 with
// CR LF line ends.
std::ostream& standardOutput();

// Standard error, treated as standardOutput() is, and unbuffered.
std::ostream& standardError();

// The value of an environment variable in UTF-8; std::nullopt when it is not set.
std::optional<std::string> environmentVariable(const char* name);

// --- Settings file ---------------------------------------------------------------

// The settings file used when the command line names none.
std::string defaultSettingsPath();

// Settings files longer than this are not read: a real one is a few hundred bytes, and
// anything near this size was named by mistake.
constexpr std::size_t kLongestSettingsFile = std::size_t{1} << 20;

enum class ProfileAccess {
  kReadable,
  kMissing,     // nothing is there
  kUnreadable,  // a directory, no permission, a read error, or over kLongestSettingsFile
};

// The profile (INI) file at `path`, read once and whole, its bytes decoded as every
// text file is (see textFileToUtf8); `text` is empty unless it could be read. A device
// (nul, COM1, /dev/null) is not a file that can be. Its values are then found in the
// text with findProfileValue (profile_format.h), the same way on every platform: the
// Windows profile functions would read the file in the ANSI code page, and read
// "0x19" as 25.
struct ProfileFile {
  ProfileAccess access = ProfileAccess::kMissing;
  std::string text;
};
ProfileFile readProfileFile(const std::string& path);

// Who besides the caller could read or change a file; a file that holds a secret must
// be the caller's alone.
enum class FileExposure {
  kPrivate,
  kReadableByOthers,  // group or others may read it (on Windows: Everyone, Users, ...)
  kWritableByOthers,  // group or others may change it, but not read it
  kOwnedByOther,      // its owner is not the caller, who cannot keep others out
};

// How exposed the file at `path` is: POSIX permission bits and owner; on Windows the
// file's DACL, looked at for Everyone, Authenticated Users and BUILTIN\Users. kPrivate
// when the file cannot be examined (it will not be read either).
FileExposure fileExposure(const std::string& path);

// The advice that goes with a refusal for `exposure`, in the system's own terms
// ("chmod 600 it", ...).
std::string makePrivateAdvice(FileExposure exposure);

// --- Files -----------------------------------------------------------------------

// An open file, read and written through its handle; closed when the object goes.
class File {
 public:
  // Takes over a native handle: a descriptor on POSIX, a HANDLE on Windows.
  explicit File(std::intptr_t handle) : handle_(handle) {}
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Bytes read into `into` (at least one), 0 at the end of the file, -1 on an error.
  std::ptrdiff_t read(std::span<char> into);
  // Writes every byte; false on an error.
  bool write(std::string_view bytes);
  // Back to the first byte; false on an error.
  bool rewind();
  // The size in bytes, when the system can tell.
  std::optional<std::uint64_t> size() const;

 private:
  static constexpr std::intptr_t kClosed = -1;
  void close();
  std::intptr_t handle_;
};

struct OpenedFile {
  enum class Failure {
    kNone,
    kMissing,     // nothing is at the path
    kNotAFile,    // a directory, a device, a FIFO
    kNotOpened,   // a file is there, but it could not be opened: `error` says why
  } failure = Failure::kMissing;
  std::optional<File> file;  // when kNone
  std::string error;
};

// The file at `path` (in UTF-8) opened for reading, if it is a regular file that can be
// read. Opening never blocks: a FIFO, a device or a directory is refused, not waited on.
// On Windows a long absolute path is opened in its \\?\ form, so no length limit applies.
OpenedFile openRegularFile(const std::string& path);

struct FileContents {
  enum class Status { kRead, kMissing, kNotOpened, kFailed } status = Status::kMissing;
  std::string bytes;  // every byte of the file, when read
};

// Every byte of the regular file at `path`, read in binary mode. kNotOpened when it is
// there but cannot be opened or is no regular file; kFailed on a read error or when it
// is longer than `limit`.
FileContents readWholeFile(const std::string& path, std::size_t limit);

// A text file's bytes in UTF-8: UTF-16 or UTF-8 with a byte-order mark, and valid UTF-8,
// as they are; anything else in the ANSI code page on Windows, in windows-1252 elsewhere,
// so that a file gives the same text to each build where the two agree.
std::string textFileToUtf8(std::string_view bytes);

// Appends `text` to the file at `path`, creating it when missing, under an exclusive
// lock held for the one write, so that lines of runs at the same time never interleave.
// False, with `error` saying why, when it could not.
bool appendLocked(const std::string& path, std::string_view text, std::string& error);

// Sends one line to the system log (syslog, facility mail, on POSIX). False where there
// is no such log (Windows).
bool systemLog(std::string_view line);

// What opening an existing file for writing does to what it holds.
enum class ExistingFile { kEmpty, kAppend };

// The file at `path` created, or opened for writing (emptied, or appended to), readable
// and writable by the caller only (mode 0600 on POSIX; an existing file keeps its mode,
// the user may widen it). Like every file and socket Larkpost opens, no command it starts
// inherits it. std::nullopt when it cannot be opened; `error` then says why.
std::optional<File> createPrivateFile(const std::string& path, std::string& error,
                                      ExistingFile existing = ExistingFile::kEmpty);

// A file opened for buffered reading ("r"), not inherited by commands Larkpost starts;
// nullptr when it cannot be opened.
std::FILE* openFileForReading(const std::string& path);

// The name of the file at `path` as stored on disk, without its directory; the name the
// attachment part carries.
std::string storedFileName(const std::string& path);

// A new, empty file in the temporary directory, readable by its owner only, that no
// other process can open by name and that is gone once it is closed, however the process
// ends. std::nullopt when none could be made; `error` then says why.
std::optional<File> createTemporaryFile(std::string_view prefix, std::string& error);

// The size of standard input when it is a regular file (redirected from one), which is
// what the message will be read from; std::nullopt for a pipe or a terminal.
std::optional<std::uint64_t> standardInputSize();

// The machine's name as the system knows it (possibly without a domain), in UTF-8; empty
// when it cannot be had.
std::string hostName();

// The MIME name of the character set text from standard input and files is in: utf-8,
// or on Windows that of the ANSI code page (windows-1252, shift_jis, ...).
std::string defaultCharset();

// Reads from standard input. Returns the number of bytes read, 0 at the end of the
// input, or -1 on a read error. On Windows, input is in text mode: CR LF reads as LF
// and a Ctrl-Z ends it; a console read cut short by Ctrl-C is never taken for the end.
std::ptrdiff_t readStandardInput(std::span<char> into);

// Keeps the secrets now in memory out of core dumps and from debuggers of the same
// user: the process is made non-dumpable (Linux), or core files are switched off.
void protectMemoryFromDumps();

// Overwrites `size` bytes at `data` with zeros in a way the compiler cannot leave out,
// so a secret does not linger in memory after use.
void wipeMemory(void* data, std::size_t size);

// --- Commands ----------------------------------------------------------------------

// The longest first line a command may give.
constexpr std::size_t kLongestCommandLine = 64 * 1024;

struct CommandOutcome {
  enum class Status { kExited, kTimedOut, kNotStarted } status = Status::kNotStarted;
  int exitCode = -1;       // when it exited
  std::string firstLine;   // its first output line, without the line end
  bool lineTooLong = false;  // the first line ran past kLongestCommandLine; firstLine empty
  std::string error;       // why it could not be started
};

// Runs `command` through the system's shell (/bin/sh -c, or on Windows cmd /c, started
// from the system directory and nowhere else) with an empty standard input, this
// process's standard error, and the environment without `hiddenVariable`. When this
// process is in the foreground of a terminal, the command stays in its process group, so
// it can prompt there. Its first output line counts, taken once the line has ended and
// the command has exited (a job it left in the background may keep the output open);
// what else was read is wiped from memory. The first line ends at CR, LF or NUL; on
// Windows it is decoded to UTF-8 from UTF-16, UTF-8 or the console's output code page.
// After `timeoutMillis` it is killed with whatever it started.
CommandOutcome runCommand(const std::string& command, std::int64_t timeoutMillis,
                          std::string_view hiddenVariable);

// --- Clock and identity ----------------------------------------------------------

// Milliseconds from an arbitrary start, never going backwards.
std::int64_t monotonicMillis();

struct LocalTime {
  int year = 1970;
  int month = 1;    // 1 to 12
  int day = 1;      // 1 to 31
  int weekday = 4;  // 0 is Sunday
  int hour = 0;
  int minute = 0;
  int second = 0;
  int utcOffsetMinutes = 0;  // local time minus UTC
};
LocalTime localTimeNow();

// A number that differs between processes running at the same time.
std::uint32_t processId();

// --- Network ---------------------------------------------------------------------

enum class IoStatus {
  kOk,
  kClosed,    // the peer closed the connection, or it was reset
  kTimedOut,  // the deadline passed first
};

struct ReceiveResult {
  IoStatus status = IoStatus::kOk;
  std::size_t bytes = 0;  // > 0 when status is kOk
};

// One connected TCP stream. Deadlines are monotonicMillis() values.
class Socket {
 public:
  virtual ~Socket() = default;
  // Sends every byte, continuing short sends, until done or the deadline passes.
  virtual IoStatus sendAll(std::string_view bytes, std::int64_t deadline) = 0;
  // Waits until some bytes arrive or the deadline passes; never waits for more than
  // one arrival.
  virtual ReceiveResult receive(std::span<char> into, std::int64_t deadline) = 0;
};

enum class ConnectStatus { kConnected, kNotResolved, kNotConnected };

struct ConnectResult {
  ConnectStatus status = ConnectStatus::kNotConnected;
  std::unique_ptr<Socket> socket;
  bool loopback = false;  // the connected address is 127.0.0.0/8 or ::1
  std::string reason;     // the system's words when not connected (for the last address tried)
};

// For an IP address literal (IPv4, or IPv6 with or without brackets): whether it is a
// loopback address. std::nullopt for anything else, a name: only the address it
// resolves to and connects can tell.
std::optional<bool> literalIsLoopback(const std::string& host);

// A host name in its ASCII form for the DNS, SNI and the certificate check: each label
// outside ASCII becomes its A-label ("xn--...", IDNA 2008, as libidn2 or Windows'
// IdnToAscii convert it), an ASCII name stays as it is. std::nullopt when the name is
// not a valid internationalized domain name.
std::optional<std::string> hostNameToAscii(const std::string& utf8);

// Resolves `host` for IPv4 and IPv6 and tries each address in turn, each for at most
// `timeoutMillis`, until one connects.
ConnectResult connectTcp(const std::string& host, std::uint16_t port, std::int64_t timeoutMillis);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_PLATFORM_H_
