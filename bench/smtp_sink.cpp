// smtp_sink: a minimal local SMTP server for the benchmarks; it accepts every message,
// counts its bytes, logs one line per message and throws the data away.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRecvBuffer = 1 << 20;  // each recv() takes up to 1 MiB at once
constexpr int kIdleSeconds = 120;
constexpr std::size_t kMaxHeaderScan = 1 << 20;

int gLogFd = -1;
std::string gSaveDir;
std::atomic<unsigned long> gMessageCount{0};

bool sendAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool writeAll(int fd, const char* p, std::size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

// Follows the message data to the closing "\r\n.\r\n", counting as it goes.
class DataScanner {
 public:
  explicit DataScanner(int saveFd) : saveFd_(saveFd) {}

  // Consumes bytes from [p, p+n); returns how many belong to the data (including the
  // closing ".\r\n" when it was found, see done()).
  std::size_t feed(const char* p, std::size_t n) {
    std::size_t i = 0;
    while (i < n && !done_) {
      // Byte by byte at line starts, and while the header lasts; memchr otherwise.
      if (state_ != kMid || (headerBytes_ == 0 && wire_ < kMaxHeaderScan)) {
        step(p[i], i);
        continue;
      }
      const void* lf = std::memchr(p + i, '\n', n - i);
      std::size_t end = lf ? static_cast<std::size_t>(static_cast<const char*>(lf) - p) + 1 : n;
      keep(p + i, end - i);
      wire_ += end - i;
      i = end;
      if (lf) state_ = kLineStart;
    }
    return i;
  }

  bool done() const { return done_; }
  unsigned long long wire() const { return wire_; }
  unsigned long long data() const { return wire_ - stuffed_; }
  unsigned long long header() const { return headerBytes_; }

 private:
  enum State { kLineStart, kMid, kDot, kDotCr };

  void keep(const char* p, std::size_t n) {
    if (saveFd_ >= 0) writeAll(saveFd_, p, n);
  }

  // One byte through the state machine.
  void step(char c, std::size_t& i) {
    switch (state_) {
      case kLineStart:
        if (c == '.') {
          state_ = kDot;
          ++i;
          return;
        }
        state_ = kMid;
        break;
      case kDot:
        if (c == '\r') {
          state_ = kDotCr;
          ++i;
          return;
        }
        // A stuffed dot: the receiver drops it.
        ++stuffed_;
        ++wire_;
        state_ = kMid;
        break;
      case kDotCr:
        if (c == '\n') {
          done_ = true;
          ++i;
          return;
        }
        ++stuffed_;
        wire_ += 2;
        keep("\r", 1);
        state_ = kMid;
        break;
      case kMid:
        break;
    }
    // kMid, one byte.
    keep(&c, 1);
    ++wire_;
    ++i;
    tail_ = (tail_ << 8) | static_cast<unsigned char>(c);
    if (headerBytes_ == 0 && (tail_ & 0xFFFFFFFFu) == 0x0D0A0D0Au) headerBytes_ = wire_ - stuffed_;
    if (headerBytes_ == 0 && wire_ - stuffed_ == 2 && (tail_ & 0xFFFFu) == 0x0D0Au) {
      headerBytes_ = 2;  // no header at all: the data starts with an empty line
    }
    if (c == '\n') state_ = kLineStart;
  }

  int saveFd_;
  State state_ = kLineStart;
  bool done_ = false;
  unsigned long long wire_ = 0;
  unsigned long long stuffed_ = 0;
  unsigned long long headerBytes_ = 0;
  unsigned long long tail_ = 0;
};

// Reads command lines from the connection, with the leftover of each receive kept.
class Connection {
 public:
  Connection(int fd, unsigned long id) : fd_(fd), id_(id), buffer_(kRecvBuffer) {}
  ~Connection() { ::close(fd_); }

  void run() {
    if (!sendAll(fd_, "220 sink.example.test ESMTP ready\r\n")) return;
    std::string line;
    unsigned rcpts = 0;
    while (readLine(line)) {
      std::string verb = line.substr(0, 4);
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      bool ok = true;
      if (verb == "EHLO") {
        ok = sendAll(fd_, "250-sink.example.test\r\n250 HELP\r\n");
      } else if (verb == "HELO") {
        ok = sendAll(fd_, "250 sink.example.test\r\n");
      } else if (verb == "MAIL") {
        rcpts = 0;
        ok = sendAll(fd_, "250 OK\r\n");
      } else if (verb == "RCPT") {
        ++rcpts;
        ok = sendAll(fd_, "250 OK\r\n");
      } else if (verb == "DATA") {
        ok = sendAll(fd_, "354 End data with <CR><LF>.<CR><LF>\r\n") && receiveData(rcpts);
      } else if (verb == "RSET" || verb == "NOOP") {
        ok = sendAll(fd_, "250 OK\r\n");
      } else if (verb == "QUIT") {
        sendAll(fd_, "221 Bye\r\n");
        return;
      } else {
        ok = sendAll(fd_, "502 Command not implemented\r\n");
      }
      if (!ok) return;
    }
  }

 private:
  bool fill() {
    for (;;) {
      ssize_t n = ::recv(fd_, buffer_.data(), buffer_.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      begin_ = 0;
      end_ = static_cast<std::size_t>(n);
      return true;
    }
  }

  bool readLine(std::string& line) {
    line.clear();
    for (;;) {
      const char* start = buffer_.data() + begin_;
      const void* lf = std::memchr(start, '\n', end_ - begin_);
      if (lf) {
        std::size_t len = static_cast<std::size_t>(static_cast<const char*>(lf) - start);
        line.append(start, len);
        begin_ += len + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      line.append(start, end_ - begin_);
      if (line.size() > 65536) return false;
      if (!fill()) return false;
    }
  }

  bool receiveData(unsigned rcpts) {
    unsigned long msg = ++gMessageCount;
    int saveFd = -1;
    if (!gSaveDir.empty()) {
      std::string path = gSaveDir + "/msg-" + std::to_string(msg) + ".eml";
      saveFd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    }
    DataScanner scanner(saveFd);
    for (;;) {
      if (begin_ < end_) {
        begin_ += scanner.feed(buffer_.data() + begin_, end_ - begin_);
        if (scanner.done()) break;
      }
      if (!fill()) {
        if (saveFd >= 0) ::close(saveFd);
        logLine(msg, rcpts, scanner, "incomplete");
        return false;
      }
    }
    if (saveFd >= 0) ::close(saveFd);
    logLine(msg, rcpts, scanner, "ok");
    return sendAll(fd_, "250 OK queued\r\n");
  }

  void logLine(unsigned long msg, unsigned rcpts, const DataScanner& s, const char* status) {
    char text[256];
    int n = std::snprintf(text, sizeof text,
                          "msg=%lu conn=%lu rcpts=%u wire=%llu data=%llu header=%llu status=%s\n",
                          msg, id_, rcpts, s.wire(), s.data(), s.header(), status);
    if (gLogFd >= 0 && n > 0) writeAll(gLogFd, text, static_cast<std::size_t>(n));
  }

  int fd_;
  unsigned long id_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: smtp_sink --port-file FILE --log FILE [--port N] [--save DIR] "
               "[--lifetime SECONDS]\n");
  std::exit(2);
}

}  // namespace

// Usage: smtp_sink --port-file FILE --log FILE [--port N] [--save DIR] [--lifetime SECONDS]
//   --port N         port on 127.0.0.1 (default 0: the system picks a free one)
//   --port-file F    the port actually bound is written there once it listens
//   --log F          one line per message, written before the 250 reply to the data:
//                    "msg=<n> conn=<n> rcpts=<n> wire=<bytes> data=<bytes> header=<bytes> status=ok"
//                    wire   = bytes between DATA's 354 and the closing ".\r\n"
//                    data   = the same with the dot-stuffing undone
//                    header = bytes up to and including the first empty line (0 if none)
//   --save DIR       also keep each message (unstuffed) as DIR/msg-<n>.eml
//   --lifetime S     exit by itself after S seconds (default 3600)
// Only the C++ standard library and POSIX are used.
int main(int argc, char** argv) {
  int port = 0;
  int lifetime = 3600;
  std::string portFile, logFile;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (i + 1 >= argc) usage();
    if (arg == "--port") port = std::atoi(argv[++i]);
    else if (arg == "--port-file") portFile = argv[++i];
    else if (arg == "--log") logFile = argv[++i];
    else if (arg == "--save") gSaveDir = argv[++i];
    else if (arg == "--lifetime") lifetime = std::atoi(argv[++i]);
    else usage();
  }
  if (portFile.empty() || logFile.empty()) usage();
  ::signal(SIGPIPE, SIG_IGN);

  gLogFd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (gLogFd < 0) {
    std::perror("smtp_sink: log file");
    return 1;
  }

  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int on = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  // SO_RCVBUF is left alone: setting it would stop the kernel's receive-buffer autotuning,
  // which on loopback grows the window well past what net.core.rmem_max allows by hand.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 128) != 0) {
    std::perror("smtp_sink: bind/listen");
    return 1;
  }
  socklen_t length = sizeof address;
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  {
    std::string tmp = portFile + ".tmp";
    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
      std::perror("smtp_sink: port file");
      return 1;
    }
    std::fprintf(f, "%d\n", ntohs(address.sin_port));
    std::fclose(f);
    std::rename(tmp.c_str(), portFile.c_str());  // appears whole, never half-written
  }

  // A safety net: the sink never outlives its run by much.
  std::thread([lifetime] {
    std::this_thread::sleep_for(std::chrono::seconds(lifetime));
    std::_Exit(0);
  }).detach();

  unsigned long nextId = 0;
  for (;;) {
    int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      std::perror("smtp_sink: accept");
      return 1;
    }
    timeval idle{kIdleSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &idle, sizeof idle);
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    unsigned long id = ++nextId;
    std::thread([fd, id] { Connection(fd, id).run(); }).detach();
  }
}
