// The exit status and messages callers act on, for each way a run can end.
#include "sendmail/sendmail_outcome.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

RecipientOutcome recipient(std::string address, bool delivered, std::string reply = "") {
  RecipientOutcome outcome{std::move(address),
                           delivered ? RecipientStatus::kDelivered : RecipientStatus::kRefused,
                           std::nullopt, std::nullopt};
  if (!reply.empty()) outcome.reply = Reply{{reply}};
  return outcome;
}

RunRecord delivered(std::vector<RecipientOutcome> recipients) {
  RunRecord record;
  record.delivery.emplace();
  record.delivery->recipients = std::move(recipients);
  return record;
}

RunRecord failed(std::vector<RecipientOutcome> recipients, std::string message, bool temporary,
                 std::string reply = "") {
  RunRecord record = delivered(std::move(recipients));
  record.failed = record.delivery->failed = true;
  record.temporary = record.delivery->temporary = temporary;
  record.delivery->failureMessage = std::move(message);
  if (!reply.empty()) record.delivery->failureReply = Reply{{reply}};
  return record;
}

TEST(SendmailOutcomeTest, ExitStatusFollowsWhatFailed) {
  EXPECT_EQ(sendmailExitStatus(delivered({recipient("a@x", true, "250 ok")})), kExOk);
  // Some refused for good, others delivered or deferred: the caller learns of the refusal.
  EXPECT_EQ(sendmailExitStatus(delivered({recipient("a@x", true, "250 ok"),
                                          recipient("b@x", false, "550 5.1.1 no such user")})),
            kExNoUser);
  EXPECT_EQ(sendmailExitStatus(delivered(
                {recipient("a@x", true, "250 ok"), recipient("b@x", false, "450 try later")})),
            kExTempFail);
  EXPECT_EQ(sendmailExitStatus(
                failed({recipient("a@x", false, "550 no"), recipient("b@x", false, "451 later")},
                       "\nNo valid recpients.\n", false)),
            kExNoUser);
  EXPECT_EQ(sendmailExitStatus(
                failed({recipient("a@x", false, "451 later")}, "\nNo valid recpients.\n", true)),
            kExTempFail);
  // Out of reach, or closing: a later attempt may succeed.
  EXPECT_EQ(sendmailExitStatus(failed({recipient("a@x", false)}, "Connection failed\n", true)),
            kExTempFail);
  EXPECT_EQ(
      sendmailExitStatus(failed({recipient("a@x", false)}, "Error sending mail from user [me]\n",
                                false, "553 sender refused")),
      kExUnavailable);

  RunRecord local;
  local.failed = true;
  for (auto [cause, status] :
       {std::pair{FailureCause::kUsage, kExUsage}, std::pair{FailureCause::kSettings, kExConfig},
        std::pair{FailureCause::kLocalInput, kExIoError},
        std::pair{FailureCause::kDelivery, kExUnavailable}}) {
    local.cause = cause;
    EXPECT_EQ(sendmailExitStatus(local), status);
  }
}

TEST(SendmailOutcomeTest, EachFailureIsOneLineWithTheServersReply) {
  EXPECT_TRUE(
      sendmailMessages(delivered({recipient("a@x", true, "250 ok")}), "sendmail: ").empty());

  RunRecord refused = failed({recipient("a@x", false, "550 5.1.1 no such user"),
                              recipient("b@x", false, "451 4.3.0 later")},
                             "\nNo valid recpients.\n", false);
  refused.delivery->recipients[0].reply->lines.push_back("550 5.1.1 really\x01");
  EXPECT_EQ(sendmailMessages(refused, "sendmail: "),
            (std::vector<std::string>{"sendmail: a@x: 550 5.1.1 no such user 550 5.1.1 really\\x01",
                                      "sendmail: b@x: 451 4.3.0 later"}));

  EXPECT_EQ(
      sendmailMessages(failed({recipient("a@x", true, "250 ok")},
                              "\n\bServer did not accept the message\n", false, "554 5.7.1 spam"),
                       "s: "),
      std::vector<std::string>{"s: Server did not accept the message: 554 5.7.1 spam"});
  // A positive reply was not the failure: the connection broke after it.
  EXPECT_EQ(sendmailMessages(
                failed({recipient("a@x", false)}, "Connection closed by server\n", true, "250 ok"),
                "s: "),
            std::vector<std::string>{"s: Connection closed by server"});

  RunRecord withoutDsn = delivered({recipient("a@x", true, "250 ok")});
  withoutDsn.delivery->dsnOffered = false;
  EXPECT_EQ(sendmailMessages(withoutDsn, "s: "),
            std::vector<std::string>{"s: the server does not offer DSN, sending without it"});
}

}  // namespace
}  // namespace larkpost
