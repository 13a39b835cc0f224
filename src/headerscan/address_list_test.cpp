// Unit tests for the address-list parser.
#include "headerscan/address_list.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkpost {
namespace {

using Addresses = std::vector<std::string>;

struct Case {
  std::string_view value;
  Addresses expected;
};

void expectParses(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    EXPECT_EQ(parseAddressList(c.value), c.expected) << "value: " << c.value;
  }
}

TEST(ParseAddressListTest, TakesMailboxesAndDropsDisplayNames) {
  expectParses({
      {"User@Example.COM", {"User@Example.COM"}},
      {"a@x, b@y,c@z", {"a@x", "b@y", "c@z"}},
      {"To: a@x, b@y", {"a@x", "b@y"}},
      {"From: Mail Robot <user@host>", {"user@host"}},
      {"John Q. Public <jqp@x>, Dr. J. R. Doe <jrd@y>", {"jqp@x", "jrd@y"}},
      {"\"Doe, John\" <jd@x>", {"jd@x"}},
      {"\"a <b@c>, d@e\" <real@x>", {"real@x"}},
      {"\"Joe \\\"JJ\\\" Jr\" <jj@x>, k@y", {"jj@x", "k@y"}},
      {"joe@x.com <joe@x.com>", {"joe@x.com"}},
      {"Joe<joe@x>,Ann<ann@y>", {"joe@x", "ann@y"}},
  });
}

TEST(ParseAddressListTest, IgnoresCommentsAndWhiteSpaceBetweenTokens) {
  expectParses({
      {"user@host (Real Name)", {"user@host"}},
      {"(comment) <user@host>", {"user@host"}},
      {"Joe (x, <no@no>) <j@x>, k@y (a (nested) \\) l@z), m@w", {"j@x", "k@y", "m@w"}},
      {"< (c) j@x (c) >", {"j@x"}},
      {"john . doe @ example . com", {"john.doe@example.com"}},
      {"john(c).(c)doe(c)@(c)example.com", {"john.doe@example.com"}},
      {"\r\n\ta@x\r,\n\tb@y\t", {"a@x", "b@y"}},
  });
}

TEST(ParseAddressListTest, FlattensGroups) {
  expectParses({
      {"undisclosed-recipients:;, list: (none) ;", {}},
      {"Team: a@x, Ann <b@y>;", {"a@x", "b@y"}},
      {"c@z, Team: a@x, b@y; d@w", {"c@z", "a@x", "b@y", "d@w"}},
      {"Team: a@x, b@y", {"a@x", "b@y"}},
      {"\"Team: A\": a@x;, b@y", {"a@x", "b@y"}},
      {"outer: inner: a@x;; b@y", {"a@x", "b@y"}},
      {"Staff: root, postmaster;", {"root", "postmaster"}},
  });
}

TEST(ParseAddressListTest, KeepsAddressTextAsWritten) {
  expectParses({
      {"\"john doe\"@example.com", {"\"john doe\"@example.com"}},
      {"Joe <\"j\\\"d\"@x>", {"\"j\\\"d\"@x"}},
      {"user@[192.0.2.1], <v@[IPv6:2001:db8::1]>", {"user@[192.0.2.1]", "v@[IPv6:2001:db8::1]"}},
      {"<@relay1,@relay2:user@host>, b@y", {"user@host", "b@y"}},
      {"Joe < @r1 , @ r2 : j@x >, <@r1,@r2:postmaster>", {"j@x", "postmaster"}},
      {"postmaster, root , <root>", {"postmaster", "root", "root"}},
      {"j\xC3\xB6rg@example.de", {"j\xC3\xB6rg@example.de"}},
      {"\"a\r\nb\"@x, \"c\\\r\n\"@y", {"\"ab\"@x", "\"c\"@y"}},
  });
}

TEST(ParseAddressListTest, YieldsNothingForElementsWithoutAnAddress) {
  expectParses({
      {"", {}},
      {" \t\r\n (just a comment) ", {}},
      {",, ,", {}},
      {"a@x,,b@y,", {"a@x", "b@y"}},
      {"<>, Joe <>", {}},
      {"Joe User, \"Joe User\", Joe.User.", {}},
      {"=?utf-8?q?J=C3=B6rg?=, J\xC3\xB6rg, =?utf-8?b?SsO2cmc=?= <j@x>", {"j@x"}},
      {"J\xC3\xB6rg M\xC3\xBCller <jm@x>", {"jm@x"}},
      {"@, a@, @x, a@x@, .@., @relay:", {}},
  });
}

TEST(ParseAddressListTest, RecoversFromMalformedElements) {
  expectParses({
      {"a@x, Joe \"unterminated <b@y>, c@z", {"a@x"}},
      {"Joe <j@x, b@y", {"j@x", "b@y"}},
      {"Joe <j@x Smith, b@y", {"j@x", "b@y"}},
      {"<a@x <b@y>, <Joe <j@x>", {"a@x", "b@y", "j@x"}},
      {"a@x, b@\"y, c@z", {"a@x"}},
      {"a@x>, > b@y, Joe > <c@z>", {"a@x", "b@y", "c@z"}},
      {"a@x (unclosed, b@y", {"a@x"}},
      {"a@[1.2.3.4, b@y", {"b@y"}},
      {"Mail Robot user@host", {"user@host"}},
      {"a@x b@y", {"a@x", "b@y"}},
      {"<a@x> trailing junk b@y, <c@z> <d@w>", {"a@x", "c@z", "d@w"}},
      {"Joe \\ root", {}},
      {"mailto:a@x", {"a@x"}},
  });
}

// Random junk made of the characters that steer the parser must never produce an
// address that is empty or could break an SMTP command line.
TEST(ParseAddressListTest, ArbitraryInputNeverYieldsEmptyOrMultiLineAddresses) {
  constexpr std::string_view kAlphabet = "ab@.,;:<>()[]\"\\ \t\r\n\x80=?";
  std::mt19937 random(20240611);
  std::uniform_int_distribution<std::size_t> pick(0, kAlphabet.size() - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string value(round % 40, ' ');
    for (char& c : value) {
      c = kAlphabet[pick(random)];
    }
    for (const std::string& address : parseAddressList(value)) {
      ASSERT_FALSE(address.empty()) << "value: " << value;
      ASSERT_EQ(address.find_first_of("\r\n"), std::string::npos) << "value: " << value;
    }
  }
}

// Each of these would take minutes if a construct were rescanned once per occurrence.
TEST(ParseAddressListTest, HandlesMegabyteValues) {
  const std::vector<std::pair<std::string_view, std::size_t>> units = {
      {"a@x,", 262144}, {"<a@x ", 209716}, {"[\\", 0}, {"<@a,", 0}, {"(", 0}, {"a:", 0}, {"a.", 0},
  };
  for (const auto& [unit, count] : units) {
    std::string value;
    while (value.size() < (1u << 20)) value += unit;
    EXPECT_EQ(parseAddressList(value).size(), count) << "unit: " << unit;
  }
}

}  // namespace
}  // namespace larkpost
