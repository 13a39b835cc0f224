// The four message layouts, byte for byte, and what happens when an input fails.
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
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";
constexpr std::string_view kAttachmentPart =
    "\r\n--dividerXYZ\r\n"
    "Content-Type: application/octet-stream; name=\"report.doc\"\r\n"
    "Content-Disposition: attachment; filename=\"report.doc\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "YWJj\r\n"
    "\r\n\r\n--dividerXYZ--\r\n";

class MessageStreamTest : public ::testing::Test {
 protected:
  MessageStreamTest() { settings.senderAddress = "me@example.com"; }

  void attach() {
    std::string error;
    std::optional<platform::File> file = platform::createTemporaryFile("lkt", error);
    ASSERT_TRUE(file && file->write("abc") && file->rewind()) << error;
    settings.attach = true;
    settings.attachPath = "/docs/report.doc";
    settings.attachName = "report.doc";
    settings.attachFile = std::make_shared<platform::File>(std::move(*file));
  }

  // Runs the stream as the run does: the input's header read ahead when the mode asks.
  StreamResult stream(const std::string& input, bool inputFails = false) {
    testing::StringSource source(input, 7, inputFails);
    LineReader reader(source, 64);
    DataWriter writer(sink);
    HeaderScan scan;
    MessageFrame frame{nullptr, HeaderEnd::kEmptyLine, "Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n",
                       "Message-ID: <id@example.com>\r\n", "dividerXYZ"};
    if (readsHeaderAhead(settings)) {
      scan = scanHeader(reader, settings.parseHeader);
      frame.inputHeader = &scan.header;
      frame.headerEnd = scan.end;
    }
    return sendMessageStream(settings, frame, reader, writer);
  }

  JobSettings settings;
  testing::StringSink sink;
};

TEST_F(MessageStreamTest, BareBodyGetsTheProgramHeader) {
  settings.emitHeader = true;
  settings.subject = "Report\r\nBcc: victim@example.com";
  settings.priority = -1;
  EXPECT_EQ(stream("Hello\n.\nnot sent\n"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), std::string(kOrigin) +
                             "Subject: Report  Bcc: victim@example.com\r\n"
                             "X-Priority: -1\r\n"
                             "\r\nHello\r\n");
}

TEST_F(MessageStreamTest, BareBodyWithAttachmentIsMultipart) {
  settings.emitHeader = true;
  settings.subject = "Report";
  settings.priority = 3;
  attach();
  EXPECT_EQ(stream("Hello\r\n--dividerXYZ--\r\n.\r\n"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), std::string(kOrigin) + "Subject: Report\r\nX-Priority: 3\r\n" +
                             std::string(kMimeOpening) + std::string(kTextFields) +
                             "\r\nHello\r\n--dividerXYZ--\r\n" + std::string(kAttachmentPart));
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
    sink = {};
    settings = {};
    settings.subject = "Report";
    attach();
    EXPECT_EQ(stream(c.input), StreamResult::kComplete);
    EXPECT_EQ(sink.text(), c.header + "Subject: Report\r\n" + std::string(kMimeOpening) +
                               c.textFields + "\r\n" + c.body + std::string(kAttachmentPart));
  }
}

TEST_F(MessageStreamTest, CompleteMessageWithoutOptionsIsRelayedAsItIs) {
  settings.subject = "ignored";
  settings.priority = 2;
  EXPECT_EQ(stream("Subject: x\n\n.leading dot\n..\n.x"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), "Subject: x\r\n\r\n..leading dot\r\n...\r\n..x\r\n");
}

TEST_F(MessageStreamTest, KeptHeaderComesFirstAndItsFieldsAreNotRepeated) {
  settings.emitHeader = settings.parseHeader = true;
  EXPECT_EQ(stream("From: Ann <ann@x>\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\n"
                   "Bcc: hidden@x\nTo: b@y\nno field: body\n"),
            StreamResult::kComplete);
  EXPECT_EQ(sink.text(),
            "From: Ann <ann@x>\r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\nTo: b@y\r\n"
            "Message-ID: <id@example.com>\r\n\r\nno field: body\r\n");
}

TEST_F(MessageStreamTest, ReadFailureIsReported) {
  settings.emitHeader = true;
  EXPECT_EQ(stream("partial body\n", /*inputFails=*/true), StreamResult::kInputFailed);
}

}  // namespace
}  // namespace larkpost
