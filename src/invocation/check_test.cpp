// --check's advice: the certificate's end of validity against the clock, in UTC.
#include "invocation/check.h"

#include <gtest/gtest.h>

namespace larkpost {
namespace {

TEST(CheckAdvice, CertificateExpiryIsWarnedAboutFourteenDaysAhead) {
  // 12:00 local at UTC+2 is 10:00 UTC.
  const platform::LocalTime now{2026, 12, 7, 1, 12, 0, 0, 120};
  const std::pair<const char*, const char*> cases[] = {
      {"2026-12-21 10:01:00 UTC", nullptr},
      {"2026-12-21 09:59:00 UTC",
       "the server's certificate expires within 14 days, on 2026-12-21 09:59:00 UTC"},
      {"2027-03-01 00:00:00 UTC", nullptr},
      {"2026-12-07 09:59:00 UTC", "the server's certificate expired on 2026-12-07 09:59:00 UTC"},
      {"2024-02-29 00:00:00 UTC", "the server's certificate expired on 2024-02-29 00:00:00 UTC"},
      {"", nullptr},
      {"garbage", nullptr},
  };
  for (const auto& [notAfter, advice] : cases) {
    std::optional<std::string> expected;
    if (advice) expected = advice;
    EXPECT_EQ(expiryAdvice(notAfter, now), expected) << notAfter;
  }
}

TEST(CheckAdvice, SenderWithoutDomainAndPasswordInTheClear) {
  JobSettings settings;
  EXPECT_EQ(settingsAdvice(settings).size(), 1u);  // the default Address has no domain
  settings.senderAddress = "me@example.com";
  settings.user = "me";
  settings.server = "localhost";
  EXPECT_TRUE(settingsAdvice(settings).empty());  // loopback: nothing crosses a network
  settings.server = "mail.example.com";
  EXPECT_EQ(settingsAdvice(settings).size(), 1u);
  settings.security = Security::kStartTls;
  EXPECT_TRUE(settingsAdvice(settings).empty());
}

}  // namespace
}  // namespace larkpost
