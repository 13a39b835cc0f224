// Delivery of one message to all its recipients: as many transactions as the server's
// recipient limit (or MaxRecipients) asks for, on one connection, the message replayed
// from a spool file after the first; and further attempts after a temporary failure.
#ifndef LARKPOST_SMTP_DELIVERY_H_
#define LARKPOST_SMTP_DELIVERY_H_

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "core/run_failure.h"
#include "core/secret.h"
#include "core/text_sink.h"
#include "platform/tls.h"
#include "smtp/capabilities.h"
#include "smtp/reply_reader.h"
#include "smtp/trace.h"

namespace larkpost {

// Writes the message data (laid out for the wire) to `sink`, knowing what the server
// offers, and returns whether it ended a line. Throws RunFailure when the message cannot
// be had (input or attachment failed). Called once: later transactions replay its bytes.
using WriteMessage = std::function<bool(TextSink& sink, const ServerCapabilities& offered)>;

// What became of a recipient. Settled means anything but kPending.
enum class RecipientStatus {
  kPending,    // not settled yet
  kDelivered,  // its transaction's end of data was accepted
  kRefused,    // refused for good, or the run ended for a reason a retry cannot mend
  kTemporary,  // not delivered; trying again later may succeed
  kUnknown,    // the end of data was sent and no reply came: the server may have it
};

struct RecipientOutcome {
  std::string address;
  RecipientStatus status = RecipientStatus::kPending;
  // The reply that settled it: its own RCPT reply, or (when `transaction` is set) the
  // end-of-data reply of its transaction, kept once in DeliveryOutcome::dataReplies.
  std::optional<Reply> reply;
  std::optional<std::uint32_t> transaction;

  bool delivered() const { return status == RecipientStatus::kDelivered; }
};

// One transaction as it went, for the log: set up when its recipients were given, the
// rest filled in as it gets further.
struct TransactionRecord {
  std::size_t accepted = 0;
  std::size_t refused = 0;
  std::size_t deferred = 0;
  bool dataEnded = false;          // the end of the data went out
  std::optional<Reply> dataReply;  // the server's reply to it, when one came
  std::uint64_t bytes = 0;         // message data sent, before the end-of-data line
  std::int64_t millis = 0;         // from the first recipient to the end of the data
};

struct DeliveryOutcome {
  std::vector<RecipientOutcome> recipients;  // in sending order
  std::vector<Reply> dataReplies;            // each transaction's end-of-data reply, in order
  std::vector<TransactionRecord> transactions;  // every transaction begun, in order, for the log
  std::optional<platform::TlsDetails> tls;
  bool tlsVerified = false;
  bool failed = false;     // the run ended with a failure message
  std::string failureReason;   // the system's words on why, when it gave any
  bool temporary = false;  // and a later attempt may still succeed
  std::string failureMessage;  // that message
  FailureCause failureCause = FailureCause::kDelivery;
  std::optional<Reply> failureReply;  // the server's last reply before it
  std::optional<bool> dsnOffered;     // DSN was asked for: whether the server offers it

  std::size_t deliveredCount() const;
  // Some recipient's fate is unknown: sending again could deliver twice.
  bool unknown() const;
  // The server's last word on `recipient`, when there was one.
  const Reply* replyOf(const RecipientOutcome& recipient) const;
  // 0 when every recipient got the message, 2 when some did, 1 when none did.
  int exitStatus() const;
};

struct DeliveryPlan {
  std::vector<std::string> recipients;  // in sending order, each once
  WriteMessage writeMessage;
  // Before it is written, the message's size (RFC 1870 SIZE) is known within bounds: it
  // is refused only above a server's limit by the lower, declared only with the upper.
  std::uint64_t sizeAtLeast = 0;
  std::optional<std::uint64_t> sizeAtMost;
  // The header to go out holds UTF-8 as it is (an international address, say), which
  // a server offering SMTPUTF8 is told of in every transaction.
  bool internationalHeader = false;
};

// Delivers `plan`, printing one message per refused recipient in sending order and one
// for whatever ends the run, and tracing the dialogue to `trace` when given. The secret
// (for the login) may be used more than once.
DeliveryOutcome deliver(const JobSettings& settings, DeliveryPlan plan, const Secret* secret,
                        std::ostream& out, Trace* trace = nullptr);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_DELIVERY_H_
