// A message goes out once per transaction, byte for byte the same: the first time it is
// written from the input, and, when a later transaction or attempt may need it, kept in
// a spool file (nameless, owner-only) that they replay. The input is read once.
#include "smtp/delivery.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <new>
#include <thread>

#include "core/printable.h"
#include "core/run_failure.h"
#include "platform/platform.h"
#include "smtp/dialogue.h"
#include "smtp/session.h"

namespace larkpost {
namespace {

constexpr const char* kNoRecipients = "\nNo valid recpients.\n";
constexpr const char* kNotSmtp = "Server error or not SMTP Server\n";
constexpr int kLongestRetryDelay = 15 * 60;
constexpr std::size_t kReplayBlock = 64 * 1024;

// The message's wire bytes as first sent.
class Spool {
 public:
  explicit Spool(platform::File file) : file_(std::move(file)) {}

  // The spool, or std::nullopt with the reason in `error`.
  static std::optional<Spool> create(std::string& error) {
    std::optional<platform::File> file = platform::createTemporaryFile("lkp", error);
    if (!file) return std::nullopt;
    return Spool(std::move(*file));
  }

  // False once a write failed (a full disk): the spool holds no whole message then.
  bool write(std::string_view bytes) {
    if (broken_ || !file_.write(bytes)) return !(broken_ = true);
    size_ += bytes.size();
    eightBit_ = eightBit_ || std::any_of(bytes.begin(), bytes.end(), [](char c) {
                  return static_cast<unsigned char>(c) >= 0x80;
                });
    return true;
  }

  // Some byte is above 0x7F: only a server offering 8BITMIME may be sent it.
  bool eightBit() const { return eightBit_; }

  bool broken() const { return broken_; }

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
  bool broken_ = false;
  bool eightBit_ = false;
};

// Sends to the connection and keeps a copy in the spool. When `keepComposing`, a broken
// connection does not stop the copy, so that a later attempt has the whole message.
class SpoolingSink final : public TextSink {
 public:
  SpoolingSink(TextSink& connection, Spool& spool, bool keepComposing)
      : connection_(&connection), spool_(spool), keepComposing_(keepComposing) {}

