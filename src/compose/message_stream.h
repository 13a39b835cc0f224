// The message stream: everything sent between DATA and the end-of-data marker.
#ifndef LARKPOST_COMPOSE_MESSAGE_STREAM_H_
#define LARKPOST_COMPOSE_MESSAGE_STREAM_H_

#include <random>
#include <string>
#include <vector>

#include "compose/data_writer.h"
#include "core/line_reader.h"
#include "headerscan/header_scan.h"
#include "core/job_settings.h"

namespace larkpost {

// What the run settled before the data began.
struct MessageFrame {
  // The input's own header, when it was read ahead of the body (see readsHeaderAhead).
  const HeaderBlock* inputHeader = nullptr;
  HeaderEnd headerEnd = HeaderEnd::kEmptyLine;
  std::string dateField;       // "Date: ...\r\n"
  std::string messageIdField;  // "Message-ID: <...>\r\n"
  std::string boundary;        // of the multipart body, when there is an attachment
  bool eightBitMime = false;   // the server offers 8BITMIME: the body may be labelled 8bit
};

enum class StreamResult {
  kComplete,
  kInputFailed,       // standard input could not be read to its end
  kAttachmentFailed,  // an attachment could not be read to its end
};

struct StreamOutcome {
  StreamResult result = StreamResult::kComplete;
  const Attachment* failedAttachment = nullptr;  // with kAttachmentFailed, the one that failed
};

// True when any file is attached (-a or --attach): the body is then the first part of a
// multipart message.
bool isMultipart(const JobSettings& settings);

// The attached files in the order of their parts: -a's, then those of --attach.
std::vector<const Attachment*> attachmentsInOrder(const JobSettings& settings);

// True when the input's own header must be read before the body: under -t for its
// recipients, and with an attachment but without -h to put the MIME framing after it.
bool readsHeaderAhead(const JobSettings& settings);

// A multipart boundary that cannot occur in the body: "divider" and 24 random letters
// and digits.
std::string makeBoundary(std::random_device& entropy);

// Writes the header as the settings ask (the input's own fields, the program's fields,
// the MIME framing), relays the body from `input` up to its end or a line holding a
// single full stop, and adds a part for each attachment. On a failure the message is
// incomplete and must not be ended.
StreamOutcome sendMessageStream(const JobSettings& settings, const MessageFrame& frame,
                                LineReader& input, DataWriter& out);

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_MESSAGE_STREAM_H_
