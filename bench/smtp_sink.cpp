// smtp_sink: a minimal local SMTP server for the benchmarks; it accepts every message,
// counts its bytes, logs one line per message and throws the data away. It can also
// speak TLS, answer late like a distant server, and take only so many recipients.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kRecvBuffer = 1 << 20;  // each recv() takes up to 1 MiB at once
constexpr int kIdleSeconds = 120;
constexpr std::size_t kMaxHeaderScan = 1 << 20;
// Past this many recipients in one transaction the sink answers 452 like any server
// with a limit, so a runaway client cannot make it hoard addresses.
constexpr std::size_t kMostRecipients = 1 << 20;

using Clock = std::chrono::steady_clock;

// How the sink behaves, from the command line; the same for every connection.
struct Behaviour {
  bool pipelining = false;       // advertise PIPELINING, queue the replies
  Clock::duration replyDelay{};  // each reply leaves this long after its command came
  std::size_t maxRecipients = kMostRecipients;
  bool implicitTls = false;  // handshake before the greeting
  SSL_CTX* tls = nullptr;    // set: TLS is on offer (STARTTLS, or implicit)
  bool queuesReplies() const { return pipelining || replyDelay > Clock::duration::zero(); }
};

Behaviour gBehaviour;
int gLogFd = -1;
int gRcptLogFd = -1;
std::mutex gRcptLogMutex;
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

// The connection's byte stream: the socket itself, or a TLS session over it.
class Transport {
 public:
  virtual ~Transport() = default;
  // Up to n bytes; 0 when the peer has closed or the connection failed.
  virtual std::size_t receive(char* p, std::size_t n) = 0;
  virtual bool send(std::string_view text) = 0;
  // "TLSv1.3/TLS_AES_256_GCM_SHA384" over TLS, empty in plaintext.
  virtual std::string security() const { return {}; }
};

class PlainTransport : public Transport {
 public:
  explicit PlainTransport(int fd) : fd_(fd) {}

  std::size_t receive(char* p, std::size_t n) override {
    for (;;) {
      ssize_t got = ::recv(fd_, p, n, 0);
      if (got < 0 && errno == EINTR) continue;
      return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
  }
  bool send(std::string_view text) override { return sendAll(fd_, text); }

 private:
  int fd_;
};

class TlsTransport : public Transport {
 public:
  // The session after a completed handshake, or nullptr when it failed.
  static std::unique_ptr<TlsTransport> accept(SSL_CTX* context, int fd) {
    std::unique_ptr<TlsTransport> session(new TlsTransport(SSL_new(context)));
    if (!session->ssl_ || SSL_set_fd(session->ssl_.get(), fd) != 1 ||
        SSL_accept(session->ssl_.get()) != 1) {
      ERR_clear_error();
      session->broken_ = true;
      return nullptr;
    }
    return session;
  }

  ~TlsTransport() override {
    if (ssl_ && !broken_) SSL_shutdown(ssl_.get());  // a close_notify, not waiting for the reply
  }

  std::size_t receive(char* p, std::size_t n) override {
    std::size_t got = 0;
    if (SSL_read_ex(ssl_.get(), p, n, &got) == 1) return got;
    int error = SSL_get_error(ssl_.get(), 0);
    broken_ = error != SSL_ERROR_ZERO_RETURN;
    ERR_clear_error();
    return 0;
  }

  bool send(std::string_view text) override {
    while (!text.empty()) {
      std::size_t sent = 0;
      if (SSL_write_ex(ssl_.get(), text.data(), text.size(), &sent) != 1) {
        broken_ = true;
        ERR_clear_error();
        return false;
      }
      text.remove_prefix(sent);
    }
    return true;
  }

  std::string security() const override {
    return std::string(SSL_get_version(ssl_.get())) + "/" +
           SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_.get()));
  }

 private:
  explicit TlsTransport(SSL* ssl) : ssl_(ssl, SSL_free) {}

  std::unique_ptr<SSL, decltype(&SSL_free)> ssl_;
  bool broken_ = false;
};

