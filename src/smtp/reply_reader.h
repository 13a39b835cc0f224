// Reads whole SMTP replies, one or several lines, from the connection.
#ifndef LARKPOST_SMTP_REPLY_READER_H_
#define LARKPOST_SMTP_REPLY_READER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace larkpost {

// A complete reply: every line, without line ends.
struct Reply {
  std::vector<std::string> lines;

  // First character of the reply, '\0' for an empty one.
  char first() const { return lines.empty() || lines[0].empty() ? '\0' : lines[0][0]; }
  // Every line starts with the same three digits followed by a blank, a hyphen or nothing.
  bool wellFormed() const;
  // A well-formed positive completion (2yz).
  bool accepted() const { return wellFormed() && first() == '2'; }
  // 421: the server is closing the connection.
  bool closing() const;
  // True when the reply carries this three-digit code.
  bool hasCode(std::string_view code) const;
  // The whole reply on one line, for a message: its first line, then the text of each
  // further line.
  std::string text() const;
};

enum class ReplyStatus {
  kComplete,
  kClosed,    // the connection ended before the reply did
  kTimedOut,  // the deadline passed before the reply was complete
  kTooLarge,  // the reply broke the line or size bound: not an SMTP server
};

struct ReplyResult {
  ReplyStatus status = ReplyStatus::kComplete;
  Reply reply;
};

class ReplyReader {
 public:
  static constexpr std::size_t kMaxReplyLines = 1000;
  static constexpr std::size_t kMaxReplyBytes = 64 * 1024;

  explicit ReplyReader(platform::Socket& socket) : socket_(&socket) {}

  // Reads from `socket` from now on (the same connection, secured).
  void rebind(platform::Socket& socket) { socket_ = &socket; }

  // Bytes that arrived but belong to no reply read yet.
  bool hasUnreadBytes() const { return begin_ < end_; }

  // Reads lines up to the last line of a reply (one whose fourth character is not a
  // hyphen). The deadline covers the whole reply, however slowly it arrives.
  ReplyResult read(std::int64_t deadline);

 private:
  // Reads one line into `line`, without its LF or CR LF.
  ReplyStatus readLine(std::string& line, std::size_t& replyBytes, std::int64_t deadline);

  platform::Socket* socket_;
  std::array<char, 4096> buffer_{};
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace larkpost

#endif  // LARKPOST_SMTP_REPLY_READER_H_
