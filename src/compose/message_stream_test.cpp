// The four message layouts, byte for byte, how the body is described in each, and what
// happens when an input fails.
#include "compose/message_stream.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

constexpr std::string_view kOrigin =
    "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n"
    "From: larkpost <me@example.com>\r\n"
    "Message-ID: <id@example.com>\r\n";
constexpr std::string_view kMimeOpening =
    "MIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"dividerXYZ\"\r\n\r\n"
    "--dividerXYZ\r\n";
constexpr std::string_view kTextFields =
    "Content-Type: text/plain; charset=\"utf-8\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";
constexpr std::string_view kAttachmentPart =
    "\r\n--dividerXYZ\r\n"
    "Content-Type: application/octet-stream; name=\"report.doc\"\r\n"
    "Content-Disposition: attachment; filename=\"report.doc\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "YWJj\r\n\r\n";
constexpr std::string_view kEnd = "\r\n--dividerXYZ--\r\n";

// A file holding `content`, as the options would have found it.
Attachment attachment(std::string path, std::string name, std::string_view content) {
  std::string error;
  std::optional<platform::File> file = platform::createTemporaryFile("lkt", error);
  EXPECT_TRUE(file && file->write(content) && file->rewind()) << error;
  if (!file) return {};
  return {std::move(path), std::move(name), std::make_shared<platform::File>(std::move(*file))};
}

class MessageStreamTest : public ::testing::Test {
 protected:
  MessageStreamTest() { reset(); }

  void reset() {
    sink = {};
    settings = {};
    settings.senderAddress = "me@example.com";
    settings.charset = "utf-8";  // whatever the platform's own
  }

  void attach() {
    settings.attach = true;
    settings.attachment = attachment("/docs/report.doc", "report.doc", "abc");
  }

  // Runs the stream as the run does: the input's header read ahead when the mode asks.
  StreamOutcome stream(const std::string& input, bool inputFails = false) {
    testing::StringSource source(input, 7, inputFails);
    LineReader reader(source, 64);
    DataWriter writer(sink);
    HeaderScan scan;
    MessageFrame frame{nullptr,
                       HeaderEnd::kEmptyLine,
                       "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n",
                       "Message-ID: <id@example.com>\r\n",
                       "dividerXYZ",
                       eightBitMime};
    if (readsHeaderAhead(settings)) {
      scan = scanHeader(reader, settings.parseHeader);
      frame.inputHeader = &scan.header;
      frame.headerEnd = scan.end;
    }
    return sendMessageStream(settings, frame, reader, writer);
  }

  JobSettings settings;
  bool eightBitMime = false;
  testing::StringSink sink;
};

TEST_F(MessageStreamTest, BareBodyGetsTheProgramHeader) {
  settings.emitHeader = true;
  settings.subject = "Report\r\nBcc: victim@example.com";
  settings.priority = -1;
  EXPECT_EQ(stream("Hello\n.\nnot sent\n").result, StreamResult::kComplete);
  EXPECT_EQ(sink.text(), std::string(kOrigin) +
                             "Subject: Report  Bcc: victim@example.com\r\n"
                             "X-Priority: -1\r\n"
                             "\r\nHello\r\n");
}

// Parts follow the text in the order of the options: -a's, then each --attach.
TEST_F(MessageStreamTest, BareBodyWithAttachmentsIsMultipart) {
  settings.emitHeader = true;
  settings.subject = "Report";
  settings.priority = 3;
  settings.moreAttachments.push_back(attachment("/tmp/2", "second", "second"));
  attach();
  EXPECT_EQ(stream("Hello\r\n--dividerXYZ--\r\n.\r\n").result, StreamResult::kComplete);
  EXPECT_EQ(sink.text(), std::string(kOrigin) + "Subject: Report\r\nX-Priority: 3\r\n" +
                             std::string(kMimeOpening) + std::string(kTextFields) +
                             "\r\nHello\r\n--dividerXYZ--\r\n" + std::string(kAttachmentPart) +
                             "\r\n--dividerXYZ\r\n"
                             "Content-Type: application/octet-stream; name=\"second\"\r\n"
                             "Content-Disposition: attachment; filename=\"second\"\r\n"
                             "Content-Transfer-Encoding: base64\r\n\r\n"
                             "c2Vjb25k\r\n\r\n" +
                             std::string(kEnd));
}

