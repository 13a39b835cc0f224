// What --check prints comes from the session's own steps, as they happen, so a failure
// shows everything learned up to it.
#include "invocation/check.h"

#include "invocation/credentials.h"
#include "core/printable.h"
#include "invocation/run.h"
#include "core/run_failure.h"
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
    }
    line("Certificate SHA-256", details.leafSha256);
    line("Certificate", verdict);
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

}  // namespace

int checkServer(JobSettings& settings, std::ostream& out, Trace* trace) {
  CheckPrinter printer(out);
  printer.line("Server", settings.server + ", port " + std::to_string(settings.port) +
                             ", security " + std::string(securityName(effectiveSecurity(settings))));
  try {
    refusePlaintextPassword(settings);
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
