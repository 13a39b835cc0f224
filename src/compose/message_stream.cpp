// The four layouts of a message: a bare body under the program's header (-h), the same
// with attachments, a complete message with the MIME framing put after its header (an
// attachment without -h), and a complete message relayed as it is.
#include "compose/message_stream.h"

#include "core/base64_encoder.h"
#include "core/byte_source.h"
#include "compose/header_fields.h"

namespace larkpost {
namespace {

// Fields of the input that describe its body. With an attachment the body becomes the
// first part, so they move into that part; Larkpost writes the message's own.
bool describesBody(const HeaderField& field) {
  return sameFieldName(field.name, "Content-Type") ||
         sameFieldName(field.name, "Content-Transfer-Encoding");
}

bool isMimeVersion(const HeaderField& field) { return sameFieldName(field.name, "MIME-Version"); }

// The input's fields that stay in the message's header; in a multipart message, returns
// those that describe the body instead.
std::string writeInputFields(const HeaderBlock& header, bool multipart, DataWriter& out) {
  std::string bodyFields;
  for (const HeaderField& field : header.fields) {
    if (multipart && describesBody(field)) {
      bodyFields += field.text;
    } else if (!(multipart && isMimeVersion(field))) {
      out.writeText(field.text);
    }
  }
  return bodyFields;
}

// The program's description of the body, for each field the input's header lacks: an
// input that names its own type or encoding knows its body better than the options do.
std::string missingBodyFields(const JobSettings& settings, const MessageFrame& frame,
                              const HeaderBlock& input) {
  std::string fields;
  if (!input.hasField("Content-Type")) {
    fields += textContentTypeField(settings.html, settings.charset);
  }
  if (!input.hasField("Content-Transfer-Encoding")) {
    // A server without 8BITMIME may only be sent 7-bit text; the label cannot claim more.
    fields += frame.eightBitMime ? "Content-Transfer-Encoding: 8bit\r\n"
                                 : "Content-Transfer-Encoding: 7bit\r\n";
  }
  return fields;
}

void writeMimeOpening(const std::string& boundary, DataWriter& out) {
  out.writeText("MIME-Version: 1.0\r\n");
  out.writeText(foldField("Content-Type: multipart/mixed; boundary=\"" + boundary + "\""));
  out.writeText("\r\n--" + boundary + "\r\n");
}

// A body alone is labelled only when the label says something: that it may hold 8-bit
// text, or that it is HTML. Plain 7-bit text needs no MIME fields.
bool labelsBareBody(const JobSettings& settings, const MessageFrame& frame) {
  return frame.eightBitMime || settings.html;
}

// Everything up to the empty line that ends the header (of the message, or with an
// attachment, of its text part).
void writeHeader(const JobSettings& settings, const MessageFrame& frame, DataWriter& out) {
  static const HeaderBlock kNoHeader;
  const HeaderBlock& input = frame.inputHeader ? *frame.inputHeader : kNoHeader;
  bool multipart = isMultipart(settings);
  std::string bodyFields = writeInputFields(input, multipart, out);
  if (settings.emitHeader || settings.completesHeader) {
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
  if (multipart) {
    writeMimeOpening(frame.boundary, out);
    out.writeText(bodyFields + missingBodyFields(settings, frame, input));
  } else if (!settings.completesHeader && labelsBareBody(settings, frame)) {
    if (!input.hasField("MIME-Version")) out.writeText("MIME-Version: 1.0\r\n");
    out.writeText(missingBodyFields(settings, frame, input));
  }
  out.writeText("\r\n");
}

// Relays the body up to the end of the input or, when `fullStopEnds`, a line holding a
// single full stop.
void relayBody(LineReader& input, DataWriter& out, bool fullStopEnds) {
  while (std::optional<LinePiece> piece = input.next()) {
    if (fullStopEnds && isFullStopLine(*piece)) break;
    out.writeLinePiece(piece->text, piece->endsLine);
  }
  out.finishLine();
}

// Hands the attachment's base64 text, already laid out for the wire, to the writer.
class WireText final : public TextSink {
 public:
  explicit WireText(DataWriter& out) : out_(out) {}
  void sendText(std::string_view text) override { out_.writeWireText(text); }

 private:
  DataWriter& out_;
};

// One part, ended by an empty line; false when the file could not be read to its end.
bool writeAttachmentPart(const Attachment& attachment, const std::string& boundary,
                         DataWriter& out) {
  out.writeText("\r\n--" + boundary + "\r\n");
  out.writeText(attachmentFields(attachment.name));
  FileSource file(*attachment.file);
  WireText wire(out);
  if (!Base64Encoder::encodeFile(file, wire)) return false;
  out.writeText("\r\n");
  return true;
}

}  // namespace

bool isMultipart(const JobSettings& settings) {
  return settings.attach || !settings.moreAttachments.empty();
}

std::vector<const Attachment*> attachmentsInOrder(const JobSettings& settings) {
  std::vector<const Attachment*> attachments;
  if (settings.attach) attachments.push_back(&settings.attachment);
  for (const Attachment& attachment : settings.moreAttachments) {
    attachments.push_back(&attachment);
  }
  return attachments;
}

bool readsHeaderAhead(const JobSettings& settings) {
  return settings.parseHeader || settings.completesHeader ||
         (isMultipart(settings) && !settings.emitHeader);
}

std::string makeBoundary(std::random_device& entropy) {
  static constexpr std::string_view kCharacters =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::uniform_int_distribution<std::size_t> pick(0, kCharacters.size() - 1);
  std::string boundary = "divider";
  for (int i = 0; i < 24; ++i) boundary += kCharacters[pick(entropy)];
  return boundary;
}

StreamOutcome sendMessageStream(const JobSettings& settings, const MessageFrame& frame,
                                LineReader& input, DataWriter& out) {
  bool framed = settings.emitHeader || settings.completesHeader || isMultipart(settings);
  if (framed) writeHeader(settings, frame, out);
  if (!framed || frame.headerEnd != HeaderEnd::kFullStop) {
    relayBody(input, out, settings.fullStopEnds);
  }
  if (input.failed()) return {StreamResult::kInputFailed};
  if (!isMultipart(settings)) return {StreamResult::kComplete};
  for (const Attachment* attachment : attachmentsInOrder(settings)) {
    if (!writeAttachmentPart(*attachment, frame.boundary, out)) {
      return {StreamResult::kAttachmentFailed, attachment};
    }
  }
  out.writeText("\r\n--" + frame.boundary + "--\r\n");
  return {StreamResult::kComplete};
}

}  // namespace larkpost
