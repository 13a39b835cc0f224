// The mail transaction's commands and how each reply is judged. Only a positive completion
// (2yz) accepts the sender or a recipient; a server that answers 421 is closing, so
// nothing more is sent to it. Pipelined or not, the commands and the reading of their
// replies are the same loop: without PIPELINING the window is one command.
#include "smtp/dialogue.h"

#include <algorithm>
#include <deque>

#include "core/printable.h"
#include "core/run_failure.h"

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

bool isTemporary(const Reply& reply) { return reply.wellFormed() && reply.first() == '4'; }

std::string mailCommand(std::string_view sender, const MailParameters& parameters) {
  std::string line(kMailPrefix);
  line += sender;
  line += '>';
  if (parameters.size) line += " SIZE=" + std::to_string(*parameters.size);
  if (parameters.eightBitMime) line += " BODY=8BITMIME";
  if (parameters.smtpUtf8) line += " SMTPUTF8";
  if (parameters.dsn) line += dsnMailParameters(*parameters.dsn);
  return line + "\r\n";
}

std::string rcptCommand(std::string_view address, const MailParameters& parameters) {
  std::string line(kRcptPrefix);
  line += address;
  line += '>';
  if (parameters.dsn) line += dsnRecipientParameters(*parameters.dsn, address);
  return line + "\r\n";
}

// "Too many recipients" (RFC 5321 4.5.3.1.10): not a refusal, but "not in this
// transaction". Older servers say 552 with the enhanced code 5.5.3.
bool tooManyRecipients(const Reply& reply) {
  if (reply.hasCode("452")) return true;
  // A reply line may be the code alone.
  return reply.hasCode("552") && reply.lines.front().substr(3).starts_with(" 5.5.3");
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

bool isInternationalAddress(std::string_view address) {
  return std::any_of(address.begin(), address.end(),
                     [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

std::string recipientFailure(std::string_view address) {
  return "Error sending mail to user [" + printable(address) + "]\n";
}

std::string senderFailure(std::string_view address) {
  return "Error sending mail from user [" + printable(address) + "]\n";
}

std::vector<RecipientResult> sendEnvelope(SmtpConnection& connection, std::string_view sender,
                                          const MailParameters& parameters,
                                          std::span<const std::string_view> recipients,
                                          bool pipelining,
                                          std::optional<RunFailure>* interrupted) {
  const std::size_t window = pipelining ? kPipelineWindow : 1;
  const int limit = connection.limits().command;
  std::vector<RecipientResult> results(recipients.size());
  // Commands sent and not yet answered: recipient indexes, the MAIL command as npos.
  constexpr std::size_t kMail = static_cast<std::size_t>(-1);
  std::deque<std::size_t> awaiting{kMail};
  connection.sendText(mailCommand(sender, parameters));
  std::optional<Reply> mailRefusal;
  std::size_t next = 0;
  bool stopped = false;  // after a refused sender, too many recipients or a 421
  bool anyAccepted = false;
  while (!awaiting.empty() || (!stopped && next < recipients.size())) {
    while (!stopped && next < recipients.size() && awaiting.size() < window) {
      std::string_view address = recipients[next];
      bool sendable = !address.empty() && isSendableAddress(kRcptPrefix, address) &&
                      (parameters.smtpUtf8 || !isInternationalAddress(address));
      if (sendable) {
        connection.sendText(rcptCommand(address, parameters));
        awaiting.push_back(next);
      } else {
        results[next].state = RecipientState::kRefused;
      }
      ++next;
    }
    if (awaiting.empty()) break;
    Reply reply;
    try {
      reply = connection.readReply(limit);
    } catch (const RunFailure& failure) {
      if (!interrupted || mailRefusal || awaiting.front() == kMail) throw;
      *interrupted = failure;
      return results;  // the unanswered stay deferred
    }
    std::size_t answered = awaiting.front();
    awaiting.pop_front();
    if (answered == kMail) {
      if (!reply.accepted()) {
        mailRefusal = reply;
        stopped = true;
      }
      continue;
    }
    if (mailRefusal) continue;  // answers to a transaction that never began
    RecipientResult& result = results[answered];
    result.reply = reply;
    if (reply.closing()) {
      // Nothing more is read: the server is going away, its other replies with it.
      result.state = RecipientState::kTemporary;
      RunFailure failure{recipientFailure(recipients[answered]), SessionEnd::kDrop, true};
      if (!interrupted) throw failure;
      *interrupted = std::move(failure);
      return results;
    }
    if (stopped) {
      // Past the limit, only an acceptance counts; the rest wait for another transaction.
      result.state = reply.accepted() ? RecipientState::kAccepted : RecipientState::kDeferred;
    } else if (reply.accepted()) {
      result.state = RecipientState::kAccepted;
      anyAccepted = true;
    } else if (tooManyRecipients(reply)) {
      result.state = anyAccepted ? RecipientState::kDeferred : RecipientState::kTemporary;
      stopped = true;
    } else {
      result.state = isTemporary(reply) ? RecipientState::kTemporary : RecipientState::kRefused;
    }
  }
  if (mailRefusal) {
    throw RunFailure{senderFailure(sender), endAfter(*mailRefusal), isTemporary(*mailRefusal)};
  }
  return results;
}

void sendData(SmtpConnection& connection) {
  Reply reply = connection.command("DATA\r\n", connection.limits().data);
  if (!reply.wellFormed() || reply.first() != '3') {
    throw RunFailure{"Server refused message data\n", endAfter(reply), isTemporary(reply)};
  }
  connection.beginData();
}

Reply endMessage(SmtpConnection& connection, bool dataEndedLine) {
  Reply reply;
  connection.endData();
  try {
    reply = connection.command(dataEndedLine ? ".\r\n" : "\r\n.\r\n", connection.limits().endOfData);
  } catch (RunFailure& failure) {
    failure.maybeDelivered = true;
    failure.temporary = false;  // not for this message: it may be there already
    throw;
  }
  return reply;
}

}  // namespace larkpost
