// The base64 layout: 18 groups a line, CR LF line breaks, and the final line break.
#include "core/base64_encoder.h"

#include <gtest/gtest.h>

#include "testing/fakes.h"

namespace larkpost {
namespace {

// Reference decoding, to prove the encoder keeps every byte.
std::string decode(std::string_view text) {
  const std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string bytes;
  unsigned bits = 0;
  int count = 0;
  for (char c : text) {
    std::size_t value = alphabet.find(c);
    if (value == std::string_view::npos) continue;
    bits = (bits << 6) | static_cast<unsigned>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      bytes += static_cast<char>((bits >> count) & 0xFF);
    }
  }
  return bytes;
}

std::string encodeThroughWriter(const std::string& bytes, std::size_t readChunk) {
  testing::StringSource file(bytes, readChunk);
  testing::StringSink sink;
  EXPECT_TRUE(Base64Encoder::encodeFile(file, sink));
  return sink.text();
}

TEST(Base64Encoder, LaysOutEachSizeAsExpected) {
  struct Case {
    std::size_t size;
    std::size_t length;  // total bytes of the text
    bool endsWithEmptyLine;
  };
  // 4 characters a group, CR LF after every 18th group, and one final CR LF.
  const Case cases[] = {
      {0, 2, false},  {1, 6, false},  {2, 6, false},  {3, 6, false},   {51, 70, false},
      {52, 76, true}, {53, 76, true}, {54, 76, true}, {55, 80, false}, {57, 80, false},
      {108, 150, true},
  };
  for (const Case& c : cases) {
    std::string bytes(c.size, 'q');
    std::string text = Base64Encoder::encode(bytes);
    SCOPED_TRACE(c.size);
    EXPECT_EQ(text.size(), c.length);
    EXPECT_EQ(text.ends_with("\r\n\r\n"), c.endsWithEmptyLine);
    EXPECT_EQ(decode(text), bytes);
    for (std::size_t at = 0, lf; (lf = text.find("\r\n", at)) != std::string::npos; at = lf + 2) {
      EXPECT_LE(lf - at, 72u);
    }
  }
}

TEST(Base64Encoder, EncodesKnownValues) {
  EXPECT_EQ(Base64Encoder::encode(""), "\r\n");
  EXPECT_EQ(Base64Encoder::encode("a"), "YQ==\r\n");
  EXPECT_EQ(Base64Encoder::encode("ab"), "YWI=\r\n");
  EXPECT_EQ(Base64Encoder::encode("abc"), "YWJj\r\n");
  EXPECT_EQ(Base64Encoder::encode("\xFF\xFF\xFF"), "////\r\n");
  EXPECT_EQ(Base64Encoder::encode(std::string("\0\x80\x1A", 3)), "AIAa\r\n");
  std::string text53 = Base64Encoder::encode(std::string(53, 'a'));
  EXPECT_EQ(text53.substr(68), "YWE=\r\n\r\n");
}

TEST(Base64Encoder, FileEncodingMatchesWhateverTheReadSizes) {
  std::string bytes;
  for (int i = 0; i < 300000; ++i) bytes += static_cast<char>((i * 7919) & 0xFF);
  std::string expected = Base64Encoder::encode(bytes);
  EXPECT_EQ(encodeThroughWriter(bytes, 1 << 20), expected);
  EXPECT_EQ(encodeThroughWriter(bytes, 1000), expected);
  EXPECT_EQ(encodeThroughWriter(bytes.substr(0, 55296), 7), Base64Encoder::encode(bytes.substr(0, 55296)));
  EXPECT_EQ(decode(expected), bytes);
}

TEST(Base64Encoder, ReportsAReadFailure) {
  testing::StringSource file("abcdef", 4, /*failAtEnd=*/true);
  testing::StringSink sink;
  EXPECT_FALSE(Base64Encoder::encodeFile(file, sink));
}

}  // namespace
}  // namespace larkpost