// Whatever ends the input's header, the attachment is a real MIME part after it, and
// the input's own description of its body moves into the body's part.
TEST_F(MessageStreamTest, CompleteMessageGetsMimeAfterItsHeader) {
  struct Case {
    std::string input;
    std::string header;  // the input's fields that stay on top
    std::string textFields;
    std::string body;
  };
  const Case cases[] = {
      {"To: a@x\nSubject: old\n\nHello\n", "To: a@x\r\nSubject: old\r\n", std::string(kTextFields),
       "Hello\r\n"},
      {"Subject: old\nThe backup failed.\n", "Subject: old\r\n", std::string(kTextFields),
       "The backup failed.\r\n"},
      {"Subject: old\n", "Subject: old\r\n", std::string(kTextFields), ""},
      {"Subject: old\n.\nnot sent\n", "Subject: old\r\n", std::string(kTextFields), ""},
      {"MIME-Version: 1.0\nContent-Type: text/plain;\n charset=utf-8\nSubject: old\n"
       "Content-Transfer-Encoding: 8bit\n\nGr\xC3\xBC\xC3\x9F" "e\n",
       "Subject: old\r\n",
       "Content-Type: text/plain;\r\n charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n",
       "Gr\xC3\xBC\xC3\x9F" "e\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    reset();
    settings.subject = "Report";
    attach();
    EXPECT_EQ(stream(c.input).result, StreamResult::kComplete);
    EXPECT_EQ(sink.text(), c.header + "Subject: Report\r\n" + std::string(kMimeOpening) +
                               c.textFields + "\r\n" + c.body + std::string(kAttachmentPart) +
                               std::string(kEnd));
  }
}

TEST_F(MessageStreamTest, CompleteMessageWithoutOptionsIsRelayedAsItIs) {
  settings.subject = "ignored";
  settings.priority = 2;
  EXPECT_EQ(stream("Subject: x\n\n.leading dot\n..\n.x").result, StreamResult::kComplete);
  EXPECT_EQ(sink.text(), "Subject: x\r\n\r\n..leading dot\r\n...\r\n..x\r\n");
}

TEST_F(MessageStreamTest, KeptHeaderComesFirstAndItsFieldsAreNotRepeated) {
  settings.emitHeader = settings.parseHeader = true;
  EXPECT_EQ(stream("From: Ann <ann@x>\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\n"
                   "Bcc: hidden@x\nTo: b@y\nno field: body\n")
                .result,
            StreamResult::kComplete);
  EXPECT_EQ(sink.text(),
            "From: Ann <ann@x>\r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\nTo: b@y\r\n"
            "Message-ID: <id@example.com>\r\n\r\nno field: body\r\n");
}

TEST_F(MessageStreamTest, ReadFailureIsReported) {
  settings.emitHeader = true;
  EXPECT_EQ(stream("partial body\n", /*inputFails=*/true).result, StreamResult::kInputFailed);
}

// How the body is described in each layout: by the input's own fields where it has them,
// else by the charset and --html, 8bit only when the server takes it.
TEST_F(MessageStreamTest, BodyIsDescribedAsTheInputTheSettingsAndTheServerAllow) {
  enum Layout { kBareBody, kBareBodyAttached, kRelayed, kRelayedAttached, kKeptHeader };
  struct Case {
    Layout layout;
    bool html;
    bool eightBit;
    std::string input;
    std::string header;  // up to the empty line; with an attachment, of the text part
  };
  const std::string origin(kOrigin);
  const std::string opening(kMimeOpening);
  const std::string version = "MIME-Version: 1.0\r\n";
  const std::string plain = "Content-Type: text/plain; charset=\"iso-8859-2\"\r\n";
  const std::string html = "Content-Type: text/html; charset=\"iso-8859-2\"\r\n";
  const std::string eightBit = "Content-Transfer-Encoding: 8bit\r\n";
  const std::string sevenBit = "Content-Transfer-Encoding: 7bit\r\n";
  const Case cases[] = {
      {kBareBody, false, true, "body\n", origin + version + plain + eightBit},
      {kBareBody, true, false, "body\n", origin + version + html + sevenBit},
      {kBareBodyAttached, false, false, "body\n", origin + opening + plain + sevenBit},
      {kBareBodyAttached, true, true, "body\n", origin + opening + html + eightBit},
      {kRelayed, true, true, "Subject: x\n\nbody\n", "Subject: x\r\n"},
      {kRelayedAttached, true, false, "Subject: x\nContent-Transfer-Encoding: 8bit\n\nbody\n",
       "Subject: x\r\n" + opening + eightBit + html},
      {kKeptHeader, true, true,
       "To: a@x\nMIME-Version: 1.0\nContent-Type: text/plain; charset=koi8-r\n\nbody\n",
       "To: a@x\r\nMIME-Version: 1.0\r\nContent-Type: text/plain; charset=koi8-r\r\n" + origin +
           eightBit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input + (c.html ? " html" : "") + (c.eightBit ? " 8bit" : ""));
    reset();
    settings.charset = "iso-8859-2";
    settings.html = c.html;
    eightBitMime = c.eightBit;
    settings.emitHeader = c.layout == kBareBody || c.layout == kBareBodyAttached;
    settings.parseHeader = c.layout == kKeptHeader;
    settings.emitHeader |= settings.parseHeader;
    if (c.layout == kBareBodyAttached || c.layout == kRelayedAttached) attach();
    EXPECT_EQ(stream(c.input).result, StreamResult::kComplete);
    std::string parts = settings.attach ? std::string(kAttachmentPart) + std::string(kEnd) : "";
    EXPECT_EQ(sink.text(), c.header + "\r\nbody\r\n" + parts);
  }
}

// The failure names the file that could not be read, and the message is left unended.
TEST_F(MessageStreamTest, UnreadableAttachmentIsNamedAndEndsTheStream) {
  settings.emitHeader = true;
  attach();
  // No descriptor behind it: every read fails.
  settings.moreAttachments.push_back(
      {"/tmp/broken", "broken", std::make_shared<platform::File>(-2)});
  settings.moreAttachments.push_back(attachment("/tmp/never", "never", "x"));
  StreamOutcome outcome = stream("Hello\n");
  EXPECT_EQ(outcome.result, StreamResult::kAttachmentFailed);
  EXPECT_EQ(outcome.failedAttachment, &settings.moreAttachments[0]);
  EXPECT_EQ(sink.text().find("never"), std::string::npos);
  EXPECT_FALSE(sink.text().ends_with("--\r\n"));
}

}  // namespace
}  // namespace larkpost
