// The aliases file as administrators write it, and what each local name reaches.
#include "sendmail/aliases.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

using Strings = std::vector<std::string>;

constexpr const char* kFile =
    "# Sent to the administrators\n"
    "postmaster: root\n"
    "Root: admin@example.com, ops\n"
    "  , backup@example.net\n"
    "webmaster: |/usr/bin/procmail, /var/mail/web, :include:/etc/web-list, web@example.com\n"
    "scripts: |/usr/local/bin/handle\n"
    "root: someone-else@example.com\n"
    "no colon here\r\n"
    "cron:\tcron@example.com\r\n"
    "\n"
    "default: admin@example.com\n";

TEST(AliasesTest, EntriesExpandOneLevelAndQualify) {
  Aliases aliases = parseAliases(kFile);
  auto expand = [&](std::string_view name) {
    return expandRecipient(aliases, name, "host.example");
  };
  // What an alias names is not looked up again: "root" is qualified, not expanded.
  EXPECT_EQ(expand("postmaster"), Strings{"root@host.example"});
  EXPECT_EQ(expand("ROOT"),
            (Strings{"admin@example.com", "ops@host.example", "backup@example.net"}));
  EXPECT_EQ(expand("webmaster"), Strings{"web@example.com"});
  EXPECT_EQ(expand("cron"), Strings{"cron@example.com"});
  // Every local name not listed reaches the default entry; addresses are never looked up.
  EXPECT_EQ(expand("www-data"), Strings{"admin@example.com"});
  EXPECT_EQ(expand("postmaster@other.example"), Strings{"postmaster@other.example"});
  // An entry that names nothing deliverable stands for the name itself.
  EXPECT_EQ(expand("scripts"), Strings{"scripts@host.example"});
}

TEST(AliasesTest, WithoutAFileOrADomainNamesAreQualifiedOrRefused) {
  Aliases none = parseAliases("");
  EXPECT_EQ(expandRecipient(none, "root", "host.example"), Strings{"root@host.example"});
  EXPECT_EQ(expandRecipient(none, "root", ""), std::nullopt);
  EXPECT_EQ(expandRecipient(none, "a@x", ""), Strings{"a@x"});
  Aliases aliases = parseAliases("team: a@x, b, a@x\n");
  EXPECT_EQ(expandRecipient(aliases, "team", ""), std::nullopt);
  EXPECT_EQ(expandRecipient(aliases, "team", "y"), (Strings{"a@x", "b@y"}));
}

}  // namespace
}  // namespace larkpost
