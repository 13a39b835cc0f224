// The message stream: everything sent between DATA and the end-of-data marker.
#ifndef LARKPOST_COMPOSE_MESSAGE_STREAM_H_
#define LARKPOST_COMPOSE_MESSAGE_STREAM_H_

#include <functional>
#include <memory>
#include <string>

#include "compose/byte_source.h"
#include "compose/data_writer.h"
#include "compose/line_reader.h"
#include "headerscan/header_block.h"
#include "invocation/job_settings.h"

namespace larkpost {

// What makes this message unique: the time it was written and its identifier field.
struct MessageOrigin {
  std::string dateField;       // "Date: ...\r\n"
  std::string messageIdField;  // "Message-ID: <...>\r\n"
};

enum class StreamResult {
  kComplete,
  kInputFailed,       // standard input could not be read to its end
  kAttachmentFailed,  // the attachment could not be read to its end
};

// Opens the attachment for binary reading; nullptr when it cannot be opened.
using AttachmentOpener = std::function<std::unique_ptr<ByteSource>(const std::string& path)>;

// Writes the program's header lines and MIME framing as the settings ask, relays the
// body from `input` up to its end or a line holding a single full stop, and adds the
// attachment part. On a failure the message is incomplete and must not be ended.
StreamResult sendMessageStream(const JobSettings& settings, const HeaderBlock& header,
                               const MessageOrigin& origin, LineReader& input,
                               const AttachmentOpener& openAttachment, DataWriter& out);

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_MESSAGE_STREAM_H_
