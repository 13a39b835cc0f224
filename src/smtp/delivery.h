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
#include "platform/tls.h"
#include "smtp/capabilities.h"
#include "smtp/reply_reader.h"
#include "core/secret.h"
#include "core/text_sink.h"
#include "smtp/trace.h"

namespace larkpost {

// Writes the message data (laid out for the wire) to `sink`, knowing what the server
// offers, and returns whether it ended a line. Throws RunFailure when the message cannot
// be had (input or attachment failed). Called once: later transactions replay its bytes.
using WriteMessage = std::function<bool(TextSink& sink, const ServerCapabilities& offered)>;

struct RecipientOutcome {
  std::string address;
  bool delivered = false;
  std::optional<Reply> reply;  // the server's last word on this recipient
};

// One transaction as it went, for the log: set up when its recipients were given, the
// rest filled in as it gets further.
struct TransactionRecord {
  std::size_t accepted = 0;
  std::size_t refused = 0;
  std::size_t deferred = 0;
  std::optional<Reply> dataReply;  // the server took the message with this reply
  std::uint64_t bytes = 0;         // message data sent, before the end-of-data line
  std::int64_t millis = 0;         // from the first recipient to the end of the data
};

struct DeliveryOutcome {
  std::vector<RecipientOutcome> recipients;  // in sending order
  std::vector<TransactionRecord> transactions;  // in order, every attempt's
  std::optional<Reply> dataReply;            // to the end of the last accepted message
  std::optional<platform::TlsDetails> tls;
  bool tlsVerified = false;
  bool failed = false;     // the run ended with a failure message
  std::string failureMessage;  // that message, for the log
  std::string failureReason;   // the system's words on why, when it gave any
  bool temporary = false;  // and a later attempt may still succeed

  std::size_t deliveredCount() const;
  // 0 when every recipient got the message, 2 when some did, 1 when none did.
  int exitStatus() const;
};

struct DeliveryPlan {
  std::vector<std::string> recipients;  // in sending order, each once
  WriteMessage writeMessage;
  // The message's size when it can be told before it is written (RFC 1870 SIZE).
  std::optional<std::uint64_t> estimatedSize;
};

// Delivers `plan`, printing one message per refused recipient in sending order and one
// for whatever ends the run, and tracing the dialogue to `trace` when given. The secret
// (for the login) may be used more than once.
DeliveryOutcome deliver(const JobSettings& settings, DeliveryPlan plan, const Secret* secret,
                        std::ostream& out, Trace* trace = nullptr);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_DELIVERY_H_
