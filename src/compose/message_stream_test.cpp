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
    "Content-Type: multipart/mixed; boundary=\"divider\"\r\n\r\n"
    "--divider\r\n"
    "Content-Type: text/plain; charset=\"us-ascii\"\r\n"
    "Content-Transfer-Encoding: 7bit\r\n";
constexpr std::string_view kAttachmentPart =
    "\r\n--divider\r\n"
    "Content-Type: application/octet-stream; name=\"report.doc\"\r\n"
    "Content-Disposition: attachment; filename=\"report.doc\"\r\n"
    "Content-Transfer-Encoding: base64\r\n\r\n"
    "YWJj\r\n"
    "\r\n\r\n--divider--\r\n";

class MessageStreamTest : public ::testing::Test {
 protected:
  MessageStreamTest() { settings.senderAddress = "me@example.com"; }

  void attach(std::string content = "abc") {
    settings.attach = true;
    settings.attachPath = "/docs/report.doc";
    settings.attachName = "report.doc";
    attachment = std::move(content);
  }

  StreamResult stream(const std::string& input, bool inputFails = false) {
    testing::StringSource source(input, 1 << 20, inputFails);
    LineReader reader(source);
    DataWriter writer(sink);
    MessageOrigin origin{"Date: Sun, 06 Dec 2026 10:00:00 +0000\r\n",
                         "Message-ID: <id@example.com>\r\n"};
    AttachmentOpener open = [this](const std::string& path) -> std::unique_ptr<ByteSource> {
      openedPath = path;
      if (!attachment) return nullptr;
      return std::make_unique<testing::StringSource>(*attachment, 1 << 20, attachmentFails);
    };
    return sendMessageStream(settings, header, origin, reader, open, writer);
  }

  JobSettings settings;
  HeaderBlock header;
  std::optional<std::string> attachment;
  bool attachmentFails = false;
  std::string openedPath;
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
  EXPECT_EQ(stream("Hello\r\n.\r\n"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), std::string(kOrigin) + "Subject: Report\r\nX-Priority: 3\r\n" +
                             std::string(kMimeOpening) + "\r\nHello\r\n" +
                             std::string(kAttachmentPart));
  EXPECT_EQ(openedPath, "/docs/report.doc");
}

TEST_F(MessageStreamTest, CompleteMessageGetsMimeInsertedBeforeItsFirstEmptyLine) {
  settings.subject = "Report";
  attach();
  EXPECT_EQ(stream("To: a@x\nSubject: old\n\nHello\n"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), "To: a@x\r\nSubject: old\r\nSubject: Report\r\n" +
                             std::string(kMimeOpening) + "\r\nHello\r\n" +
                             std::string(kAttachmentPart));
}

TEST_F(MessageStreamTest, CompleteMessageWithoutOptionsIsRelayedAsItIs) {
  settings.subject = "ignored";
  settings.priority = 2;
  EXPECT_EQ(stream("Subject: x\n\n.leading dot\n..\n.x"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(), "Subject: x\r\n\r\n..leading dot\r\n...\r\n..x\r\n");
}

TEST_F(MessageStreamTest, KeptHeaderComesFirstAndItsFieldsAreNotRepeated) {
  settings.emitHeader = settings.parseHeader = true;
  header.text = "From: Ann <ann@x>\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\nTo: b@y\n";
  header.fieldNames = {"From", "Date", "To"};
  EXPECT_EQ(stream("body\n"), StreamResult::kComplete);
  EXPECT_EQ(sink.text(),
            "From: Ann <ann@x>\r\nDate: Mon, 1 Jan 2024 00:00:00 +0000\r\nTo: b@y\r\n"
            "Message-ID: <id@example.com>\r\n\r\nbody\r\n");
}

TEST_F(MessageStreamTest, OpenedMultipartIsClosedWhenTheAttachmentIsGone) {
  settings.emitHeader = true;
  attach();
  attachment.reset();
  EXPECT_EQ(stream("Hello\n"), StreamResult::kComplete);
  EXPECT_TRUE(sink.text().ends_with("\r\nHello\r\n\r\n--divider--\r\n"));
}

TEST_F(MessageStreamTest, ReadFailuresAreReported) {
  settings.emitHeader = true;
  EXPECT_EQ(stream("partial body\n", /*inputFails=*/true), StreamResult::kInputFailed);

  attach();
  attachmentFails = true;
  EXPECT_EQ(stream("Hello\n"), StreamResult::kAttachmentFailed);
}

}  // namespace
}  // namespace larkpost
