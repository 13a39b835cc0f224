// The server may answer in several lines ("250-..." then "250 ..."); the whole reply is
// read before the next command, so no reply is ever taken for the answer to a later one.
#include "smtp/reply_reader.h"

#include <algorithm>

namespace larkpost {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool startsWithCode(const std::string& line) {
  return line.size() >= 3 && isDigit(line[0]) && isDigit(line[1]) && isDigit(line[2]);
}

bool isContinuation(const std::string& line) {
  return line.size() >= 4 && startsWithCode(line) && line[3] == '-';
}

}  // namespace

// Every line of a reply carries the same code (RFC 5321 4.2.1); a reply whose lines
// disagree is not one a client may act on.
bool Reply::wellFormed() const {
  if (lines.empty()) return false;
  const std::string& first = lines.front();
  return std::all_of(lines.begin(), lines.end(), [&first](const std::string& line) {
    return startsWithCode(line) && (line.size() == 3 || line[3] == ' ' || line[3] == '-') &&
           line.compare(0, 3, first, 0, 3) == 0;
  });
}

bool Reply::closing() const { return hasCode("421"); }

bool Reply::hasCode(std::string_view code) const {
  return wellFormed() && std::string_view(lines.front()).substr(0, 3) == code;
}

std::string Reply::text() const {
  std::string joined;
  for (const std::string& line : lines) {
    if (joined.empty()) {
      joined = line;
    } else if (line.size() > 4) {
      joined += ' ';
      joined += line.substr(4);
    }
  }
  if (joined.size() > 3 && joined[3] == '-') joined[3] = ' ';
  return joined;
}

ReplyResult ReplyReader::read(std::int64_t deadline) {
  ReplyResult result;
  std::size_t replyBytes = 0;
  for (;;) {
    std::string line;
    result.status = readLine(line, replyBytes, deadline);
    if (result.status != ReplyStatus::kComplete) return result;
    result.reply.lines.push_back(std::move(line));
    if (!isContinuation(result.reply.lines.back())) return result;
    if (result.reply.lines.size() >= kMaxReplyLines) {
      result.status = ReplyStatus::kTooLarge;
      return result;
    }
  }
}

ReplyStatus ReplyReader::readLine(std::string& line, std::size_t& replyBytes,
                                  std::int64_t deadline) {
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const char* stop = buffer_.data() + end_;
    const char* newline = std::find(start, stop, '\n');
    std::size_t taken = static_cast<std::size_t>(newline - start) + (newline != stop ? 1 : 0);
    replyBytes += taken;
    if (replyBytes > kMaxReplyBytes) return ReplyStatus::kTooLarge;
    line.append(start, newline);
    begin_ += taken;
    if (newline != stop) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return ReplyStatus::kComplete;
    }
    platform::ReceiveResult received = socket_->receive(buffer_, deadline);
    if (received.status == platform::IoStatus::kTimedOut) return ReplyStatus::kTimedOut;
    if (received.status == platform::IoStatus::kClosed) return ReplyStatus::kClosed;
    begin_ = 0;
    end_ = received.bytes;
  }
}

}  // namespace larkpost
