// The DSN parameters' syntax, which the server judges byte for byte.
#include "smtp/dsn.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

TEST(DsnTest, XtextEncodesPlusEqualsAndEverythingOutsidePrintableAscii) {
  EXPECT_EQ(xtext("a+b=c d"), "a+2Bb+3Dc+20d");
  EXPECT_EQ(xtext("<id@host>"), "<id@host>");
  EXPECT_EQ(xtext(std::string("\x00\x7F\xFF~!", 5)), "+00+7F+FF~!");
  EXPECT_EQ(xtext(""), "");
}

TEST(DsnTest, NotifyTakesNeverAloneOrEachKindOnce) {
  EXPECT_EQ(normalizedNotify("never"), "NEVER");
  EXPECT_EQ(normalizedNotify("Success,failure,DELAY"), "SUCCESS,FAILURE,DELAY");
  EXPECT_EQ(normalizedNotify("delay"), "DELAY");
  for (const char* bad : {"", "never,success", "success,success", "success,", ",failure",
                          "success failure", "always"}) {
    EXPECT_EQ(normalizedNotify(bad), std::nullopt) << bad;
  }
  EXPECT_EQ(normalizedReturn("Hdrs"), "HDRS");
  EXPECT_EQ(normalizedReturn("full"), "FULL");
  EXPECT_EQ(normalizedReturn("headers"), std::nullopt);
}

TEST(DsnTest, ParametersLeaveOutWhatWasNotAskedOrCannotBeSent) {
  EXPECT_EQ(dsnMailParameters({"", "", ""}), "");
  EXPECT_EQ(dsnMailParameters({"", "FULL", "x y"}), " RET=FULL ENVID=x+20y");
  // ENVID is bounded once encoded: 34 blanks are 102 characters of xtext.
  EXPECT_TRUE(isSendableEnvid(std::string(100, 'a')));
  EXPECT_FALSE(isSendableEnvid(std::string(34, ' ')));
  EXPECT_EQ(dsnMailParameters({"", "", std::string(34, ' ')}), "");

  EXPECT_EQ(dsnRecipientParameters({"NEVER", "", ""}, "a+b@x"),
            " NOTIFY=NEVER ORCPT=rfc822;a+2Bb@x");
  EXPECT_EQ(dsnRecipientParameters({"", "", ""}, "a@x"), " ORCPT=rfc822;a@x");
  // rfc822 cannot name an address in UTF-8, and no command may grow without bound.
  EXPECT_EQ(dsnRecipientParameters({"DELAY", "", ""}, "j\xC3\xB6@x"), " NOTIFY=DELAY");
  EXPECT_EQ(dsnRecipientParameters({"", "", ""}, std::string(461, 'a')), "");
}

}  // namespace
}  // namespace larkpost
