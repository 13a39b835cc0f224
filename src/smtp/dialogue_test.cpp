// Transcript tests of the dialogue: scripted replies in, exact bytes out. Refusals and
// broken servers are covered end to end in tests/test_dialogue.py.
#include "smtp/dialogue.h"

#include <gtest/gtest.h>

#include <sstream>

#include "invocation/run_failure.h"
#include "testing/fakes.h"

namespace larkpost {
namespace {

using testing::FakeSocket;

class DialogueTest : public ::testing::Test {
 protected:
  DialogueTest() {
    auto owned = std::make_unique<FakeSocket>();
    socket = owned.get();
    connection.emplace(std::move(owned), "mail.example.com", TimeLimits{});
    settings.senderAddress = "me@example.com";
    settings.domain = "client.example.com";
  }

  // Runs the envelope with `replies` arriving in order, one per command.
  EnvelopeOutcome envelope(std::vector<std::string> recipients,
                           std::initializer_list<std::string> replies) {
    for (const std::string& reply : replies) socket->arrive(reply);
    return sendEnvelope(*connection, settings, recipients, messages);
  }

  FakeSocket* socket = nullptr;
  std::optional<SmtpConnection> connection;
  JobSettings settings;
  std::ostringstream messages;
};

TEST_F(DialogueTest, UnsafeAndRepeatedAddressesAreNeverSent) {
  std::string tooLong(600, 'a');
  EnvelopeOutcome outcome =
      envelope({"a@x", "evil@x>\r\nRSET", "bad\x01@x", "<b@y>", tooLong, "", "a@x", "c@z"},
               {"250 ok\r\n", "250 ok\r\n", "250 ok\r\n", "354 go\r\n"});
  EXPECT_EQ(socket->sent,
            "MAIL FROM:<me@example.com>\r\n"
            "RCPT TO:<a@x>\r\nRCPT TO:<c@z>\r\nDATA\r\n");
  EXPECT_EQ(outcome.accepted, 2u);
  EXPECT_EQ(outcome.refused, 5u);
  EXPECT_NE(messages.str().find("Error sending mail to user [<b@y>]\n"), std::string::npos);
}

TEST(EnvelopeNames, RejectControlsBracketsAndOverlongLines) {
  EXPECT_TRUE(isSendableAddress("RCPT TO:<", "user@example.com"));
  EXPECT_TRUE(isSendableAddress("MAIL FROM:<", ""));  // the null sender
  EXPECT_TRUE(isSendableAddress("RCPT TO:<", "\"j d\"@example.com"));
  EXPECT_TRUE(isSendableAddress("RCPT TO:<", std::string(500, 'a')));  // exactly 512
  EXPECT_FALSE(isSendableAddress("RCPT TO:<", std::string(501, 'a')));
  EXPECT_FALSE(isSendableAddress("RCPT TO:<", std::string("a\0b", 3)));
  EXPECT_FALSE(isSendableAddress("RCPT TO:<", "a\x7f"));

  EXPECT_TRUE(isSendableDomain("client.example.com"));
  EXPECT_FALSE(isSendableDomain(""));
  EXPECT_FALSE(isSendableDomain("x\r\nMAIL FROM:<a>"));
}

TEST_F(DialogueTest, EndOfDataAddsALineBreakOnlyWhenNeeded) {
  socket->arrive("250 queued\r\n");
  socket->arrive("250 queued\r\n");
  endMessage(*connection, true);
  endMessage(*connection, false);
  EXPECT_EQ(socket->sent, ".\r\n\r\n.\r\n");

  socket->arrive("552 too big\r\n");
  try {
    endMessage(*connection, true);
    ADD_FAILURE() << "no failure";
  } catch (const RunFailure& failure) {
    EXPECT_EQ(failure.message, "Server did not accept the message\n");
  }
}

TEST_F(DialogueTest, GathersOutputUntilAReplyIsAwaited) {
  connection->sendText("Subject: x\r\n");
  connection->sendText("\r\nbody\r\n");
  EXPECT_EQ(socket->sendCalls, 0);
  socket->arrive("250 ok\r\n");
  endMessage(*connection, true);
  EXPECT_EQ(socket->sendCalls, 1);
  EXPECT_EQ(socket->sent, "Subject: x\r\n\r\nbody\r\n.\r\n");
}

}  // namespace
}  // namespace larkpost
