// Secret: a password or token. It can be moved but not copied, and its bytes are wiped
// from memory when it goes, so a secret lives in one place and only as long as needed.
#ifndef LARKPOST_CORE_SECRET_H_
#define LARKPOST_CORE_SECRET_H_

#include <string>
#include <string_view>
#include <utility>

#include "platform/platform.h"

namespace larkpost {

// Overwrites the whole of `text`, then empties it.
inline void wipe(std::string& text) {
  platform::wipeMemory(text.data(), text.size());
  text.clear();
}

class Secret {
 public:
  Secret() = default;
  // Takes `value` over and wipes the caller's copy.
  explicit Secret(std::string& value) : value_(value) { wipe(value); }
  explicit Secret(std::string&& value) : value_(value) { wipe(value); }
  Secret(Secret&& other) noexcept : value_(other.value_) { wipe(other.value_); }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      wipe(value_);
      value_ = other.value_;
      wipe(other.value_);
    }
    return *this;
  }
  Secret(const Secret&) = delete;
  Secret& operator=(const Secret&) = delete;
  ~Secret() { wipe(value_); }

  std::string_view view() const { return value_; }
  bool empty() const { return value_.empty(); }

 private:
  std::string value_;
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_SECRET_H_