  void sendText(std::string_view text) override {
    // A spool that cannot be written costs the later transactions, not this one.
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

bool isTemporary(const Reply& reply) { return reply.wellFormed() && reply.first() == '4'; }

SessionEnd endAfter(const Reply& reply) {
  return reply.closing() ? SessionEnd::kDrop : SessionEnd::kQuit;
}

// The delay before the attempt after one that waited `delay` seconds: a first delay of
// 0 still backs off.
int nextDelay(int delay) { return std::clamp(delay * 2, 1, kLongestRetryDelay); }

class Delivery {
 public:
  Delivery(const JobSettings& settings, DeliveryPlan plan, const Secret* secret, std::ostream& out,
           Trace* trace)
      : settings_(settings), plan_(std::move(plan)), secret_(secret), out_(out), trace_(trace) {
    // The addresses live in the outcome alone: a list may hold many thousands.
    outcome_.recipients.reserve(plan_.recipients.size());
    for (std::size_t i = 0; i < plan_.recipients.size(); ++i) {
      outcome_.recipients.emplace_back();
      outcome_.recipients.back().address = std::move(plan_.recipients[i]);
      pending_.push_back(i);
    }
    plan_.recipients = {};
  }

  DeliveryOutcome run() {
    prepareSpool();
    int delay = retryDelay(settings_.retryDelaySeconds);
    for (attempt_ = 1;; ++attempt_) {
      std::optional<RunFailure> failure = attempt();
      if (!failure && later_.empty()) break;
      // Recipients refused for now are a temporary failure of the attempt.
      if (!failure) failure = RunFailure{"", SessionEnd::kQuit, true};
      if (!mayRetry(*failure)) {
        fail(*failure);
        break;
      }
      out_ << "Temporary failure at server (" << printable(settings_.server)
           << "), retrying in " << delay << " seconds (attempt " << attempt_ << " of "
           << settings_.retries << ")\n";
      out_.flush();
      std::this_thread::sleep_for(std::chrono::seconds(delay));
      delay = nextDelay(delay);
      named_.reset();
      takeBackLater();
    }
    // Trying again may help those refused for now, unless somebody may have the message.
    bool refusedForNow = std::any_of(
        outcome_.recipients.begin(), outcome_.recipients.end(),
        [](const RecipientOutcome& r) { return r.status == RecipientStatus::kTemporary; });
    outcome_.temporary = refusedForNow && !outcome_.unknown();
    if (refusedForNow) outcome_.failed = true;
    if (outcome_.deliveredCount() == 0 && !outcome_.unknown() && !failedLoudly_) {
      out_ << kNoRecipients;
      out_.flush();
      outcome_.failed = true;
    }
    return std::move(outcome_);
  }

 private:
  RecipientOutcome& recipient(std::size_t index) { return outcome_.recipients[index]; }
  const std::string& address(std::size_t index) const { return outcome_.recipients[index].address; }

  bool retriesLeft() const { return attempt_ <= settings_.retries; }

  bool mayRetry(const RunFailure& failure) const {
    return failure.temporary && !failure.maybeDelivered && !outcome_.unknown() && retriesLeft() &&
           (!pending_.empty() || !later_.empty()) && (!composed_ || (spool_ && spool_->complete));
  }

  // The next attempt tries everyone still unsettled, in sending order.
  void takeBackLater() {
    pending_.insert(pending_.end(), later_.begin(), later_.end());
    later_.clear();
    std::sort(pending_.begin(), pending_.end());
  }

  // One connection; returns what ended it early, if anything. Whatever is thrown, every
  // recipient is left either settled or unsettled, never half way.
  std::optional<RunFailure> attempt() {
    try {
      attemptDelivery();
      return std::nullopt;
    } catch (const RunFailure& failure) {
      return failure;
    } catch (const std::bad_alloc&) {
      return RunFailure{"Out of memory\n"};
    } catch (const std::exception& error) {
      return RunFailure{"Internal error (" + printable(error.what()) + ")\n"};
    }
  }

  void fail(const RunFailure& failure) {
    bool quietly = failure.message.empty();  // only recipients refused for now
    outcome_.failed = true;
    outcome_.temporary = failure.temporary;
    outcome_.failureMessage = failure.message;
    outcome_.failureCause = failure.cause;
    if (!failure.reason.empty()) outcome_.failureReason = failure.reason;
    out_ << failure.message;
    if (!quietly) failedLoudly_ = true;
    // Who did not get it: those refused for now always, the others when some got it.
    bool nameAll = quietly || outcome_.deliveredCount() > 0;
    takeBackLater();
    for (std::size_t index : pending_) {
      RecipientOutcome& entry = recipient(index);
      bool refusedForNow = entry.reply.has_value() && !entry.transaction;  // by its RCPT
      if ((nameAll || refusedForNow) && index != named_) out_ << recipientFailure(entry.address);
      entry.status = failure.temporary ? RecipientStatus::kTemporary : RecipientStatus::kRefused;
    }
    pending_.clear();
    if (outcome_.unknown()) {
      out_ << "The server may have the message: its reply to the end of the data never came\n";
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
      outcome_.failureReply = session.connection.lastReply();
      if (failure.end == SessionEnd::kQuit) session.connection.quit();
      throw;
    }
    session.connection.quit();
  }

  std::optional<std::uint64_t> exactSize() const {
    if (spool_ && spool_->complete) return spool_->size();
    return std::nullopt;
  }

  void refuseOversizedMessage(const Session& session) {
    const ServerCapabilities& offered = session.capabilities;
    std::uint64_t size = exactSize().value_or(plan_.sizeAtLeast);
    if (!offered.size || offered.sizeLimit == 0 || size <= offered.sizeLimit) return;
    throw RunFailure{"Message of about " + std::to_string(size) + " bytes is larger than server (" +
                         session.connection.server() + ") accepts (" +
                         std::to_string(offered.sizeLimit) + " bytes)\n",
                     SessionEnd::kQuit};
  }

  MailParameters parametersFor(const Session& session, std::span<const std::string_view> batch) {
    const ServerCapabilities& offered = session.capabilities;
    MailParameters parameters;
    // Never below the real size; never above the limit when the message may still fit.
    std::optional<std::uint64_t> size = exactSize();
    if (!size && plan_.sizeAtMost &&
        (offered.sizeLimit == 0 || *plan_.sizeAtMost <= offered.sizeLimit)) {
      size = plan_.sizeAtMost;
    }
    if (offered.size) parameters.size = size;
    parameters.eightBitMime = offered.eightBitMime;
    // A replay goes by what this connection offers: the first server's offer shaped the
    // message, and a later one may offer less.
    if (exactSize() && spool_->eightBit() && !offered.eightBitMime) {
      throw RunFailure{"Server (" + session.connection.server() +
                           ") does not offer 8BITMIME, which the message needs\n",
                       SessionEnd::kQuit};
    }
    bool international = plan_.internationalHeader ||
                         isInternationalAddress(settings_.senderAddress) ||
                         std::any_of(batch.begin(), batch.end(), isInternationalAddress);
    parameters.smtpUtf8 = offered.smtpUtf8 && international;
    if (isInternationalAddress(settings_.senderAddress) && !offered.smtpUtf8) {
      throw RunFailure{senderFailure(settings_.senderAddress), SessionEnd::kQuit};
    }
    parameters.dsn = dsnFor(session);
    return parameters;
  }

  // What DSN asks of this server; a server without it is named once a run.
  std::optional<DsnRequest> dsnFor(const Session& session) {
    if (!settings_.dsnAsked()) return std::nullopt;
    outcome_.dsnOffered = session.capabilities.dsn;
    if (session.capabilities.dsn) {
      return DsnRequest{settings_.dsnNotify, settings_.dsnReturn, settings_.dsnEnvid};
    }
    std::string server = printable(settings_.server);
    if (settings_.dsnRequired) {
      throw RunFailure{"Server (" + server + ") does not offer DSN, message not sent\n",
                       SessionEnd::kQuit};
    }
    if (!dsnMissingSaid_) {
      out_ << "Server (" << server << ") does not offer DSN, sending without it\n";
      out_.flush();
      dsnMissingSaid_ = true;
    }
    return std::nullopt;
  }

  void transaction(Session& session) {
    // Never begin a transaction that could not be finished.
    if (composed_ && !(spool_ && spool_->complete)) {
      throw RunFailure{"The message cannot be sent again\n", SessionEnd::kQuit, true};
    }
    std::size_t count = pending_.size();
    if (settings_.maxRecipients > 0) {
      count = std::min(count, static_cast<std::size_t>(settings_.maxRecipients));
    }
    std::vector<std::size_t> batch(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    const std::int64_t started = platform::monotonicMillis();
    std::vector<std::string_view> addresses;
    addresses.reserve(batch.size());
    for (std::size_t index : batch) addresses.push_back(address(index));
    std::optional<RunFailure> interrupted;
    std::vector<RecipientResult> results =
        sendEnvelope(session.connection, settings_.senderAddress, parametersFor(session, addresses),
                     addresses, session.capabilities.pipelining, &interrupted);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    std::vector<std::size_t> deferred;
    inFlight_.clear();
    for (std::size_t i = 0; i < batch.size(); ++i) {
      RecipientOutcome& entry = recipient(batch[i]);
      switch (results[i].state) {
        case RecipientState::kAccepted:
          inFlight_.push_back(batch[i]);
          break;
        case RecipientState::kRefused:
          entry.status = RecipientStatus::kRefused;
          entry.reply = std::move(results[i].reply);
          entry.transaction.reset();
          out_ << recipientFailure(entry.address);
          break;
        case RecipientState::kTemporary:
          entry.reply = std::move(results[i].reply);
          entry.transaction.reset();
          if (entry.reply->closing()) {
            named_ = batch[i];  // the failure's message names it
          } else if (!retriesLeft()) {
            entry.status = RecipientStatus::kTemporary;  // no attempt left to try it again
            out_ << recipientFailure(entry.address);
            break;
          }
          later_.push_back(batch[i]);
          break;
        case RecipientState::kDeferred:
          deferred.push_back(batch[i]);
          break;
      }
    }
    TransactionRecord& record = outcome_.transactions.emplace_back();
    record.accepted = inFlight_.size();
    for (const RecipientResult& result : results) {
      if (result.state == RecipientState::kRefused) ++record.refused;
      if (result.state == RecipientState::kTemporary) ++record.deferred;
    }
    out_.flush();
    pending_.insert(pending_.begin(), deferred.begin(), deferred.end());
    if (interrupted) {
      putBack(inFlight_);
      inFlight_.clear();
      throw *interrupted;
    }
    if (inFlight_.empty()) {
      // Nobody to send to in this one; the next one starts afresh.
      if (!pending_.empty()) reset(session.connection);
      return;
    }
    sendToAccepted(session, started);
  }

  // DATA, the message and its end for the recipients accepted in this transaction, each
  // settled by the reply to the end (or unknown when none came).
  // `started` is when the transaction's first recipient was given, for the log.
  void sendToAccepted(Session& session, std::int64_t started) {
    bool afterEnd = false;
    TransactionRecord& record = outcome_.transactions.back();
    try {
      sendData(session.connection);
      CountingSink counter(session.connection);
      bool endedLine = sendMessage(session, counter);
      record.bytes = counter.count;
      afterEnd = record.dataEnded = true;
      Reply reply = endMessage(session.connection, endedLine);
      record.millis = platform::monotonicMillis() - started;
      record.dataReply = reply;
      outcome_.dataReplies.push_back(reply);
      auto transaction = static_cast<std::uint32_t>(outcome_.dataReplies.size() - 1);
      for (std::size_t index : inFlight_) {
        RecipientOutcome& entry = recipient(index);
        entry.reply.reset();
        entry.transaction = transaction;
        if (reply.accepted()) entry.status = RecipientStatus::kDelivered;
      }
      if (reply.accepted()) {
        inFlight_.clear();
        return;
      }
      // Unsettled still: the failure settles them, for good or for now as it says.
      throw RunFailure{"Server did not accept the message\n", endAfter(reply), isTemporary(reply)};
    } catch (const RunFailure& failure) {
      settleInFlight(failure.maybeDelivered);
      throw;
    } catch (const std::exception&) {
      settleInFlight(afterEnd);
      throw;
    }
  }

  // After a failure in the transaction: unknown when the end went out, else unsettled.
  void settleInFlight(bool maybeDelivered) {
    if (maybeDelivered) {
      for (std::size_t index : inFlight_) recipient(index).status = RecipientStatus::kUnknown;
    } else {
      putBack(inFlight_);
    }
    inFlight_.clear();
  }

  void putBack(const std::vector<std::size_t>& unsettled) {
    pending_.insert(pending_.begin(), unsettled.begin(), unsettled.end());
  }

  // Ends a transaction that took nobody, so that the next MAIL starts a new one.
  void reset(SmtpConnection& connection) {
    if (connection.garbled()) throw RunFailure{kNotSmtp};
    Reply reply = connection.command("RSET\r\n", connection.limits().command);
    if (!reply.accepted()) throw RunFailure{kNotSmtp, endAfter(reply), isTemporary(reply)};
  }

  // The message for this transaction; returns whether the data ended a line.
  bool sendMessage(Session& session, TextSink& connection) {
    if (composed_) {
      if (!spool_ || !spool_->complete) throw RunFailure{"The message cannot be sent again\n"};
      spool_->replay(connection);
      return spool_->endedLine;
    }
    composed_ = true;
    if (!spool_) return plan_.writeMessage(connection, session.capabilities);
    SpoolingSink sink(connection, *spool_, settings_.retries > 0);
    spool_->endedLine = plan_.writeMessage(sink, session.capabilities);
    spool_->complete = !spool_->broken();
    if (spool_->broken()) {
      out_ << "Could not write the message's spool file: it cannot be sent again\n";
      out_.flush();
    }
    sink.rethrow();
    return spool_->endedLine;
  }

  // Later transactions (a recipient limit) and later attempts replay the spool, made
  // before connecting: without one the message still goes out, once.
  void prepareSpool() {
    if (settings_.retries == 0 && pending_.size() < 2) return;
    std::string error;
    spool_ = Spool::create(error);
    if (!spool_) {
      out_ << "Could not create a temporary file: " << error
           << "; the message can be sent only once, without retries\n";
      out_.flush();
    }
  }

  static int retryDelay(int seconds) { return std::clamp(seconds, 0, kLongestRetryDelay); }

  const JobSettings& settings_;
  DeliveryPlan plan_;
  const Secret* secret_;
  std::ostream& out_;
  Trace* trace_;
  SessionEvents events_;
  DeliveryOutcome outcome_;
  std::deque<std::size_t> pending_;   // to try on this connection, in sending order
  std::vector<std::size_t> later_;    // refused for now: for the next attempt
  std::vector<std::size_t> inFlight_; // accepted in the transaction under way
  std::optional<std::size_t> named_;  // the recipient the failure message names
  std::optional<Spool> spool_;
  bool composed_ = false;  // the input has been read into a message
  bool failedLoudly_ = false;
  bool dsnMissingSaid_ = false;
  int attempt_ = 1;
};

}  // namespace

std::size_t DeliveryOutcome::deliveredCount() const {
  return static_cast<std::size_t>(std::count_if(recipients.begin(), recipients.end(),
                                                [](const RecipientOutcome& r) { return r.delivered(); }));
}

bool DeliveryOutcome::unknown() const {
  return std::any_of(recipients.begin(), recipients.end(), [](const RecipientOutcome& r) {
    return r.status == RecipientStatus::kUnknown;
  });
}

const Reply* DeliveryOutcome::replyOf(const RecipientOutcome& recipient) const {
  if (recipient.transaction) return &dataReplies[*recipient.transaction];
  return recipient.reply ? &*recipient.reply : nullptr;
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
