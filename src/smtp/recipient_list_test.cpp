// Reading recipient list files.
#include "smtp/recipient_list.h"

#include <gtest/gtest.h>

#include <sstream>

namespace larkpost {
namespace {

TEST(RecipientList, TrimsSkipsShortLinesAndKeepsLongOnesWhole) {
  std::string longAddress = std::string(120, 'l') + "@example.com";
  std::istringstream list("a@x\r\n  b@y \t\r\n\nc\n \n" + longAddress + "\nlast@z");
  EXPECT_EQ(readRecipientList(list),
            (std::vector<std::string>{"a@x", "b@y", longAddress, "last@z"}));
}

TEST(RecipientList, MissingFileIsAnEmptyList) {
  EXPECT_TRUE(readRecipientFile("/nonexistent/larkpost/list.txt").empty());
}

}  // namespace
}  // namespace larkpost
