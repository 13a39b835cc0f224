// Whole-reply reading: multi-line replies, their bounds, and how a reply is judged. Slow,
// broken and closing servers are covered end to end in tests/test_dialogue.py.
#include "smtp/reply_reader.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

using testing::FakeSocket;

TEST(ReplyReader, ReadsMultiLineReplyWholeAndLeavesTheNextOne) {
  FakeSocket socket;
  socket.arrive("220-mail.example.com ESMTP\r\n220-more\r\n220 ready\r\n250 ok\r\n");
  ReplyReader reader(socket);

  ReplyResult greeting = reader.read(0);
  ASSERT_EQ(greeting.status, ReplyStatus::kComplete);
  EXPECT_EQ(greeting.reply.lines,
            (std::vector<std::string>{"220-mail.example.com ESMTP", "220-more", "220 ready"}));
  EXPECT_TRUE(greeting.reply.accepted());

  ReplyResult next = reader.read(0);
  ASSERT_EQ(next.status, ReplyStatus::kComplete);
  EXPECT_EQ(next.reply.lines, std::vector<std::string>{"250 ok"});
}

TEST(ReplyReader, RefusesRepliesBeyondItsBounds) {
  FakeSocket manyLines;
  for (std::size_t i = 0; i < ReplyReader::kMaxReplyLines + 5; ++i) manyLines.arrive("250-x\r\n");
  EXPECT_EQ(ReplyReader(manyLines).read(0).status, ReplyStatus::kTooLarge);

  FakeSocket endless;
  endless.arrive("250 " + std::string(ReplyReader::kMaxReplyBytes, 'y'));
  EXPECT_EQ(ReplyReader(endless).read(0).status, ReplyStatus::kTooLarge);
}

TEST(Reply, JudgesShapeAcceptanceAndClosing) {
  struct Case {
    std::vector<std::string> lines;
    bool wellFormed;
    bool accepted;
    bool closing;
  };
  const Case cases[] = {
      {{"250 ok"}, true, true, false},
      {{"250"}, true, true, false},
      {{"250-a", "250 b"}, true, true, false},
      {{"250-ok", "550 no"}, false, false, false},  // lines that disagree are no reply
      {{"421-bye", "250 ok"}, false, false, false},
      {{"354 go"}, true, false, false},
      {{"421 closing"}, true, false, true},
      {{"2"}, false, false, false},
      {{"250ok"}, false, false, false},
      {{"hello"}, false, false, false},
      {{""}, false, false, false},
  };
  for (const Case& c : cases) {
    Reply reply{c.lines};
    SCOPED_TRACE(c.lines.front());
    EXPECT_EQ(reply.wellFormed(), c.wellFormed);
    EXPECT_EQ(reply.accepted(), c.accepted);
    EXPECT_EQ(reply.closing(), c.closing);
  }
}

}  // namespace
}  // namespace larkpost
