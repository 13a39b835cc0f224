// The message stream: everything sent between DATA and the end-of-data marker.
#ifndef LARKPOST_COMPOSE_MESSAGE_STREAM_H_
#define LARKPOST_COMPOSE_MESSAGE_STREAM_H_

#include <random>
#include <string>

#include "compose/data_writer.h"
#include "compose/line_reader.h"
#include "headerscan/header_scan.h"
#include "invocation/job_settings.h"

namespace larkpost {

// What the run settled before the data began.
struct MessageFrame {
  // The input's own header, when it was read ahead of the body (see readsHeaderAhead).
  const HeaderBlock* inputHeader = nullptr;
  HeaderEnd headerEnd = HeaderEnd::kEmptyLine;
  std::string dateField;       // "Date: ...\r\n"
  std::string messageIdField;  // "Message-ID: <...>\r\n"
  std::string boundary;        // of the multipart body, when there is an attachment
};

enum class StreamResult {
  kComplete,
  kInputFailed,       // standard input could not be read to its end
  kAttachmentFailed,  // the attachment could not be read to its end
};

// True when the input's own header must be read before the body: under -t for its
// recipients, and under -a without -h to put the MIME framing after it.
bool readsHeaderAhead(const JobSettings& settings);

// A multipart boundary that cannot occur in the body: "divider" and 24 random letters
// and digits.
std::string makeBoundary(std::random_device& entropy);

// Writes the header as the settings ask (the input's own fields, the program's fields,
// the MIME framing), relays the body from `input` up to its end or a line holding a
// single full stop, and adds the attachment part. On a failure the message is
// incomplete and must not be ended.
StreamResult sendMessageStream(const JobSettings& settings, const MessageFrame& frame,
                               LineReader& input, DataWriter& out);

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_MESSAGE_STREAM_H_