// Sends a plain connection's replies from a thread of its own, each once the delay after
// its command has passed. The connection's reader never waits on a write, so a client
// that pipelines can send all it likes before reading a reply without the two ends
// blocking each other; replies that are due together leave in one send.
class ReplyQueue {
 public:
  ReplyQueue(int fd, Clock::duration delay) : fd_(fd), delay_(delay), thread_([this] { run(); }) {}

  // Sends what is still queued, each when it is due, then returns.
  ~ReplyQueue() {
    {
      std::lock_guard lock(mutex_);
      closing_ = true;
    }
    wake_.notify_one();
    thread_.join();
  }

  // False once a send has failed: the connection is gone.
  bool push(std::string_view text) {
    std::lock_guard lock(mutex_);
    if (broken_) return false;
    pending_.push_back({Clock::now() + delay_, std::string(text)});
    wake_.notify_one();
    return true;
  }

 private:
  struct Pending {
    Clock::time_point due;
    std::string text;
  };

  void run() {
    std::unique_lock lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !pending_.empty(); });
      if (pending_.empty()) return;
      // Every reply waits as long, so the first one queued is the first one due.
      Clock::time_point due = pending_.front().due;
      lock.unlock();
      std::this_thread::sleep_until(due);
      lock.lock();
      std::string batch;
      for (Clock::time_point now = Clock::now(); !pending_.empty() && pending_.front().due <= now;
           pending_.pop_front()) {
        batch += pending_.front().text;
      }
      lock.unlock();
      bool sent = sendAll(fd_, batch);
      lock.lock();
      if (!sent) {
        broken_ = true;
        pending_.clear();
        return;
      }
    }
  }

  int fd_;
  Clock::duration delay_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Pending> pending_;
  bool closing_ = false;
  bool broken_ = false;
  std::thread thread_;  // last: it starts once the rest is ready
};

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
  Connection(int fd, unsigned long id)
      : fd_(fd), id_(id), transport_(std::make_unique<PlainTransport>(fd)), buffer_(kRecvBuffer) {}
  ~Connection() {
    replies_.reset();  // what is queued still goes out
    transport_.reset();
    ::close(fd_);
  }

  void run() {
    if (gBehaviour.implicitTls && !secure()) return;
    if (!transport_->send("220 sink.example.test ESMTP ready\r\n")) return;
    if (gBehaviour.queuesReplies())
      replies_ = std::make_unique<ReplyQueue>(fd_, gBehaviour.replyDelay);
    std::string line;
    while (readLine(line)) {
      std::string verb = line.substr(0, line.find(' '));
      for (char& c : verb) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      bool ok = true;
      if (verb == "EHLO") {
        recipients_.clear();
        ok = reply(ehloReply());
      } else if (verb == "HELO") {
        recipients_.clear();
        ok = reply("250 sink.example.test\r\n");
      } else if (verb == "STARTTLS") {
        ok = startTls();
      } else if (verb == "MAIL") {
        recipients_.clear();
        ok = reply("250 OK\r\n");
      } else if (verb == "RCPT") {
        ok = takeRecipient(line);
      } else if (verb == "DATA") {
        ok = recipients_.empty()
                 ? reply("554 5.5.1 No valid recipients\r\n")
                 : reply("354 End data with <CR><LF>.<CR><LF>\r\n") && receiveData();
      } else if (verb == "RSET") {
        recipients_.clear();
        ok = reply("250 OK\r\n");
      } else if (verb == "NOOP") {
        ok = reply("250 OK\r\n");
      } else if (verb == "QUIT") {
        reply("221 Bye\r\n");
        return;
      } else {
        ok = reply("502 Command not implemented\r\n");
      }
      if (!ok) return;
    }
  }

 private:
  bool secured() const { return !transport_->security().empty(); }

  // Queued when the replies wait or the client may pipeline; sent at once otherwise.
  bool reply(std::string_view text) {
    return replies_ ? replies_->push(text) : transport_->send(text);
  }

  std::string ehloReply() const {
    std::string text = "250-sink.example.test\r\n";
    if (gBehaviour.pipelining) text += "250-PIPELINING\r\n";
    if (gBehaviour.tls && !secured()) text += "250-STARTTLS\r\n";
    return text + "250 HELP\r\n";
  }

  bool secure() {
    transport_ = TlsTransport::accept(gBehaviour.tls, fd_);
    return transport_ != nullptr;
  }

  // The handshake follows the 220 at once; what the client sent in plaintext after the
  // command is thrown away, and the client starts again with EHLO.
  bool startTls() {
    if (!gBehaviour.tls) return reply("454 4.7.0 TLS not available\r\n");
    if (secured()) return reply("503 5.5.1 TLS already active\r\n");
    if (!transport_->send("220 2.0.0 Ready to start TLS\r\n")) return false;
    begin_ = end_;
    recipients_.clear();
    return secure();
  }

  bool takeRecipient(std::string_view line) {
    if (recipients_.size() >= gBehaviour.maxRecipients) {
      return reply("452 4.5.3 Too many recipients\r\n");
    }
    std::size_t open = line.find('<');
    std::size_t close = line.find('>', open == std::string_view::npos ? 0 : open);
    if (open == std::string_view::npos || close == std::string_view::npos) {
      return reply("501 5.1.3 Bad recipient address syntax\r\n");
    }
    recipients_.emplace_back(line.substr(open + 1, close - open - 1));
    return reply("250 OK\r\n");
  }

  bool fill() {
    std::size_t n = transport_->receive(buffer_.data(), buffer_.size());
    if (n == 0) return false;
    begin_ = 0;
    end_ = n;
    return true;
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

  bool receiveData() {
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
        logLine(msg, scanner, "incomplete");
        return false;
      }
    }
    if (saveFd >= 0) ::close(saveFd);
    logLine(msg, scanner, "ok");
    logRecipients();
    recipients_.clear();
    return reply("250 OK queued\r\n");
  }

  void logLine(unsigned long msg, const DataScanner& s, const char* status) {
    std::string text = "msg=" + std::to_string(msg) + " conn=" + std::to_string(id_) +
                       " rcpts=" + std::to_string(recipients_.size()) +
                       " wire=" + std::to_string(s.wire()) + " data=" + std::to_string(s.data()) +
                       " header=" + std::to_string(s.header()) + " status=" + status;
    if (secured()) text += " tls=" + transport_->security();
    text += '\n';
    if (gLogFd >= 0) writeAll(gLogFd, text.data(), text.size());
  }

  // Each delivered message's recipients, one a line, so a run can check that every
  // address got the message exactly once.
  void logRecipients() {
    if (gRcptLogFd < 0) return;
    std::string text;
    for (const std::string& address : recipients_) text += address + "\n";
    std::lock_guard lock(gRcptLogMutex);
    writeAll(gRcptLogFd, text.data(), text.size());
  }

  int fd_;
  unsigned long id_;
  std::unique_ptr<Transport> transport_;
  std::unique_ptr<ReplyQueue> replies_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  std::vector<std::string> recipients_;  // accepted in this transaction
};

