// The four layouts of a message: a bare body under the program's header (-h), the same
// with an attachment (-h -a), a complete message with the MIME framing inserted before
// its first empty line (-a alone), and a complete message relayed as it is.
#include "compose/message_stream.h"

#include "compose/base64_encoder.h"
#include "compose/header_fields.h"

namespace larkpost {
namespace {

constexpr std::string_view kMimeOpening =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"divider\"\r\n"
    "\r\n"
    "--divider\r\n"
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";
constexpr std::string_view kAttachmentBoundary = "\r\n--divider\r\n";
constexpr std::string_view kClosingBoundary = "\r\n--divider--\r\n";

void writeSubjectAndPriority(const JobSettings& settings, DataWriter& out) {
  if (!settings.subject.empty()) out.writeText("Subject: " + singleLine(settings.subject) + "\r\n");
  if (settings.priority != 0) {
    out.writeText("X-Priority: " + std::to_string(settings.priority) + "\r\n");
  }
}

// The program's own header (-h, -t): the kept fields of the input's header, the fields
// every message needs that they lack, subject, priority and the MIME opening.
bool writeProgramHeader(const JobSettings& settings, const HeaderBlock& header,
                        const MessageOrigin& origin, DataWriter& out) {
  if (settings.parseHeader) out.writeText(header.text);
  if (!header.hasField("Date")) out.writeText(origin.dateField);
  if (!header.hasField("From")) {
    out.writeText(fromField(settings.senderName, settings.senderAddress));
  }
  if (!header.hasField("Message-ID")) out.writeText(origin.messageIdField);
  writeSubjectAndPriority(settings, out);
  if (settings.attach) out.writeText(kMimeOpening);
  out.writeText("\r\n");
  return settings.attach;
}

bool startsWithLineEnd(const LinePiece& piece) {
  return piece.text.empty() ? piece.endsLine : piece.text.front() == '\r';
}

bool isFullStopLine(const LinePiece& piece) {
  return piece.firstPiece && piece.endsLine && (piece.text == "." || piece.text == ".\r");
}

// Relays the body; under -a alone, the MIME opening goes in before the first empty line.
bool relayBody(const JobSettings& settings, bool mimeOpened, LineReader& input,
               DataWriter& out) {
  bool insertPending = settings.attach && !settings.emitHeader && !mimeOpened;
  while (std::optional<LinePiece> piece = input.next()) {
    if (insertPending && piece->firstPiece && startsWithLineEnd(*piece)) {
      writeSubjectAndPriority(settings, out);
      out.writeText(kMimeOpening);
      insertPending = false;
      mimeOpened = true;
    }
    if (isFullStopLine(*piece)) break;
    out.writeLinePiece(piece->text, piece->endsLine);
  }
  out.finishLine();
  return mimeOpened;
}

StreamResult writeAttachmentPart(const JobSettings& settings, bool mimeOpened,
                                 const AttachmentOpener& openAttachment, DataWriter& out) {
  std::unique_ptr<ByteSource> file = openAttachment(settings.attachPath);
  if (!file) {
    // Gone since it was found: still close the multipart, so the message stays whole.
    if (mimeOpened) out.writeText(kClosingBoundary);
    return StreamResult::kComplete;
  }
  out.writeText(kAttachmentBoundary);
  out.writeText(attachmentFields(settings.attachName));
  if (!Base64Encoder::encodeFile(*file, out)) return StreamResult::kAttachmentFailed;
  out.writeText("\r\n");
  out.writeText(kClosingBoundary);
  return StreamResult::kComplete;
}

}  // namespace

StreamResult sendMessageStream(const JobSettings& settings, const HeaderBlock& header,
                               const MessageOrigin& origin, LineReader& input,
                               const AttachmentOpener& openAttachment, DataWriter& out) {
  bool mimeOpened = settings.emitHeader && writeProgramHeader(settings, header, origin, out);
  mimeOpened = relayBody(settings, mimeOpened, input, out);
  if (input.failed()) return StreamResult::kInputFailed;
  if (!settings.attach) return StreamResult::kComplete;
  return writeAttachmentPart(settings, mimeOpened, openAttachment, out);
}

}  // namespace larkpost
