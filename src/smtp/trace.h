// Trace: the dialogue as it happens, for a person reading a log: every command and reply
// line ("C: ", "S: "), TLS events ("* "), each with the milliseconds since the run began.
// What the client sends to log in is always shown as <redacted>; the message data as its
// size, unless the data is asked for.
#ifndef LARKPOST_SMTP_TRACE_H_
#define LARKPOST_SMTP_TRACE_H_

#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace larkpost {

class Trace {
 public:
  Trace(std::ostream& out, bool showData);

  // Text the client sends outside the message data: one or more lines.
  void sent(std::string_view text);
  // A line that carries a credential: only an AUTH command's mechanism is shown.
  void sentSecret(std::string_view line);
  void received(std::string_view line);
  // "* " and `text`.
  void event(std::string_view text);

  // The message data, as it goes out; dataEnded() closes it.
  void data(std::string_view bytes);
  void dataEnded();

 private:
  void line(std::string_view prefix, std::string_view text);

  std::ostream& out_;
  bool showData_;
  std::int64_t start_;
  std::uint64_t dataBytes_ = 0;
  std::string partialLine_;  // data shown line by line: the line not yet ended
};

}  // namespace larkpost

#endif  // LARKPOST_SMTP_TRACE_H_