// A server context for the certificate chain and key in PEM files, or nullptr.
SSL_CTX* serverContext(const std::string& certFile, const std::string& keyFile) {
  SSL_CTX* context = SSL_CTX_new(TLS_server_method());
  if (!context) return nullptr;
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  // One receive for several records, not one for each record's header and another for its
  // body: msmtp sends a record per line. A larger read buffer than OpenSSL's own made
  // things slower, not faster.
  SSL_CTX_set_read_ahead(context, 1);
  if (SSL_CTX_use_certificate_chain_file(context, certFile.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context, keyFile.c_str(), SSL_FILETYPE_PEM) != 1 ||
      SSL_CTX_check_private_key(context) != 1) {
    ERR_print_errors_fp(stderr);
    SSL_CTX_free(context);
    return nullptr;
  }
  return context;
}

[[noreturn]] void usage() {
  std::fprintf(stderr,
               "usage: smtp_sink --port-file FILE --log FILE [--port N] [--save DIR] "
               "[--lifetime SECONDS]\n"
               "                 [--tls-cert FILE --tls-key FILE [--implicit-tls]]\n"
               "                 [--pipelining] [--reply-delay MS] [--max-rcpts N] "
               "[--rcpt-log FILE]\n");
  std::exit(2);
}

struct ValueOption {
  std::string_view name;
  std::function<void(const char*)> set;
};

int openLog(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

}  // namespace

