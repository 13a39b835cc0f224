// The program-written header fields are well-formed and cannot be used for injection.
#include "compose/header_fields.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace larkpost {
namespace {

std::vector<std::string> linesOf(const std::string& field) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = field.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(field.substr(start, end - start));
  }
  EXPECT_EQ(start, field.size()) << "a field ends with CR LF";
  return lines;
}

// Undoes folding and RFC 2047 the way a reader would, for words this file writes.
std::string unfolded(const std::string& field) {
  std::string text;
  for (const std::string& line : linesOf(field)) text += line;
  return text;
}

TEST(AttachmentFields, QuoteOrEncodeTheName) {
  EXPECT_NE(attachmentFields("a \"b\" \\c.txt").find("name=\"a \\\"b\\\" \\\\c.txt\""),
            std::string::npos);
  std::string encoded = attachmentFields("r\xC3\xA9sum\xC3\xA9 1.pdf");
  EXPECT_NE(encoded.find("; name*=utf-8''r%C3%A9sum%C3%A9%201.pdf\r\n"), std::string::npos);
  EXPECT_NE(encoded.find("; filename*=utf-8''r%C3%A9sum%C3%A9%201.pdf\r\n"), std::string::npos);
}

TEST(OriginFields, AreWellFormed) {
  platform::LocalTime time{2026, 12, 6, 0, 9, 5, 7, -330};
  EXPECT_EQ(dateField(time), "Date: Sun, 06 Dec 2026 09:05:07 -0530\r\n");
  EXPECT_EQ(fromField("Joe User", "joe@x", "d.x"), "From: Joe User <joe@x>\r\n");
  EXPECT_EQ(fromField("Doe, \"J\"", "jd@x", "d.x"), "From: \"Doe, \\\"J\\\"\" <jd@x>\r\n");
  EXPECT_EQ(fromField("", "jd@x", "d.x"), "From: <jd@x>\r\n");
  EXPECT_EQ(fromField("a\r\nBcc: x", "jd@x", "d.x"), "From: \"a  Bcc: x\" <jd@x>\r\n");
  EXPECT_EQ(fromField("Robot", "", "client.example"), "From: Robot <MAILER-DAEMON@client.example>\r\n");
  EXPECT_EQ(fromField("", "", "my host"), "From: <MAILER-DAEMON@localhost.localdomain>\r\n");
  EXPECT_EQ(fromField("Ren\xC3\xA9", "r@x", "d.x"), "From: =?utf-8?B?UmVuw6k=?= <r@x>\r\n");
  EXPECT_EQ(messageIdField(time, 42, 0xbeef, "example.com"),
            "Message-ID: <20261206090507.42.0000beef@example.com>\r\n");
  EXPECT_EQ(messageIdField(time, 42, 0xbeef, "my host"),
            "Message-ID: <20261206090507.42.0000beef@localhost.localdomain>\r\n");
}

TEST(Subject, FoldsAtBlanksAndEncodesWhatCannotBeFolded) {
  std::string words;
  for (int i = 0; i < 2000; ++i) words += "word" + std::to_string(i) + (i % 7 ? " " : "  ");
  std::string run(120000, 'x');
  struct Case {
    std::string subject;
    bool encoded;
  };
  const Case cases[] = {
      {"Short", false},
      {words, false},
      {run, true},
      {"caf\xC3\xA9 " + std::string(200, '\xE2') + " tail", true},
      {"not =?an?= encoded word", true},
      {"trailing blanks   ", false},
  };
  for (const Case& c : cases) {
    std::string field = subjectField(c.subject);
    SCOPED_TRACE(field.substr(0, 100));
    for (const std::string& line : linesOf(field)) {
      EXPECT_LE(line.size(), c.encoded ? kFoldedLineLength : kLongestHeaderLine);
      EXPECT_NE(line.find_first_not_of(" \t"), std::string::npos) << "no line of blanks alone";
    }
    if (!c.encoded) {
      EXPECT_EQ(unfolded(field), "Subject: " + c.subject);
    }
    EXPECT_EQ(field.find("=?utf-8?") != std::string::npos, c.encoded);
  }
  // Encoded words never split a UTF-8 character: each decodes alone.
  std::string accented;
  for (int i = 0; i < 100; ++i) accented += "\xC3\xA9";
  std::string field = subjectField(accented);
  for (std::size_t at = 0; (at = field.find("=?utf-8?B?", at)) != std::string::npos; ++at) {
    std::string payload = field.substr(at + 10, field.find("?=", at + 10) - at - 10);
    std::size_t bytes = payload.size() / 4 * 3 - std::count(payload.begin(), payload.end(), '=');
    EXPECT_EQ(bytes % 2, 0u) << "whole two-byte characters only";
  }
}

TEST(HeaderDomain, DotAtomsOnly) {
  EXPECT_TRUE(isDotAtom("mail.example.com"));
  EXPECT_TRUE(isDotAtom("localhost"));
  EXPECT_FALSE(isDotAtom("my host"));
  EXPECT_FALSE(isDotAtom(".example"));
  EXPECT_FALSE(isDotAtom("a..b"));
  EXPECT_FALSE(isDotAtom("[127.0.0.1]"));
  EXPECT_FALSE(isDotAtom(""));
}

}  // namespace
}  // namespace larkpost
