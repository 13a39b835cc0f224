// A message goes out once per transaction, byte for byte the same: the first time it is
// written from the input, and, when a later transaction or attempt may need it, kept in
// a spool file (nameless, owner-only) that they replay. The input is read once.
#include "smtp/delivery.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "core/printable.h"
#include "core/run_failure.h"
#include "platform/platform.h"
#include "smtp/dialogue.h"
#include "smtp/session.h"

namespace larkpost {
namespace {

constexpr const char* kNoRecipients = "\nNo valid recpients.\n";
constexpr int kLongestRetryDelay = 15 * 60;
constexpr std::size_t kReplayBlock = 64 * 1024;

// The message's wire bytes as first sent.
class Spool {
 public:
  explicit Spool(platform::File file) : file_(std::move(file)) {}

  static Spool create() {
    std::string error;
    std::optional<platform::File> file = platform::createTemporaryFile("lkp", error);
    if (!file) throw RunFailure{"Could not create a temporary file: " + error + "\n"};
    return Spool(std::move(*file));
  }

  void write(std::string_view bytes) {
    if (!file_.write(bytes)) throw RunFailure{"Could not write the message's spool file\n"};
    size_ += bytes.size();
  }

  void replay(TextSink& sink) {
    if (!file_.rewind()) throw RunFailure{"Could not read the message's spool file\n"};
    std::string block(kReplayBlock, '\0');
    for (;;) {
      std::ptrdiff_t got = file_.read(block);
      if (got < 0) throw RunFailure{"Could not read the message's spool file\n"};
      if (got == 0) return;
      sink.sendText(std::string_view(block.data(), static_cast<std::size_t>(got)));
    }
  }

  std::uint64_t size() const { return size_; }

  bool endedLine = true;  // the data ended a line
  bool complete = false;  // the whole message is in it

 private:
  platform::File file_;
  std::uint64_t size_ = 0;
};

// Sends to the connection and keeps a copy in the spool. When `keepComposing`, a broken
// connection does not stop the copy, so that a later attempt has the whole message.
class SpoolingSink final : public TextSink {
 public:
  SpoolingSink(TextSink& connection, Spool& spool, bool keepComposing)
      : connection_(&connection), spool_(spool), keepComposing_(keepComposing) {}

  void sendText(std::string_view text) override {
    spool_.write(text);
    if (!connection_) return;
    try {
      connection_->sendText(text);
    } catch (const RunFailure& failure) {
      if (!keepComposing_) throw;
      failure_ = failure;
      connection_ = nullptr;
    }
  }

  // Throws what broke the connection while the message was being written, if anything.
  void rethrow() const {
    if (failure_) throw *failure_;
  }

 private:
  TextSink* connection_;
  Spool& spool_;
  bool keepComposing_;
  std::optional<RunFailure> failure_;
};

// Counts the bytes on their way to the connection, for the log.
class CountingSink final : public TextSink {
 public:
  explicit CountingSink(TextSink& next) : next_(next) {}
  void sendText(std::string_view text) override {
    next_.sendText(text);
    count += text.size();
  }
  std::uint64_t count = 0;

 private:
  TextSink& next_;
};

bool isTemporary(const std::optional<Reply>& reply) {
  return reply && reply->wellFormed() && reply->first() == '4';
}

class Delivery {
 public:
  Delivery(const JobSettings& settings, DeliveryPlan plan, const Secret* secret, std::ostream& out,
           Trace* trace)
      : settings_(settings), plan_(std::move(plan)), secret_(secret), out_(out), trace_(trace) {
    // The addresses live in the outcome alone: a list may hold many thousands.
    outcome_.recipients.reserve(plan_.recipients.size());
    for (std::size_t i = 0; i < plan_.recipients.size(); ++i) {
      outcome_.recipients.push_back({std::move(plan_.recipients[i]), false, std::nullopt});
      pending_.push_back(i);
    }
    plan_.recipients = {};
  }

