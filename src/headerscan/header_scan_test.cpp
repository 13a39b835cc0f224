// The header scan: which fields are kept, which dropped, who receives and who sends, and
// where the header ends.
#include "headerscan/header_scan.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

struct Scanned {
  HeaderScan scan;
  std::string header;  // the kept fields as they go out
  std::string rest;    // what the body relay reads afterwards
};

Scanned scanText(const std::string& input, std::size_t limit = kMaxHeaderBytes) {
  testing::StringSource source(input, 5);
  LineReader reader(source, 32);
  Scanned result{scanHeader(reader, /*takeRecipients=*/true, limit), {}, {}};
  for (const HeaderField& field : result.scan.header.fields) result.header += field.text;
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
  EXPECT_EQ(s.header,
            "Received: from relay by mx; Sun, 6 Dec 2026 10:00:00 +0000\r\n"
            "From: \"Robot, Mail\" <robot@example.com>\r\n"
            "To: Ann Smith <ann@example.com>, \"Doe, Bob\" <bob@example.com>\r\n"
            "Cc: undisclosed-recipients:;\r\n"
            "cc   : team: carol@example.com, dave@example.com;\r\n"
            "Subject: a long subject line that goes on and on and on and on\r\n"
            "  and is folded\r\n"
            "X-Empty:\r\n"
            "From: Second Sender <second@example.com> (comment)\r\n");
  EXPECT_TRUE(s.scan.header.hasField("FROM"));
  EXPECT_TRUE(s.scan.header.hasField("x-empty"));
  EXPECT_FALSE(s.scan.header.hasField("Bcc"));
  EXPECT_EQ(s.scan.end, HeaderEnd::kEmptyLine);
  EXPECT_EQ(s.rest, "Body: not a header\n");
}

// The header ends at its empty line, at the first line that is neither a field nor a
// fold (which then begins the body), at a full stop, or at the end of the input.
TEST(HeaderScan, EndsWhereMailServersEndIt) {
  struct Case {
    std::string input;
    std::string header;
    HeaderEnd end;
    std::string rest;
  };
  const Case cases[] = {
      {"\r\nTo: a@x\n", "", HeaderEnd::kEmptyLine, "To: a@x\n"},
      {"To: a@x\nSubject: report\nThe backup failed.\n", "To: a@x\r\nSubject: report\r\n",
       HeaderEnd::kBodyLine, "The backup failed.\n"},
      {"To: a@x\n:no name\n", "To: a@x\r\n", HeaderEnd::kBodyLine, ":no name\n"},
      {"From x@y Mon Dec 7 01:02:03 2026\nTo: a@x\n", "", HeaderEnd::kBodyLine,
       "From x@y Mon Dec 7 01:02:03 2026\nTo: a@x\n"},
      {" folded first\nTo: a@x\n", "", HeaderEnd::kBodyLine, " folded first\nTo: a@x\n"},
      {"To: a@x\n.\nTo: b@x\n", "To: a@x\r\n", HeaderEnd::kFullStop, "To: b@x\n"},
      {"To: a@x\r\n.\r\n", "To: a@x\r\n", HeaderEnd::kFullStop, ""},
      {"Subject: hi\nTo: a@x", "Subject: hi\r\nTo: a@x\r\n", HeaderEnd::kEndOfInput, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.input);
    Scanned s = scanText(c.input);
    EXPECT_EQ(s.header, c.header);
    EXPECT_EQ(s.scan.end, c.end);
    EXPECT_EQ(s.rest, c.rest);
  }
}

// A CR that does not end a line would end one on the wire; read as a blank, what is
// scanned is exactly what goes out, so no field can slip past the scan.
TEST(HeaderScan, SeesTheLinesTheWireWillCarry) {
  Scanned smuggled = scanText("To: a@x\nSubject: hi\rBcc: secret@x\n\nbody\n");
  EXPECT_EQ(smuggled.header, "To: a@x\r\nSubject: hi Bcc: secret@x\r\n");
  EXPECT_EQ(smuggled.scan.recipients, std::vector<std::string>{"a@x"});

  Scanned doubled = scanText("To: a@x\r\r\nCc: b@x\r\r\n\r\r\nBcc: c@x\n\nbody\n");
  EXPECT_EQ(doubled.header, "To: a@x \r\nCc: b@x \r\n");
  EXPECT_EQ(doubled.scan.recipients, (std::vector<std::string>{"a@x", "b@x", "c@x"}));
  EXPECT_EQ(doubled.rest, "body\n");

  Scanned leading = scanText("Subject: x\n\rBcc: hidden@x\n\n");
  EXPECT_EQ(leading.header, "Subject: x\r\n Bcc: hidden@x\r\n");
  EXPECT_TRUE(leading.scan.recipients.empty());
}

TEST(HeaderScan, KeepsLongFieldsWholeUpToTheLimit) {
  std::string many;
  for (int i = 0; i < 500; ++i) many += (i ? ", user" : "user") + std::to_string(i) + "@example.com";
  Scanned s = scanText("To: " + many + "\n\n");
  EXPECT_EQ(s.scan.recipients.size(), 500u);
  EXPECT_EQ(s.scan.recipients.back(), "user499@example.com");
  EXPECT_EQ(s.header, "To: " + many + "\r\n");
  EXPECT_FALSE(s.scan.tooLarge);

  Scanned huge = scanText("To: a@x\nX-Big: " + std::string(5000, ',') + "\n\n", 4096);
  EXPECT_TRUE(huge.scan.tooLarge);
}

}  // namespace
}  // namespace larkpost
