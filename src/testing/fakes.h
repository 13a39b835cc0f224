// Fakes for the unit tests: a scripted socket, a string sink and a string source.
#ifndef LARKPOST_TESTING_FAKES_H_
#define LARKPOST_TESTING_FAKES_H_

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>

#include "core/byte_source.h"
#include "platform/platform.h"
#include "core/text_sink.h"

namespace larkpost::testing {

// Replays scripted arrivals, one per receive() call, and records what is sent. When the
// script runs out the peer has closed.
class FakeSocket final : public platform::Socket {
 public:
  struct Arrival {
    std::string bytes;                              // delivered when status is kOk
    platform::IoStatus status = platform::IoStatus::kOk;
  };

  void arrive(std::string bytes) { arrivals.push_back({std::move(bytes)}); }
  void stall() { arrivals.push_back({"", platform::IoStatus::kTimedOut}); }

  platform::IoStatus sendAll(std::string_view bytes, std::int64_t) override {
    if (failSends) return platform::IoStatus::kClosed;
    sent.append(bytes);
    ++sendCalls;
    return platform::IoStatus::kOk;
  }

  platform::ReceiveResult receive(std::span<char> into, std::int64_t) override {
    if (arrivals.empty()) return {platform::IoStatus::kClosed, 0};
    Arrival& next = arrivals.front();
    if (next.status != platform::IoStatus::kOk) {
      auto status = next.status;
      arrivals.pop_front();
      return {status, 0};
    }
    std::size_t count = std::min(into.size(), next.bytes.size());
    std::memcpy(into.data(), next.bytes.data(), count);
    next.bytes.erase(0, count);
    if (next.bytes.empty()) arrivals.pop_front();
    return {platform::IoStatus::kOk, count};
  }

  std::deque<Arrival> arrivals;
  std::string sent;
  int sendCalls = 0;
  bool failSends = false;
};

class StringSink final : public TextSink {
 public:
  void sendText(std::string_view text) override { text_.append(text); }
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Gives its bytes in reads of at most `chunk` bytes; fails instead of ending when
// `failAtEnd` is set.
class StringSource final : public ByteSource {
 public:
  explicit StringSource(std::string bytes, std::size_t chunk = 1 << 20, bool failAtEnd = false)
      : bytes_(std::move(bytes)), chunk_(chunk), failAtEnd_(failAtEnd) {}

  std::ptrdiff_t read(std::span<char> into) override {
    std::size_t count = std::min({into.size(), chunk_, bytes_.size() - at_});
    if (count == 0) return failAtEnd_ ? -1 : 0;
    std::memcpy(into.data(), bytes_.data() + at_, count);
    at_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }

 private:
  std::string bytes_;
  std::size_t chunk_;
  bool failAtEnd_;
  std::size_t at_ = 0;
};

}  // namespace larkpost::testing

#endif  // LARKPOST_TESTING_FAKES_H_
