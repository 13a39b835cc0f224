// The session is secured before anything of the user's is sent: with STARTTLS, what the
// server said before the handshake is forgotten and EHLO asked again; a certificate that
// is not trusted ends the run with nothing more sent; a password never goes over a
// plaintext connection to another machine.
#include "smtp/session.h"

#include <algorithm>
#include <cctype>

#include "core/printable.h"
#include "core/run_failure.h"

namespace larkpost {
namespace {

constexpr int kImplicitTlsPort = 465;
constexpr int kSubmissionPort = 587;
constexpr int kMostChallenges = 4;
// A certificate may hold hundreds of names; a message names the first few.
constexpr std::size_t kNamesInMessages = 5;

std::string serverPart(const SmtpConnection& connection) {
  return "server (" + connection.server() + ")";
}

// How the session ends after the server refused something with `reply`.
SessionEnd endAfter(const Reply& reply) {
  return reply.closing() ? SessionEnd::kDrop : SessionEnd::kQuit;
}

// A 4yz reply (421 above all) refuses for now: a later attempt may get further.
bool isTemporary(const Reply& reply) { return reply.wellFormed() && reply.first() == '4'; }

void sendHelo(SmtpConnection& connection, const JobSettings& settings) {
  // Whatever else HELO's reply says, the transaction may still go on.
  Reply reply = connection.command("HELO " + settings.domain + "\r\n", connection.limits().command);
  if (reply.closing()) {
    throw RunFailure{"Connection to " + serverPart(connection) + " was closed\n",
                     SessionEnd::kDrop, true};  // 421: busy now, perhaps not later
  }
}

// EHLO, or HELO for a server that does not take it (RFC 5321 4.1.1.1).
ServerCapabilities greet(SmtpConnection& connection, const JobSettings& settings,
                         SessionEvents& events, bool secured) {
  Reply reply = connection.command("EHLO " + settings.domain + "\r\n", connection.limits().command);
  if (reply.closing()) {
    throw RunFailure{"Connection to " + serverPart(connection) + " was closed\n",
                     SessionEnd::kDrop, true};  // 421: busy now, perhaps not later
  }
  if (reply.accepted()) {
    ServerCapabilities capabilities = parseEhloReply(reply);
    events.extended(capabilities, secured);
    return capabilities;
  }
  events.fellBackToHelo();
  sendHelo(connection, settings);
  return {};
}

std::string verdict(const platform::TlsDetails& details, const JobSettings& settings) {
  if (!settings.tlsVerify) return "not checked (TlsVerify=no)";
  if (!settings.fingerprint.empty()) return "fingerprint " + details.leafSha256 + " matches";
  return "verified for " + settings.server;
}

platform::TlsDetails secure(SmtpConnection& connection, const JobSettings& settings,
                            SessionEvents& events) {
  platform::TlsDetails details = connection.startTls({connection.asciiServer(), settings.caFile});
  std::optional<std::string> reason = distrustReason(details, settings);
  connection.traceEvent(details.version + " established, " + details.cipher + ", certificate " +
                        (reason ? "not trusted: " + *reason : verdict(details, settings)));
  if (reason) {
    events.secured(details, "not trusted: " + *reason);
    throw RunFailure{"Certificate of " + serverPart(connection) + " not trusted: " +
                         printable(*reason) + "\n",
                     SessionEnd::kDrop};
  }
  events.secured(details, verdict(details, settings));
  return details;
}

void startTls(Session& session, const JobSettings& settings, SessionEvents& events) {
  SmtpConnection& connection = session.connection;
  if (!session.capabilities.startTls) {
    throw RunFailure{"Server (" + connection.server() + ") does not offer STARTTLS\n",
                     SessionEnd::kQuit};
  }
  Reply reply = connection.command("STARTTLS\r\n", connection.limits().command);
  if (!reply.hasCode("220")) {
    throw RunFailure{"Server (" + connection.server() + ") refused STARTTLS\n", endAfter(reply),
                     isTemporary(reply)};
  }
  session.tls = secure(connection, settings, events);
  // What was offered in plaintext could have been forged: ask again (RFC 3207 4.2).
  session.capabilities = greet(connection, settings, events, true);
}

std::string offeredMechanisms(const ServerCapabilities& capabilities) {
  std::string offered;
  for (const std::string& mechanism : capabilities.authMechanisms) {
    offered += (offered.empty() ? "" : " ") + mechanism;
  }
  return offered.empty() ? "none" : offered;
}

std::string_view challengeOf(const Reply& reply) {
  return reply.lines.empty() || reply.lines[0].size() < 4 ? std::string_view()
                                                           : std::string_view(reply.lines[0]).substr(4);
}

// One AUTH exchange, to the server's final reply. A login the server accepted without
// proving it knows the password (SCRAM) is a failure: it may not be the server it says.
Reply authenticate(SmtpConnection& connection, SaslMechanism mechanism, const JobSettings& settings,
                   std::string_view secret) {
  SaslClient sasl(mechanism, settings.user, secret, settings.server, settings.port);
  int limit = connection.limits().command;
  Reply reply = connection.sendSecret(sasl.command(), limit);
  for (int round = 0; reply.hasCode("334") && round < kMostChallenges; ++round) {
    reply = connection.sendSecret(sasl.respond(challengeOf(reply)), limit);
  }
  if (reply.accepted() && !sasl.serverVerified(challengeOf(reply))) {
    throw RunFailure{"Server (" + connection.server() +
                         ") accepted the login without proving it knows the password "
                         "(SCRAM-SHA-256 server signature missing or wrong)\n",
                     SessionEnd::kQuit};
  }
  return reply;
}

void logIn(Session& session, const JobSettings& settings, const Secret& secret,
           SessionEvents& events) {
  SmtpConnection& connection = session.connection;
  std::optional<SaslMechanism> mechanism = chooseMechanism(settings.auth, session.capabilities);
  if (!mechanism) {
    throw RunFailure{"Server (" + connection.server() + ") offers no usable authentication (" +
                         printable(offeredMechanisms(session.capabilities)) + ")\n",
                     SessionEnd::kQuit};
  }
  Reply reply = authenticate(connection, *mechanism, settings, secret.view());
  // An OAuth access token can be revoked or expire early: one new token, one more try.
  bool tokenRefused = (reply.hasCode("535") || reply.hasCode("454")) && settings.renewToken &&
                      (*mechanism == SaslMechanism::kXoauth2 || *mechanism == SaslMechanism::kOauthBearer);
  if (tokenRefused) {
    connection.traceEvent("the access token was refused; fetching a new one");
    Secret renewed = settings.renewToken();
    reply = authenticate(connection, *mechanism, settings, renewed.view());
  }
  if (!reply.accepted()) {
    throw RunFailure{"Authentication failed at " + serverPart(connection) + ": " +
                         printable(reply.text()) + "\n",
                     endAfter(reply), isTemporary(reply)};
  }
  events.loggedIn(*mechanism);
}

bool isHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

Security effectiveSecurity(const JobSettings& settings) {
  if (settings.security) return *settings.security;
  if (settings.port == kImplicitTlsPort) return Security::kTls;
  if (settings.port == kSubmissionPort) return Security::kStartTls;
  return Security::kNone;
}

void refusePlaintextPassword(const JobSettings& settings, std::optional<bool> connectedToLoopback) {
  bool sendsPassword = !settings.user.empty() && settings.auth != AuthChoice::kNone;
  if (!sendsPassword || effectiveSecurity(settings) != Security::kNone || settings.plaintextAuth) {
    return;
  }
  bool loopback = connectedToLoopback ? *connectedToLoopback
                                      : platform::literalIsLoopback(settings.server).value_or(true);
  if (loopback) return;
  throw localFailure(FailureCause::kSettings,
                     "Refusing to send the password for " + printable(settings.user) +
                         " unencrypted to server (" + printable(settings.server) +
                         "); set Security=starttls or tls\n");
}

std::optional<std::string> normalizedFingerprint(const std::string& text) {
  std::string hex;
  for (char c : text) {
    if (c == ':' || c == ' ') continue;
    if (!isHexDigit(c)) return std::nullopt;
    hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  if (hex.size() != 64) return std::nullopt;
  std::string pairs;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    if (i > 0) pairs += ':';
    pairs += hex.substr(i, 2);
  }
  return pairs;
}

std::string certificateNamesText(std::span<const std::string> names, std::size_t most) {
  if (names.empty()) return "no host name or address";
  std::string text;
  for (std::size_t i = 0; i < std::min(most, names.size()); ++i) {
    text.append(i == 0 ? "" : ", ").append(names[i]);
  }
  if (names.size() > most) text += " and " + std::to_string(names.size() - most) + " more";
  return text;
}

std::optional<std::string> distrustReason(const platform::TlsDetails& details,
                                          const JobSettings& settings) {
  if (!settings.tlsVerify) return std::nullopt;
  if (!settings.fingerprint.empty()) {
    if (normalizedFingerprint(settings.fingerprint) == details.leafSha256) return std::nullopt;
    return "its SHA-256 fingerprint is " + details.leafSha256 + ", not the one in Fingerprint";
  }
  switch (details.trust) {
    case platform::TrustProblem::kNone:
      return std::nullopt;
    case platform::TrustProblem::kExpired:
      return "the certificate has expired";
    case platform::TrustProblem::kNotYetValid:
      return "the certificate is not valid yet";
    case platform::TrustProblem::kNameMismatch:
      return "the certificate is not for " + settings.server + "; it is for " +
             certificateNamesText(details.chain.empty() ? std::span<const std::string>{}
                                                        : details.chain.front().names,
                                  kNamesInMessages);
    case platform::TrustProblem::kUnknownIssuer:
      return "its issuer is unknown (name the CA in CAFile, or pin the certificate with "
             "Fingerprint)";
    case platform::TrustProblem::kSelfSigned:
      return "the certificate is self-signed (trust it with Fingerprint or CAFile)";
    case platform::TrustProblem::kOther:
      break;
  }
  return details.trustDetail.empty() ? "the certificate could not be verified"
                                     : details.trustDetail;
}

Session openSession(const JobSettings& settings, const TimeLimits& limits, const Secret* secret,
                    SessionEvents& events, Trace* trace) {
  Session session{openConnection(settings, limits), {}, std::nullopt};
  SmtpConnection& connection = session.connection;
  connection.setTrace(trace);
  connection.traceEvent("connected to " + settings.server + " port " + std::to_string(settings.port));
  Security security = effectiveSecurity(settings);
  try {
    refusePlaintextPassword(settings, connection.peerIsLoopback());
    if (security == Security::kTls) session.tls = secure(connection, settings, events);
    events.greeted(connection.readGreeting());
    session.capabilities = greet(connection, settings, events, security == Security::kTls);
    if (security == Security::kStartTls) startTls(session, settings, events);
    if (secret && !settings.user.empty() && settings.auth != AuthChoice::kNone) {
      logIn(session, settings, *secret, events);
    }
  } catch (RunFailure& failure) {
    if (failure.end == SessionEnd::kQuit) connection.quit();
    failure.end = SessionEnd::kDrop;  // said and done here
    throw;
  }
  return session;
}

}  // namespace larkpost