// Usage: smtp_sink --port-file FILE --log FILE [--port N] [--save DIR] [--lifetime SECONDS]
//                  [--tls-cert FILE --tls-key FILE [--implicit-tls]]
//                  [--pipelining] [--reply-delay MS] [--max-rcpts N] [--rcpt-log FILE]
//   --port N         port on 127.0.0.1 (default 0: the system picks a free one)
//   --port-file F    the port actually bound is written there once it listens
//   --log F          one line per message, written before the 250 reply to the data:
//                      msg=<n> conn=<n> rcpts=<n> wire=<bytes> data=<bytes> header=<bytes>
//                      status=ok
//                    rcpts  = recipients accepted for the message
//                    wire   = bytes between DATA's 354 and the closing ".\r\n"
//                    data   = the same with the dot-stuffing undone
//                    header = bytes up to and including the first empty line (0 if none)
//                    over TLS the line ends in " tls=<version>/<cipher>"
//   --save DIR       also keep each message (unstuffed) as DIR/msg-<n>.eml
//   --lifetime S     exit by itself after S seconds (default 3600)
//   --tls-cert F, --tls-key F   PEM certificate chain and key: STARTTLS is offered
//   --implicit-tls   instead, every connection starts with the TLS handshake
//   --pipelining     advertise PIPELINING; replies go out from a thread of their own
//   --reply-delay MS each reply leaves MS milliseconds after its command arrived (replies to
//                    pipelined commands overlap, as over a network with that round trip)
//   --max-rcpts N    take at most N recipients per transaction; "452 4.5.3" to the rest
//   --rcpt-log F     the recipients of each delivered message, one a line
// Pipelining and delays are for plain connections only. Needs the C++ standard library,
// POSIX and OpenSSL (-lssl -lcrypto).
int main(int argc, char** argv) {
  int port = 0;
  int lifetime = 3600;
  std::string portFile, logFile, certFile, keyFile, rcptLogFile;
  const ValueOption valued[] = {
      {"--port", [&](const char* v) { port = std::atoi(v); }},
      {"--port-file", [&](const char* v) { portFile = v; }},
      {"--log", [&](const char* v) { logFile = v; }},
      {"--save", [](const char* v) { gSaveDir = v; }},
      {"--lifetime", [&](const char* v) { lifetime = std::atoi(v); }},
      {"--tls-cert", [&](const char* v) { certFile = v; }},
      {"--tls-key", [&](const char* v) { keyFile = v; }},
      {"--reply-delay",
       [](const char* v) { gBehaviour.replyDelay = std::chrono::milliseconds(std::atoi(v)); }},
      {"--max-rcpts",
       [](const char* v) {
         gBehaviour.maxRecipients =
             std::min<std::size_t>(std::strtoul(v, nullptr, 10), kMostRecipients);
       }},
      {"--rcpt-log", [&](const char* v) { rcptLogFile = v; }},
  };
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--implicit-tls") {
      gBehaviour.implicitTls = true;
      continue;
    }
    if (arg == "--pipelining") {
      gBehaviour.pipelining = true;
      continue;
    }
    auto option = std::find_if(std::begin(valued), std::end(valued),
                               [arg](const ValueOption& known) { return known.name == arg; });
    if (option == std::end(valued) || i + 1 >= argc) usage();
    option->set(argv[++i]);
  }
  if (portFile.empty() || logFile.empty()) usage();
  if (certFile.empty() != keyFile.empty() || (gBehaviour.implicitTls && certFile.empty())) usage();
  if (!certFile.empty() && gBehaviour.queuesReplies()) {
    std::fprintf(stderr, "smtp_sink: --pipelining and --reply-delay are for plain connections\n");
    return 2;
  }
  ::signal(SIGPIPE, SIG_IGN);

  if (!certFile.empty() && !(gBehaviour.tls = serverContext(certFile, keyFile))) {
    std::fprintf(stderr, "smtp_sink: the certificate or key cannot be used\n");
    return 1;
  }
  gLogFd = openLog(logFile);
  if (gLogFd < 0 || (!rcptLogFile.empty() && (gRcptLogFd = openLog(rcptLogFile)) < 0)) {
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
