// The program-written header fields are well-formed and cannot be used for injection.
#include "compose/header_fields.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

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
  EXPECT_EQ(fromField("Joe User", "joe@x"), "From: Joe User <joe@x>\r\n");
  EXPECT_EQ(fromField("Doe, \"J\"", "jd@x"), "From: \"Doe, \\\"J\\\"\" <jd@x>\r\n");
  EXPECT_EQ(fromField("", "jd@x"), "From: <jd@x>\r\n");
  EXPECT_EQ(fromField("a\r\nBcc: x", "jd@x"), "From: \"a  Bcc: x\" <jd@x>\r\n");
  EXPECT_EQ(messageIdField(time, 42, 0xbeef, "example.com"),
            "Message-ID: <20261206090507.42.0000beef@example.com>\r\n");
}

}  // namespace
}  // namespace larkpost
