// The header scan: which fields are kept, which dropped, who receives and who sends.
#include "headerscan/header_scan.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

struct Scanned {
  HeaderScan scan;
  std::string rest;  // what the body relay reads afterwards
};

Scanned scanText(const std::string& input) {
  testing::StringSource source(input, 5);
  LineReader reader(source, 32);
  Scanned result{scanHeader(reader), {}};
  while (auto piece = reader.next()) {
    result.rest += piece->text;
    if (piece->endsLine) result.rest += '\n';
  }
  return result;
}

TEST(HeaderScan, TortureHeader) {
  Scanned s = scanText(
      "Received: from relay by mx; Sun, 6 Dec 2026 10:00:00 +0000\n"
      "From: \"Robot, Mail\" <robot@example.com>\r\n"
      "To: Ann Smith <ann@example.com>, \"Doe, Bob\" <bob@example.com>\n"
      "Cc: undisclosed-recipients:;\n"
      "cc   : team: carol@example.com, dave@example.com;\n"
      "Bcc: eve@example.com,\n"
      "\t Frank <frank@example.com>\n"
      "BC: <grace@example.com>\n"
      "Subject: a long subject line that goes on and on and on and on\n"
      "  and is folded\n"
      "not a field\n"
      "   \n"
      "X-Empty:\n"
      "From: Second Sender <second@example.com> (comment)\n"
      "\n"
      "Body: not a header\n");
  EXPECT_EQ(s.scan.recipients,
            (std::vector<std::string>{"ann@example.com", "bob@example.com", "carol@example.com",
                                      "dave@example.com", "eve@example.com", "frank@example.com",
                                      "grace@example.com"}));
  EXPECT_EQ(s.scan.sender, "second@example.com");
  EXPECT_EQ(s.scan.header.text,
            "Received: from relay by mx; Sun, 6 Dec 2026 10:00:00 +0000\n"
            "From: \"Robot, Mail\" <robot@example.com>\r\n"
            "To: Ann Smith <ann@example.com>, \"Doe, Bob\" <bob@example.com>\n"
            "Cc: undisclosed-recipients:;\n"
            "cc   : team: carol@example.com, dave@example.com;\n"
            "Subject: a long subject line that goes on and on and on and on\n"
            "  and is folded\n"
            "X-Empty:\n"
            "From: Second Sender <second@example.com> (comment)\n");
  EXPECT_TRUE(s.scan.header.hasField("FROM"));
  EXPECT_TRUE(s.scan.header.hasField("x-empty"));
  EXPECT_FALSE(s.scan.header.hasField("Bcc"));
  EXPECT_FALSE(s.scan.header.hasField("Date"));
  EXPECT_EQ(s.rest, "Body: not a header\n");
}

TEST(HeaderScan, StopsAtTheFirstEmptyLineOrTheEnd) {
  Scanned empty = scanText("\r\nTo: a@x\n");
  EXPECT_TRUE(empty.scan.recipients.empty());
  EXPECT_EQ(empty.scan.header.text, "");
  EXPECT_EQ(empty.rest, "To: a@x\n");

  Scanned unterminated = scanText("Subject: hi\nTo: a@x");
  EXPECT_EQ(unterminated.scan.recipients, std::vector<std::string>{"a@x"});
  EXPECT_EQ(unterminated.scan.header.text, "Subject: hi\nTo: a@x\n");
  EXPECT_EQ(unterminated.rest, "");
}

TEST(HeaderScan, KeepsLongFieldsWhole) {
  std::string many;
  for (int i = 0; i < 500; ++i) many += (i ? ", user" : "user") + std::to_string(i) + "@example.com";
  Scanned s = scanText("To: " + many + "\n\n");
  EXPECT_EQ(s.scan.recipients.size(), 500u);
  EXPECT_EQ(s.scan.recipients.back(), "user499@example.com");
  EXPECT_EQ(s.scan.header.text, "To: " + many + "\n");
}

}  // namespace
}  // namespace larkpost
