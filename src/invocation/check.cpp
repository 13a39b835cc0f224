// What --check prints comes from the session's own steps, as they happen, so a failure
// shows everything learned up to it.
#include "invocation/check.h"

#include <cstdint>
#include <cstdio>

#include "core/ascii_case.h"
#include "core/printable.h"
#include "core/run_failure.h"
#include "invocation/credentials.h"
#include "invocation/run.h"
#include "oauth/oauth_client.h"
#include "platform/platform.h"
#include "smtp/session.h"

namespace larkpost {
namespace {

std::string_view securityName(Security security) {
  switch (security) {
    case Security::kNone:
      return "none";
    case Security::kStartTls:
      return "starttls";
    case Security::kTls:
      return "tls";
  }
  return "none";
}

constexpr int kExpiryWarningDays = 14;
// --check lists every name a certificate is for, up to a line's sensible length.
constexpr std::size_t kAllNames = 100;

// Days since 1970-01-01 of a date in the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const auto yearOfEra = static_cast<unsigned>(year - era * 400);
  const unsigned dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

std::optional<std::int64_t> minutesSinceEpoch(const std::string& utc) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0;
  if (utc.size() < 16 ||
      std::sscanf(utc.c_str(), "%4d-%2d-%2d %2d:%2d", &year, &month, &day, &hour, &minute) != 5) {
    return std::nullopt;
  }
  return daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) * 1440 +
         hour * 60 + minute;
}

class CheckPrinter final : public SessionEvents {
 public:
  explicit CheckPrinter(std::ostream& out) : out_(out) {}

  void greeted(const Reply& greeting) override { line("Greeting", greeting.text()); }

  void extended(const ServerCapabilities& capabilities, bool secured) override {
    for (const std::string& keyword : capabilities.keywordLines) {
      line(secured ? "EHLO (TLS)" : "EHLO", keyword);
    }
    line(secured ? "AUTH (TLS)" : "AUTH", mechanisms(capabilities));
  }

  void fellBackToHelo() override { line("EHLO", "refused; HELO used"); }

  void secured(const platform::TlsDetails& details, const std::string& verdict) override {
    line("TLS", details.version + ", " + details.cipher);
    for (std::size_t i = 0; i < details.chain.size(); ++i) {
      const platform::TlsCertificate& certificate = details.chain[i];
      std::string name = "Certificate " + std::to_string(i + 1);
      line(name + " subject", certificate.subject);
      line(name + " issuer", certificate.issuer);
      line(name + " valid", certificate.notBefore + " to " + certificate.notAfter);
      // What the server's own certificate is for: the answer to a name that does not match.
      if (i == 0) line(name + " names", certificateNamesText(certificate.names, kAllNames));
    }
    line("Certificate SHA-256", details.leafSha256);
    line("Certificate", verdict);
    if (!details.chain.empty()) {
      if (auto advice = expiryAdvice(details.chain[0].notAfter, platform::localTimeNow())) {
        line("Warning", *advice);
      }
    }
  }

  void loggedIn(SaslMechanism mechanism) override {
    line("Login", "accepted (" + std::string(mechanismName(mechanism)) + ")");
  }

  void line(std::string_view name, std::string_view value) {
    out_ << name << ": " << printable(value) << "\n";
    out_.flush();
  }

 private:
  static std::string mechanisms(const ServerCapabilities& capabilities) {
    std::string all;
    for (const std::string& mechanism : capabilities.authMechanisms) {
      all += (all.empty() ? "" : " ") + mechanism;
    }
    return all.empty() ? "none" : all;
  }

  std::ostream& out_;
};

// Advice only, never a security decision (that waits for the address connected to): a
// loopback address, or the name localhost, which resolves to one almost everywhere.
bool namesThisMachine(const std::string& server) {
  std::string name = lowerCased(server);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name == "localhost" || name.ends_with(".localhost") ||
         platform::literalIsLoopback(name).value_or(false);
}

}  // namespace

std::vector<std::string> settingsAdvice(const JobSettings& settings) {
  std::vector<std::string> advice;
  if (settings.senderAddress.find('@') == std::string::npos) {
    advice.push_back("Address '" + printable(settings.senderAddress) +
                     "' has no domain; providers refuse such a sender (set Address)");
  }
  bool logsIn = !settings.user.empty() && settings.auth != AuthChoice::kNone;
  if (logsIn && effectiveSecurity(settings) == Security::kNone &&
      !namesThisMachine(settings.server)) {
    advice.push_back("Security=none with a login to " + printable(settings.server) +
                     ": the password would cross the network unencrypted");
  }
  return advice;
}

std::optional<std::string> expiryAdvice(const std::string& notAfter,
                                        const platform::LocalTime& now) {
  std::optional<std::int64_t> end = minutesSinceEpoch(notAfter);
  if (!end) return std::nullopt;
  std::int64_t nowUtc =
      daysFromCivil(now.year, static_cast<unsigned>(now.month), static_cast<unsigned>(now.day)) *
          1440 +
      now.hour * 60 + now.minute - now.utcOffsetMinutes;
  std::int64_t left = *end - nowUtc;
  if (left >= kExpiryWarningDays * 1440) return std::nullopt;
  if (left < 0) return "the server's certificate expired on " + notAfter;
  return "the server's certificate expires within " + std::to_string(kExpiryWarningDays) +
         " days, on " + notAfter;
}

int checkServer(JobSettings& settings, std::ostream& out, Trace* trace) {
  CheckPrinter printer(out);
  // A name outside ASCII is shown as written and as it is looked up and checked.
  std::optional<std::string> ascii = platform::hostNameToAscii(settings.server);
  std::string server = settings.server;
  if (ascii && *ascii != settings.server) server += " (" + *ascii + ")";
  printer.line("Server", server + ", port " + std::to_string(settings.port) +
                             ", security " + std::string(securityName(effectiveSecurity(settings))));
  for (const std::string& advice : settingsAdvice(settings)) printer.line("Warning", advice);
  try {
    refusePlaintextPassword(settings);
    if (oauth::usesBuiltInOAuth(settings)) out << oauth::describeState(settings);
    std::optional<Secret> secret = obtainSecret(settings);
    Session session = openSession(settings, TimeLimits::withOverride(settings.timeoutSeconds),
                                  secret ? &*secret : nullptr, printer, trace);
    if (!secret) {
      printer.line("Login", settings.user.empty() ? "not tried (no User set)" : "not tried (Auth=none)");
    }
    session.connection.quit();
  } catch (const RunFailure& failure) {
    out << failure.message;
    if (!failure.reason.empty()) printer.line("Reason", failure.reason);
    printer.line("Check", "failed");
    return kExitFailed;
  }
  printer.line("Check", "passed");
  return kExitSent;
}

}  // namespace larkpost