  DeliveryOutcome run() {
    int delay = std::max(settings_.retryDelaySeconds, 0);
    for (attempt_ = 1;; ++attempt_) {
      try {
        attemptDelivery();
        return std::move(outcome_);
      } catch (const RunFailure& failure) {
        if (!mayRetry(failure)) {
          fail(failure);
          return std::move(outcome_);
        }
        out_ << "Temporary failure at server (" << printable(settings_.server)
             << "), retrying in " << delay << " seconds (attempt " << attempt_ << " of "
             << settings_.retries << ")\n";
        out_.flush();
        std::this_thread::sleep_for(std::chrono::seconds(delay));
        delay = std::min(delay * 2, kLongestRetryDelay);
      }
    }
  }

 private:
  const std::string& address(std::size_t index) const { return outcome_.recipients[index].address; }

  bool retriesLeft() const { return attempt_ <= settings_.retries; }

  bool mayRetry(const RunFailure& failure) const {
    return failure.temporary && !failure.maybeDelivered && retriesLeft() &&
           !pending_.empty() && (!composed_ || (spool_ && spool_->complete));
  }

  void fail(const RunFailure& failure) {
    outcome_.failed = true;
    outcome_.temporary = failure.temporary;
    outcome_.failureMessage = failure.message;
    outcome_.failureReason = failure.reason;
    out_ << failure.message;
    // When some got it, say who did not.
    if (outcome_.deliveredCount() > 0) {
      for (std::size_t index : pending_) out_ << recipientFailure(address(index));
    }
    out_.flush();
  }

  // One connection: the session, then transactions until every recipient is settled.
  void attemptDelivery() {
    Session session = openSession(settings_, TimeLimits::withOverride(settings_.timeoutSeconds),
                                  secret_, events_, trace_);
    outcome_.tls = session.tls;
    outcome_.tlsVerified = session.tls.has_value() && settings_.tlsVerify;
    try {
      refuseOversizedMessage(session);
      while (!pending_.empty()) transaction(session);
    } catch (const RunFailure& failure) {
      if (failure.end == SessionEnd::kQuit) session.connection.quit();
      throw;
    }
    session.connection.quit();
  }

  std::optional<std::uint64_t> messageSize() const {
    if (spool_ && spool_->complete) return spool_->size();
    return plan_.estimatedSize;
  }

  void refuseOversizedMessage(const Session& session) {
    const ServerCapabilities& offered = session.capabilities;
    std::optional<std::uint64_t> size = messageSize();
    if (!offered.size || offered.sizeLimit == 0 || !size || *size <= offered.sizeLimit) return;
    throw RunFailure{"Message of about " + std::to_string(*size) + " bytes is larger than server (" +
                         session.connection.server() + ") accepts (" +
                         std::to_string(offered.sizeLimit) + " bytes)\n",
                     SessionEnd::kQuit};
  }

  MailParameters parametersFor(const Session& session,
                               std::span<const std::string_view> batch) const {
    const ServerCapabilities& offered = session.capabilities;
    MailParameters parameters;
    if (offered.size) parameters.size = messageSize();
    parameters.eightBitMime = offered.eightBitMime;
    bool international = isInternationalAddress(settings_.senderAddress) ||
                         std::any_of(batch.begin(), batch.end(), isInternationalAddress);
    parameters.smtpUtf8 = offered.smtpUtf8 && international;
    if (isInternationalAddress(settings_.senderAddress) && !offered.smtpUtf8) {
      throw RunFailure{senderFailure(settings_.senderAddress), SessionEnd::kQuit};
    }
    return parameters;
  }

