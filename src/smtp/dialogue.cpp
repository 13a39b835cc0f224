// The mail transaction's commands and how each reply is judged. Only a positive completion
// (2yz) accepts the sender or a recipient; a server that answers 421 is closing, so
// nothing more is sent to it.
#include "smtp/dialogue.h"

#include <algorithm>
#include <unordered_set>

#include "invocation/printable.h"
#include "invocation/run_failure.h"

namespace larkpost {
namespace {

constexpr std::string_view kMailPrefix = "MAIL FROM:<";
constexpr std::string_view kRcptPrefix = "RCPT TO:<";
constexpr std::string_view kHeloPrefix = "EHLO ";

bool hasUnsafeCharacter(std::string_view text) {
  return std::any_of(text.begin(), text.end(), [](char c) {
    auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F || c == '<' || c == '>';
  });
}

// How the session ends after the server refused something with `reply`.
SessionEnd endAfter(const Reply& reply) {
  return reply.closing() ? SessionEnd::kDrop : SessionEnd::kQuit;
}

std::string senderFailure(const JobSettings& settings) {
  return "Error sending mail from user [" + printable(settings.senderAddress) + "]\n";
}

std::string recipientFailure(std::string_view address) {
  return "Error sending mail to user [" + printable(address) + "]\n";
}

std::string envelopeCommand(std::string_view prefix, std::string_view address) {
  std::string line(prefix);
  line += address;
  line += ">\r\n";
  return line;
}

void sendMailFrom(SmtpConnection& connection, const JobSettings& settings) {
  Reply reply = connection.command(envelopeCommand(kMailPrefix, settings.senderAddress),
                                   connection.limits().command);
  if (!reply.accepted()) throw RunFailure{senderFailure(settings), endAfter(reply)};
}

// True when the server accepted `address`.
bool sendRecipient(SmtpConnection& connection, const std::string& address, std::ostream& out) {
  if (address.empty() || !isSendableAddress(kRcptPrefix, address)) {
    out << recipientFailure(address);
    return false;
  }
  Reply reply = connection.command(envelopeCommand(kRcptPrefix, address),
                                   connection.limits().command);
  if (reply.closing()) throw RunFailure{recipientFailure(address), SessionEnd::kDrop};
  if (reply.accepted()) return true;
  out << recipientFailure(address);
  return false;
}

void sendData(SmtpConnection& connection) {
  Reply reply = connection.command("DATA\r\n", connection.limits().data);
  if (!reply.wellFormed() || reply.first() != '3') {
    throw RunFailure{"Server refused message data\n", endAfter(reply)};
  }
}

}  // namespace

bool isSendableAddress(std::string_view prefix, std::string_view address) {
  return !hasUnsafeCharacter(address) &&
         prefix.size() + address.size() + 3 <= kMaxCommandLine;  // ">\r\n"
}

bool isSendableDomain(std::string_view domain) {
  return !domain.empty() && !hasUnsafeCharacter(domain) &&
         kHeloPrefix.size() + domain.size() + 2 <= kMaxCommandLine;
}

EnvelopeOutcome sendEnvelope(SmtpConnection& connection, const JobSettings& settings,
                             const std::vector<std::string>& recipients, std::ostream& out) {
  sendMailFrom(connection, settings);

  EnvelopeOutcome outcome;
  std::unordered_set<std::string> seen;
  for (const std::string& address : recipients) {
    if (!seen.insert(address).second) continue;  // each address is sent once
    if (sendRecipient(connection, address, out)) {
      ++outcome.accepted;
    } else {
      ++outcome.refused;
    }
    out.flush();
  }
  if (outcome.accepted == 0) throw RunFailure{"\nNo valid recpients.\n", SessionEnd::kQuit};

  sendData(connection);
  return outcome;
}

void endMessage(SmtpConnection& connection, bool dataEndedLine) {
  Reply reply =
      connection.command(dataEndedLine ? ".\r\n" : "\r\n.\r\n", connection.limits().endOfData);
  if (!reply.accepted()) {
    throw RunFailure{"Server did not accept the message\n", endAfter(reply)};
  }
}

}  // namespace larkpost
