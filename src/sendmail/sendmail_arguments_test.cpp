// The argument lists real callers pass, and the ones that must be refused.
#include "sendmail/sendmail_arguments.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

using Strings = std::vector<std::string>;

SendmailArguments parse(Strings args) {
  args.insert(args.begin(), "/usr/sbin/sendmail");
  return parseSendmailArguments(args, 1);
}

TEST(SendmailArgumentsTest, CallersArgumentListsAreRead) {
  SendmailArguments cron = parse({"-FCronDaemon", "-i", "-B8BITMIME", "-oem", "root"});
  EXPECT_EQ(cron.error, "");
  EXPECT_EQ(cron.fullName, "CronDaemon");
  EXPECT_FALSE(cron.fullStopEnds);
  EXPECT_EQ(cron.recipients, Strings{"root"});

  SendmailArguments php = parse({"-t", "-i"});
  EXPECT_TRUE(php.headerRecipients);
  EXPECT_FALSE(php.fullStopEnds);
  EXPECT_TRUE(php.recipients.empty());

  SendmailArguments mailx = parse({"-i", "--", "-odd@x", "b@y"});
  EXPECT_EQ(mailx.recipients, (Strings{"-odd@x", "b@y"}));

  SendmailArguments grouped = parse({"-ti", "-f", "me@x", "-oi", "-odi", "-v", "a@x, Bee <b@y>"});
  EXPECT_EQ(grouped.error, "");
  EXPECT_TRUE(grouped.headerRecipients);
  EXPECT_EQ(grouped.sender, "me@x");
  EXPECT_EQ(grouped.recipients, (Strings{"a@x", "b@y"}));

  SendmailArguments dsn = parse({"-N", "success,delay", "-Rhdrs", "-V", "env-1", "-rbounce@x", "-C",
                                 "/etc/other.ini", "-bm", "a@x"});
  EXPECT_EQ(dsn.error, "");
  EXPECT_EQ(dsn.notify, "SUCCESS,DELAY");
  EXPECT_EQ(dsn.ret, "HDRS");
  EXPECT_EQ(dsn.envid, "env-1");
  EXPECT_EQ(dsn.sender, "bounce@x");
  EXPECT_EQ(dsn.settingsPath, "/etc/other.ini");
  EXPECT_TRUE(dsn.fullStopEnds);

  EXPECT_TRUE(parse({"-q"}).queueRun);
  EXPECT_TRUE(parse({"-q30m"}).queueRun);
}

TEST(SendmailArgumentsTest, OptionsEndAtTheFirstRecipient) {
  SendmailArguments parsed = parse({"a@x", "-t"});
  EXPECT_FALSE(parsed.headerRecipients);
  EXPECT_EQ(parsed.recipients, (Strings{"a@x", "-t"}));
}

TEST(SendmailArgumentsTest, UnknownAndUnsupportedOptionsAreUsageErrors) {
  struct Case {
    Strings args;
    std::string error;
  };
  for (const Case& c : std::vector<Case>{
           {{"-bs"}, "-bs (SMTP on standard input) is not supported"},
           {{"-bp"}, "-bp is not supported: only -bm (deliver mail)"},
           {{"-k", "a@x"}, "unknown option '-k'"},
           {{"--verbose", "a@x"}, "unknown option '--verbose'"},
           {{"-f"}, "option '-f' needs a value"},
           {{"-N", "sometimes", "a@x"},
            "-N takes never, or a comma list of success, failure and delay"},
           {{"-Rall", "a@x"}, "-R takes hdrs or full"},
           {{"-B", "BINARYMIME", "a@x"}, "-B takes 7BIT or 8BITMIME"},
           {{"-V", std::string(101, 'e'), "a@x"},
            "-V takes an envelope identifier of at most 100 characters"},
       }) {
    EXPECT_EQ(parse(c.args).error, c.error) << c.args.front();
  }
}

}  // namespace
}  // namespace larkpost
