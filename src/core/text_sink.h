// TextSink: where outgoing text goes; the connection in the program, a string in tests.
#ifndef LARKPOST_CORE_TEXT_SINK_H_
#define LARKPOST_CORE_TEXT_SINK_H_

#include <string_view>

namespace larkpost {

class TextSink {
 public:
  virtual ~TextSink() = default;
  // Sends the bytes of `text` unchanged, nothing added.
  virtual void sendText(std::string_view text) = 0;
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_TEXT_SINK_H_
