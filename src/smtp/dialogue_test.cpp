// Transcript tests of the transaction: scripted replies in, exact bytes out. Refusals and
// broken servers are covered end to end in tests/test_dialogue.py.
#include "smtp/dialogue.h"

#include <gtest/gtest.h>

#include "core/run_failure.h"
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
  }

  // Runs the envelope with `replies` arriving in order, one per command; returns the
  // state of each recipient as a letter: accepted, refused, deferred.
  std::string envelope(std::vector<std::string> recipients, std::vector<std::string> replies,
                       bool pipelining = false, MailParameters parameters = {},
                       std::optional<RunFailure>* interrupted = nullptr) {
    for (const std::string& reply : replies) socket->arrive(reply + "\r\n");
    std::string states;
    std::vector<std::string_view> views(recipients.begin(), recipients.end());
    for (const RecipientResult& result :
         sendEnvelope(*connection, "me@example.com", parameters, views, pipelining, interrupted)) {
      states += "ARDT"[static_cast<int>(result.state)];
    }
    return states;
  }

  FakeSocket* socket = nullptr;
  std::optional<SmtpConnection> connection;
};

TEST_F(DialogueTest, UnsafeAndInternationalAddressesAreNeverSent) {
  std::string tooLong(600, 'a');
  EXPECT_EQ(envelope({"a@x", "evil@x>\r\nRSET", "bad\x01@x", "<b@y>", tooLong, "", "j\xC3\xB6@x", "c@z"},
                     {"250 ok", "250 ok", "550 no"}),
            "ARRRRRRR");
  EXPECT_EQ(socket->sent, "MAIL FROM:<me@example.com>\r\nRCPT TO:<a@x>\r\nRCPT TO:<c@z>\r\n");
}

TEST_F(DialogueTest, MailFromDeclaresWhatTheServerOffers) {
  EXPECT_EQ(
      envelope({"j\xC3\xB6@x"}, {"250 ok", "250 ok"}, false, {12345, true, true, std::nullopt}),
      "A");
  EXPECT_EQ(socket->sent,
            "MAIL FROM:<me@example.com> SIZE=12345 BODY=8BITMIME SMTPUTF8\r\nRCPT TO:<j\xC3\xB6@x>\r\n");
}

TEST_F(DialogueTest, DsnParametersFollowEachCommand) {
  MailParameters parameters;
  parameters.dsn = DsnRequest{"SUCCESS,FAILURE", "HDRS", "id+1@host"};
  EXPECT_EQ(envelope({"a@x", "j\xC3\xB6@x"}, {"250 ok", "250 ok", "250 ok"}, false, parameters),
            "AR");
  EXPECT_EQ(socket->sent,
            "MAIL FROM:<me@example.com> RET=HDRS ENVID=id+2B1@host\r\n"
            "RCPT TO:<a@x> NOTIFY=SUCCESS,FAILURE ORCPT=rfc822;a@x\r\n");
}

TEST_F(DialogueTest, PipeliningSendsAheadAndReadsRepliesInOrder) {
  std::vector<std::string> recipients, replies{"250 sender ok"};
  for (int i = 0; i < 100; ++i) {
    recipients.push_back("r" + std::to_string(i) + "@x");
    replies.push_back(i == 7 ? "550 no such user" : "250 ok");
  }
  std::string states = envelope(recipients, replies, true);
  EXPECT_EQ(states, std::string(7, 'A') + "R" + std::string(92, 'A'));
  // The first write holds a full window (MAIL and RCPT commands); each reply read then
  // lets one more command go.
  EXPECT_EQ(socket->sendCalls, 1 + 100 - static_cast<int>(kPipelineWindow - 1));
}

// After "too many recipients" the rest wait for another transaction, whether or not
// their commands went out already.
TEST_F(DialogueTest, TooManyRecipientsDefersTheRest) {
  EXPECT_EQ(envelope({"a@x", "b@x", "c@x", "d@x"}, {"250 ok", "250 ok", "452 4.5.3 too many"}),
            "ADDD");
  EXPECT_EQ(socket->sent, "MAIL FROM:<me@example.com>\r\nRCPT TO:<a@x>\r\nRCPT TO:<b@x>\r\n");

  socket->sent.clear();
  EXPECT_EQ(envelope({"a@x", "b@x", "c@x"}, {"250 ok", "250 ok", "552 5.5.3 too many", "552 5.5.3 x"},
                     true),
            "ADD");
  EXPECT_EQ(envelope({"a@x", "b@x"}, {"250 ok", "250 ok", "552 5.2.2 mailbox full"}), "AR");
  EXPECT_EQ(envelope({"a@x", "b@x"}, {"250 ok", "250 ok", "552"}), "AR");  // the code alone
}

// A limit that no recipient reached is no limit: that one is refused for now, the rest
// are still to be tried. A 421 leaves the rest untried too.
TEST_F(DialogueTest, TemporaryRefusalsAreNotFinal) {
  EXPECT_EQ(envelope({"a@x", "b@x", "c@x"}, {"250 ok", "452 4.2.2 full"}), "TDD");
  EXPECT_EQ(envelope({"a@x", "b@x", "c@x"}, {"250 ok", "451 4.7.1 greylisted", "250 ok", "450 busy"},
                     true),
            "TAT");
  std::optional<RunFailure> interrupted;
  EXPECT_EQ(envelope({"a@x", "b@x", "c@x"}, {"250 ok", "421 bye"}, true, {}, &interrupted), "TDD");
  ASSERT_TRUE(interrupted);
  EXPECT_EQ(interrupted->message, "Error sending mail to user [a@x]\n");
  EXPECT_TRUE(interrupted->temporary);
}

TEST_F(DialogueTest, RefusedSenderWhilePipeliningReadsEveryReplyThenFails) {
  try {
    envelope({"a@x", "b@x"}, {"451 4.3.0 try later", "503 no", "503 no"}, true);
    ADD_FAILURE() << "no failure";
  } catch (const RunFailure& failure) {
    EXPECT_EQ(failure.message, "Error sending mail from user [me@example.com]\n");
    EXPECT_TRUE(failure.temporary);
    EXPECT_EQ(failure.end, SessionEnd::kQuit);
  }
  EXPECT_TRUE(socket->arrivals.empty());
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

  socket->arrive("452\r\n");  // a refusal is the caller's to judge
  EXPECT_EQ(endMessage(*connection, true).lines, std::vector<std::string>{"452"});
  try {
    endMessage(*connection, true);  // the server is gone: it may have taken the message
    ADD_FAILURE() << "no failure";
  } catch (const RunFailure& failure) {
    EXPECT_TRUE(failure.maybeDelivered);
    EXPECT_FALSE(failure.temporary);
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
