// The four layouts of a message: a bare body under the program's header (-h), the same
// with an attachment (-h -a), a complete message with the MIME framing put after its
// header (-a alone), and a complete message relayed as it is.
#include "compose/message_stream.h"


#include "compose/base64_encoder.h"
#include "compose/byte_source.h"
#include "compose/header_fields.h"

namespace larkpost {
namespace {

constexpr std::string_view kDefaultTextFields =
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";

// Fields of the input that describe its body. With an attachment the body becomes the
// first part, so they move into that part; Larkpost writes the message's own.
bool describesBody(const HeaderField& field) {
  return sameFieldName(field.name, "Content-Type") ||
         sameFieldName(field.name, "Content-Transfer-Encoding");
}

bool isMimeVersion(const HeaderField& field) { return sameFieldName(field.name, "MIME-Version"); }

// The input's fields that stay in the message's header; with an attachment, returns
// those that describe the body instead.
std::string writeInputFields(const HeaderBlock& header, bool attach, DataWriter& out) {
  std::string bodyFields;
  for (const HeaderField& field : header.fields) {
    if (attach && describesBody(field)) {
      bodyFields += field.text;
    } else if (!(attach && isMimeVersion(field))) {
      out.writeText(field.text);
    }
  }
  return bodyFields;
}

void writeMimeOpening(const std::string& boundary, std::string_view textFields,
                      DataWriter& out) {
  out.writeText("MIME-Version: 1.0\r\n");
  out.writeText(foldField("Content-Type: multipart/mixed; boundary=\"" + boundary + "\""));
  out.writeText("\r\n--" + boundary + "\r\n");
  out.writeText(textFields.empty() ? kDefaultTextFields : textFields);
}

// Everything up to the empty line that ends the header (of the message, or with an
// attachment, of its text part).
void writeHeader(const JobSettings& settings, const MessageFrame& frame, DataWriter& out) {
  static const HeaderBlock kNoHeader;
  const HeaderBlock& input = frame.inputHeader ? *frame.inputHeader : kNoHeader;
  std::string bodyFields = writeInputFields(input, settings.attach, out);
  if (settings.emitHeader) {
    if (!input.hasField("Date")) out.writeText(frame.dateField);
    if (!input.hasField("From")) {
      out.writeText(fromField(platform::localTextToUtf8(settings.senderName),
                              settings.senderAddress, settings.domain));
    }
    if (!input.hasField("Message-ID")) out.writeText(frame.messageIdField);
  }
  if (!settings.subject.empty()) {
    out.writeText(subjectField(platform::localTextToUtf8(settings.subject)));
  }
  if (settings.priority != 0) {
    out.writeText("X-Priority: " + std::to_string(settings.priority) + "\r\n");
  }
  if (settings.attach) writeMimeOpening(frame.boundary, bodyFields, out);
  out.writeText("\r\n");
}

// Relays the body up to the end of the input or a line holding a single full stop.
void relayBody(LineReader& input, DataWriter& out) {
  while (std::optional<LinePiece> piece = input.next()) {
    if (isFullStopLine(*piece)) break;
    out.writeLinePiece(piece->text, piece->endsLine);
  }
  out.finishLine();
}

StreamResult writeAttachmentPart(const JobSettings& settings, const std::string& boundary,
                                 DataWriter& out) {
  out.writeText("\r\n--" + boundary + "\r\n");
  out.writeText(attachmentFields(settings.attachName));
  FileSource file(*settings.attachFile);
  if (!Base64Encoder::encodeFile(file, out)) return StreamResult::kAttachmentFailed;
  out.writeText("\r\n\r\n--" + boundary + "--\r\n");
  return StreamResult::kComplete;
}

}  // namespace

bool readsHeaderAhead(const JobSettings& settings) {
  return settings.parseHeader || (settings.attach && !settings.emitHeader);
}

std::string makeBoundary(std::random_device& entropy) {
  static constexpr std::string_view kCharacters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kCharacters.size() - 1);
  std::string boundary = "divider";
  for (int i = 0; i < 24; ++i) boundary += kCharacters[pick(entropy)];
  return boundary;
}

StreamResult sendMessageStream(const JobSettings& settings, const MessageFrame& frame,
                               LineReader& input, DataWriter& out) {
  bool framed = settings.emitHeader || settings.attach;
  if (framed) writeHeader(settings, frame, out);
  if (!framed || frame.headerEnd != HeaderEnd::kFullStop) relayBody(input, out);
  if (input.failed()) return StreamResult::kInputFailed;
  if (!settings.attach) return StreamResult::kComplete;
  return writeAttachmentPart(settings, frame.boundary, out);
}

}  // namespace larkpost
