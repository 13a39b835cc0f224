// The run's record holds every reply that matters; this only reads it.
#include "sendmail/sendmail_outcome.h"

#include <algorithm>

#include "core/printable.h"

namespace larkpost {
namespace {

bool isTemporary(const Reply& reply) { return reply.wellFormed() && reply.first() == '4'; }

// Recipients the server refused (an accepted one may still miss the message when the
// message itself fails: that failure speaks for it).
std::vector<const RecipientOutcome*> refusedRecipients(const RunRecord& record) {
  std::vector<const RecipientOutcome*> refused;
  if (!record.delivery) return refused;
  for (const RecipientOutcome& recipient : record.delivery->recipients) {
    const std::optional<Reply>& reply = recipient.reply;
    // Only a recipient's own RCPT refusal counts here; one that shares its transaction's
    // end-of-data reply failed with the message.
    if (!recipient.delivered() && !recipient.transaction && reply && !reply->lines.empty() &&
        reply->first() != '2') {
      refused.push_back(&recipient);
    }
  }
  return refused;
}

FailureCause causeOf(const RunRecord& record) {
  if (record.delivery && record.delivery->failed) return record.delivery->failureCause;
  return record.cause;
}

const std::string& failureMessageOf(const RunRecord& record) {
  if (record.delivery && record.delivery->failed && !record.delivery->failureMessage.empty()) {
    return record.delivery->failureMessage;
  }
  return record.failureMessage;
}

// A reply's lines on one line.
std::string oneLine(const Reply& reply) {
  std::string line;
  for (const std::string& part : reply.lines) {
    if (!line.empty()) line += ' ';
    line += part;
  }
  return printable(line);
}

// The failure message's words on one line: without its line ends and the old program's
// backspaces.
std::string flattened(std::string_view message) {
  std::string line;
  for (char c : message) {
    if (c == '\n') {
      if (!line.empty() && line.back() != ' ') line += ' ';
    } else if (c != '\b') {
      line += c;
    }
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

bool allDelivered(const RunRecord& record) {
  return record.delivery && !record.delivery->failed && !record.delivery->recipients.empty() &&
         record.delivery->deliveredCount() == record.delivery->recipients.size();
}

}  // namespace

int sendmailExitStatus(const RunRecord& record) {
  if (!record.failed && allDelivered(record)) return kExOk;
  if (record.failed) {
    switch (causeOf(record)) {
      case FailureCause::kUsage:
        return kExUsage;
      case FailureCause::kSettings:
        return kExConfig;
      case FailureCause::kLocalInput:
        return kExIoError;
      case FailureCause::kDelivery:
        break;
    }
  }
  std::vector<const RecipientOutcome*> refused = refusedRecipients(record);
  bool allTemporary = (!record.failed || record.temporary) &&
                      std::all_of(refused.begin(), refused.end(),
                                  [](const RecipientOutcome* r) { return isTemporary(*r->reply); });
  if (allTemporary && (record.failed || !refused.empty())) return kExTempFail;
  bool someRefused = std::any_of(refused.begin(), refused.end(),
                                 [](const RecipientOutcome* r) { return !isTemporary(*r->reply); });
  return someRefused ? kExNoUser : kExUnavailable;
}

std::vector<std::string> sendmailMessages(const RunRecord& record, std::string_view prefix) {
  std::vector<std::string> lines;
  const std::string start(prefix);
  std::string message = flattened(failureMessageOf(record));
  bool failedForDsn = record.failed && message.find("does not offer DSN") != std::string::npos;
  if (record.delivery && record.delivery->dsnOffered == false && !failedForDsn) {
    lines.push_back(start + "the server does not offer DSN, sending without it");
  }
  std::vector<const RecipientOutcome*> refused = refusedRecipients(record);
  for (const RecipientOutcome* recipient : refused) {
    lines.push_back(start + printable(recipient->address) + ": " + oneLine(*recipient->reply));
  }
  if (!record.failed) return lines;
  // That no recipient was accepted is already said, one line each.
  if (message.empty() || message == "No valid recpients.") {
    if (!refused.empty()) return lines;
    message = "no valid recipients";
  }
  std::string line = start + message;
  const std::optional<Reply>& reply =
      record.delivery ? record.delivery->failureReply : std::optional<Reply>();
  // A positive reply was not what failed: the connection broke after it.
  if (record.delivery && record.delivery->failed && reply && !reply->lines.empty() &&
      reply->first() != '2' && reply->first() != '3' && refused.empty()) {
    line += ": " + oneLine(*reply);
  }
  lines.push_back(line);
  return lines;
}

}  // namespace larkpost