  void transaction(Session& session) {
    std::size_t count = pending_.size();
    if (settings_.maxRecipients > 0) {
      count = std::min(count, static_cast<std::size_t>(settings_.maxRecipients));
    }
    std::vector<std::size_t> batch(pending_.begin(), pending_.begin() + count);
    const std::int64_t started = platform::monotonicMillis();
    std::vector<std::string_view> addresses;
    for (std::size_t index : batch) addresses.push_back(address(index));
    std::vector<RecipientResult> results =
        sendEnvelope(session.connection, settings_.senderAddress,
                     parametersFor(session, addresses), addresses, session.capabilities.pipelining);

    std::vector<std::size_t> accepted, refused, deferred;
    for (std::size_t i = 0; i < batch.size(); ++i) {
      outcome_.recipients[batch[i]].reply = results[i].reply;
      switch (results[i].state) {
        case RecipientState::kAccepted:
          accepted.push_back(batch[i]);
          break;
        case RecipientState::kRefused:
          refused.push_back(batch[i]);
          break;
        case RecipientState::kDeferred:
          deferred.push_back(batch[i]);
          break;
      }
    }
    TransactionRecord record;
    record.accepted = accepted.size();
    record.refused = refused.size();
    record.deferred = deferred.size();
    outcome_.transactions.push_back(std::move(record));
    if (accepted.empty()) refuseTransaction(batch, refused, deferred, results);
    for (std::size_t index : refused) out_ << recipientFailure(address(index));
    out_.flush();
    bool moreToCome = !deferred.empty() || pending_.size() > batch.size();
    settle(refused);

    sendData(session.connection);
    CountingSink counter(session.connection);
    bool endedLine = sendMessage(session, counter, moreToCome);
    outcome_.transactions.back().bytes = counter.count;
    Reply reply = endMessage(session.connection, endedLine);
    outcome_.transactions.back().dataReply = reply;
    outcome_.transactions.back().millis = platform::monotonicMillis() - started;
    settle(accepted);
    for (std::size_t index : accepted) outcome_.recipients[index].delivered = true;
    outcome_.dataReply = reply;
  }

  // No recipient of this transaction was accepted. When every refusal was temporary the
  // whole transaction may be tried again later; otherwise the refusals are final.
  [[noreturn]] void refuseTransaction(const std::vector<std::size_t>& batch,
                                      const std::vector<std::size_t>& refused,
                                      const std::vector<std::size_t>& deferred,
                                      const std::vector<RecipientResult>& results) {
    bool allTemporary = !results.empty() && std::all_of(results.begin(), results.end(),
                                                        [](const RecipientResult& result) {
                                                          return isTemporary(result.reply);
                                                        });
    if (!allTemporary || !retriesLeft()) {
      for (std::size_t index : refused) out_ << recipientFailure(address(index));
      for (std::size_t index : deferred) out_ << recipientFailure(address(index));
      settle(batch);
    }
    throw RunFailure{kNoRecipients, SessionEnd::kQuit, allTemporary};
  }

  // These recipients need no further transaction.
  void settle(const std::vector<std::size_t>& done) {
    std::erase_if(pending_, [&done](std::size_t index) {
      return std::find(done.begin(), done.end(), index) != done.end();
    });
  }

  // The message for this transaction; returns whether the data ended a line.
  bool sendMessage(Session& session, TextSink& connection, bool moreToCome) {
    if (composed_) {
      if (!spool_ || !spool_->complete) throw RunFailure{"The message cannot be sent again\n"};
      spool_->replay(connection);
      return spool_->endedLine;
    }
    composed_ = true;
    // Later transactions (recipients still waiting) and later attempts replay the spool.
    bool needsSpool = settings_.retries > 0 || moreToCome;
    if (!needsSpool) return plan_.writeMessage(connection, session.capabilities);
    spool_.emplace(Spool::create());
    SpoolingSink sink(connection, *spool_, settings_.retries > 0);
    spool_->endedLine = plan_.writeMessage(sink, session.capabilities);
    spool_->complete = true;
    sink.rethrow();
    return spool_->endedLine;
  }

  const JobSettings& settings_;
  DeliveryPlan plan_;
  const Secret* secret_;
  std::ostream& out_;
  Trace* trace_;
  SessionEvents events_;
  DeliveryOutcome outcome_;
  std::vector<std::size_t> pending_;  // recipients not yet settled, in sending order
  std::optional<Spool> spool_;
  bool composed_ = false;  // the input has been read into a message
  int attempt_ = 1;
};

}  // namespace

std::size_t DeliveryOutcome::deliveredCount() const {
  return static_cast<std::size_t>(std::count_if(recipients.begin(), recipients.end(),
                                                [](const RecipientOutcome& r) { return r.delivered; }));
}

int DeliveryOutcome::exitStatus() const {
  std::size_t delivered = deliveredCount();
  if (delivered == 0) return 1;
  return delivered == recipients.size() ? 0 : 2;
}

DeliveryOutcome deliver(const JobSettings& settings, DeliveryPlan plan, const Secret* secret,
                        std::ostream& out, Trace* trace) {
  return Delivery(settings, std::move(plan), secret, out, trace).run();
}

}  // namespace larkpost
