// The order of a run. Everything that can be refused is refused before connecting: the
// input's header is read and the recipients gathered first. Every fatal condition below
// is a RunFailure, caught here once: its message is printed and the session with the
// server ends as the failure asks.
#include "invocation/run.h"

#include <new>
#include <optional>
#include <random>
#include <sstream>
#include <unordered_set>
#include <vector>

#include "core/byte_source.h"
#include "compose/data_writer.h"
#include "compose/header_fields.h"
#include "core/line_reader.h"
#include "compose/message_stream.h"
#include "headerscan/header_scan.h"
#include "invocation/check.h"
#include "invocation/credentials.h"
#include "invocation/dry_run.h"
#include "invocation/options.h"
#include "invocation/private_file_stream.h"
#include "core/printable.h"
#include "invocation/report.h"
#include "invocation/run_log.h"
#include "core/run_failure.h"
#include "invocation/settings.h"
#include "oauth/oauth_client.h"
#include "platform/platform.h"
#include "platform/tls.h"
#include "smtp/delivery.h"
#include "smtp/dialogue.h"
#include "smtp/recipient_list.h"
#include "smtp/session.h"
#include "smtp/smtp_connection.h"

namespace larkpost {
namespace {

constexpr const char* kBanner = "\nLarkpost v1.0 mailer for WIN32 (95/NT)\n";
constexpr const char* kRecipientsNeeded = "Not enough arguments, recipients needed\n\n";
constexpr const char* kStdinFailed = "Could not read standard input, message not sent\n";
constexpr const char* kNoRecipients = "\nNo valid recpients.\n";

// What the run has gathered before it connects.
struct PreparedJob {
  JobSettings settings;
  std::vector<std::string> commandLineRecipients;  // last argument first
  HeaderScan inputHeader;                          // when read ahead of the body
  std::vector<std::string> recipients;
  Trace* trace = nullptr;
  RunRecord record;     // for the report and the log
  std::string failure;  // the message the run ended with, for the log
  // A front end's: recipients mapped one by one, and -t adding to the command line's.
  std::function<std::vector<std::string>(const std::string&)> expandRecipient;
  bool headerAddsRecipients = false;
  bool headerNamesSender = true;  // -t takes the envelope sender from From
  std::string messageIdField;     // when made ahead of the message (for DSN's ENVID)
  std::ostream* standardOutput = nullptr;  // where a report to "-" goes
  std::ostream* standardError = nullptr;   // for what scripts do not read on standard output (none: left out)
};

// The run's messages before it knows where they go: with --report=- standard output
// carries the report alone and the messages go to standard error, the banner included.
class HeldOutput final : public std::streambuf {
 public:
  // Sends what was held to `target` and everything from now on.
  void release(std::streambuf* target) {
    if (target_) return;
    target_ = target;
    target_->sputn(held_.data(), static_cast<std::streamsize>(held_.size()));
    held_.clear();
  }

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }
  std::streamsize xsputn(const char* bytes, std::streamsize count) override {
    if (target_) return target_->sputn(bytes, count);
    held_.append(bytes, static_cast<std::size_t>(count));
    return count;
  }
  int sync() override { return target_ ? target_->pubsync() : 0; }

 private:
  std::string held_;
  std::streambuf* target_ = nullptr;
};

// Where the run writes: its messages (held until the options are read) and the
// standard streams they end up on.
struct RunOutput {
  HeldOutput held;
  std::ostream& standardOutput;
  std::ostream& standardError;

  void settle(const JobSettings& settings) {
    std::ostream& target = settings.reportPath == "-" ? standardError : standardOutput;
    held.release(target.rdbuf());
  }
};

void readInputHeader(PreparedJob& job, LineReader& input) {
  // The sendmail mode takes Bcc fields out with or without -t: they are never for readers.
  bool takeRecipients = job.settings.parseHeader || job.settings.completesHeader;
  job.inputHeader = scanHeader(input, takeRecipients, kMaxHeaderBytes, job.settings.fullStopEnds);
  if (job.inputHeader.tooLarge) {
    throw RunFailure{"Message header is longer than 1 MiB, message not sent\n"};
  }
  if (job.inputHeader.inputFailed) throw localFailure(FailureCause::kLocalInput, kStdinFailed);
  if (job.inputHeader.sender && job.headerNamesSender) {
    job.settings.senderAddress = *job.inputHeader.sender;
  }
}

std::vector<std::string> checkedList(std::optional<RecipientListRead> read,
                                     const std::string& shownPath) {
  if (!read) return {};  // a list that cannot be opened names nobody
  if (read->failed) throw RunFailure{"Could not read the list file '" + shownPath + "'\n"};
  return std::move(read->addresses);
}

// Under -t the header's recipients go through a temporary list file, read back like
// any list. The file has no name anyone could open, and is gone when the run ends.
std::vector<std::string> headerRecipients(const std::vector<std::string>& addresses) {
  std::string error;
  std::optional<platform::File> list = platform::createTemporaryFile("lkp", error);
  if (!list) throw RunFailure{"Could not create a temporary file: " + error + "\n"};
  if (!writeRecipientList(*list, addresses)) {
    throw RunFailure{"Could not write the temporary list file\n"};
  }
  FileSource source(*list);
  // The header's addresses are bare, and one may begin with '#'.
  return checkedList(readRecipientList(source, ListForm::kPlain), "temporary list");
}

std::vector<std::string> listedRecipients(const PreparedJob& job) {
  const JobSettings& settings = job.settings;
  if (settings.parseHeader && job.headerAddsRecipients) {
    std::vector<std::string> both = job.commandLineRecipients;
    std::vector<std::string> header = headerRecipients(job.inputHeader.recipients);
    both.insert(both.end(), header.begin(), header.end());
    return both;
  }
  if (settings.parseHeader) return headerRecipients(job.inputHeader.recipients);
  if (settings.useList) {
    return checkedList(readRecipientFile(settings.listPath), printable(settings.listPath));
  }
  return job.commandLineRecipients;
}

// The address as compared for sameness: a domain is the same in any case, a local part
// only as written (RFC 5321 2.4).
std::string sameAddressKey(std::string_view address) {
  std::string key(address);
  std::size_t at = key.rfind('@');
  if (at == std::string::npos) return key;
  for (std::size_t i = at + 1; i < key.size(); ++i) {
    if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<char>(key[i] - 'A' + 'a');
  }
  return key;
}

// The recipients in sending order, each once, as first written.
std::vector<std::string> gatherRecipients(const PreparedJob& job) {
  std::vector<std::string> recipients = listedRecipients(job);
  if (job.expandRecipient) {
    std::vector<std::string> expanded;
    for (const std::string& address : recipients) {
      std::vector<std::string> those = job.expandRecipient(address);
      expanded.insert(expanded.end(), those.begin(), those.end());
    }
    recipients = std::move(expanded);
  }
  std::unordered_set<std::string> seen;
  seen.reserve(recipients.size());
  std::erase_if(recipients, [&seen](const std::string& address) {
    return !seen.insert(sameAddressKey(address)).second;
  });
  return recipients;
}

// Nothing unsafe is ever sent: these are refused before connecting.
void checkEnvelopeNames(const JobSettings& settings) {
  if (!isSendableDomain(settings.domain)) {
    throw localFailure(FailureCause::kSettings,
                       "Invalid domain (" + printable(settings.domain) + ")\n");
  }
  if (!isSendableAddress("MAIL FROM:<", settings.senderAddress)) {
    throw RunFailure{"Error sending mail from user [" + printable(settings.senderAddress) +
                     "]\n"};
  }
}

// "<id@domain>" out of "Message-ID: <id@domain>\r\n".
std::string messageIdOf(const std::string& field) {
  std::size_t start = field.find('<');
  std::size_t end = field.find('>', start);
  return start == std::string::npos || end == std::string::npos
             ? std::string()
             : field.substr(start, end - start + 1);
}

// The envelope's identifier when none is given: the message's own Message-ID, without
// its brackets, whether the input has one or Larkpost writes it; none when unknown.
std::string defaultEnvid(PreparedJob& job) {
  if (readsHeaderAhead(job.settings)) {
    for (const HeaderField& field : job.inputHeader.header.fields) {
      if (!sameFieldName(field.name, "Message-ID")) continue;
      std::string id = messageIdOf(field.text);
      return id.size() > 2 ? id.substr(1, id.size() - 2) : std::string();
    }
  }
  if (!job.settings.emitHeader && !job.settings.completesHeader) return {};
  std::random_device entropy;
  job.messageIdField = messageIdField(platform::localTimeNow(), platform::processId(), entropy(),
                                      job.settings.domain);
  std::string id = messageIdOf(job.messageIdField);
  return id.substr(1, id.size() - 2);
}

MessageFrame makeFrame(const PreparedJob& job) {
  platform::LocalTime now = platform::localTimeNow();
  std::random_device entropy;
  MessageFrame frame;
  if (readsHeaderAhead(job.settings)) {
    frame.inputHeader = &job.inputHeader.header;
    frame.headerEnd = job.inputHeader.end;
  }
  frame.dateField = dateField(now);
  frame.messageIdField = job.messageIdField.empty() ? messageIdField(now, platform::processId(),
                                                                     entropy(), job.settings.domain)
                                                    : job.messageIdField;
  frame.boundary = makeBoundary(entropy);
  return frame;
}

// base64 of `bytes` bytes, without and with its line ends (CR LF after each 72).
std::uint64_t base64Size(std::uint64_t bytes) { return (bytes + 2) / 3 * 4; }
std::uint64_t base64LinesSize(std::uint64_t bytes) {
  return base64Size(bytes) + (base64Size(bytes) / 72 + 1) * 2;
}

// What can be told of the message's size before it is written. At least: the attachments
// in base64 (the input may end early, at a line holding a full stop). At most, when the
// input is a file: each input byte twice (a line end gains a CR, a line's first dot
// another), the fields the program writes, and the parts.
void boundSize(const JobSettings& settings, DeliveryPlan& plan) {
  constexpr std::uint64_t kFieldsAllowance = 4096;
  constexpr std::uint64_t kPartAllowance = 512;
  std::optional<std::uint64_t> input = platform::standardInputSize();
  std::optional<std::uint64_t> most;
  if (input) {
    // An encoded word takes at most three bytes a byte, with its own framing.
    most = *input * 2 + kFieldsAllowance +
           3 * (settings.subject.size() + settings.senderName.size() +
                settings.senderAddress.size() + settings.domain.size() + settings.charset.size());
  }
  for (const Attachment* attachment : attachmentsInOrder(settings)) {
    std::optional<std::uint64_t> bytes = attachment->file->size();
    if (!bytes) {
      most.reset();
      continue;
    }
    plan.sizeAtLeast += base64Size(*bytes);
    if (most) *most += base64LinesSize(*bytes) + kPartAllowance + 3 * attachment->name.size();
  }
  plan.sizeAtMost = most;
}

// Writes the message to `sink` as laid out for the wire; returns whether it ended a line.
bool writeMessage(PreparedJob& job, LineReader& input, TextSink& sink,
                  const ServerCapabilities& offered) {
  DataWriter writer(sink);
  MessageFrame frame = makeFrame(job);
  frame.eightBitMime = offered.eightBitMime;
  bool writesMessageId = (job.settings.emitHeader || job.settings.completesHeader) &&
                         !(frame.inputHeader && frame.inputHeader->hasField("Message-ID"));
  if (writesMessageId) job.record.messageId = messageIdOf(frame.messageIdField);
  StreamOutcome streamed = sendMessageStream(job.settings, frame, input, writer);
  if (streamed.result == StreamResult::kInputFailed) {
    throw localFailure(FailureCause::kLocalInput, kStdinFailed);
  }
  if (streamed.result == StreamResult::kAttachmentFailed) {
    throw RunFailure{"Could not read attachment '" + printable(streamed.failedAttachment->path) +
                     "', message not sent\n"};
  }
  return writer.atLineStart();
}

// --dry-run: the envelope, an empty line, then the message as a server that offers no
// extension would get it. Nothing is connected to and no secret is asked for.
int showDryRun(PreparedJob& job, LineReader& input, std::ostream& out) {
  showEnvelope(job.settings, job.recipients, out);
  out << "\n";
  WireEcho echo(out);
  if (!writeMessage(job, input, echo, ServerCapabilities{})) out << "\n";
  out.flush();
  return kExitSent;
}

// From the greeting to the last transaction. Returns the exit status.
int deliver(PreparedJob& job, LineReader& input, std::ostream& out) {
  const JobSettings& settings = job.settings;
  std::optional<Secret> secret = obtainSecret(job.settings);
  WriteMessage writeMessage = [&job, &input](TextSink& sink, const ServerCapabilities& offered) {
    return larkpost::writeMessage(job, input, sink, offered);
  };
  DeliveryPlan plan{std::move(job.recipients), writeMessage, 0, std::nullopt, false};
  boundSize(settings, plan);
  if (readsHeaderAhead(settings)) {
    const std::vector<HeaderField>& fields = job.inputHeader.header.fields;
    plan.internationalHeader = std::any_of(fields.begin(), fields.end(), [](const HeaderField& f) {
      return isInternationalAddress(f.name) || isInternationalAddress(f.text);
    });
  }
  DeliveryOutcome outcome =
      larkpost::deliver(settings, std::move(plan), secret ? &*secret : nullptr, out, job.trace);
  int status = outcome.exitStatus();
  job.record.failed = outcome.failed;
  job.record.temporary = outcome.temporary;
  job.failure = outcome.failureMessage;
  job.record.reason = outcome.failureReason;
  job.record.delivery = std::move(outcome);
  return status;
}

int prepareAndDeliver(PreparedJob& job, std::ostream& out) {
  refusePlaintextPassword(job.settings);
  StandardInput standardInput;
  LineReader input(standardInput);
  input.setFullStopEndsMessage(!job.settings.ignoreDots);
  if (readsHeaderAhead(job.settings)) readInputHeader(job, input);
  job.recipients = gatherRecipients(job);
  if (job.recipients.empty()) throw localFailure(FailureCause::kUsage, kNoRecipients);
  checkEnvelopeNames(job.settings);
  if (job.settings.dsnAsked() && job.settings.dsnEnvid.empty()) {
    job.settings.dsnEnvid = defaultEnvid(job);
  }
  if (job.settings.dryRun) return showDryRun(job, input, out);
  return deliver(job, input, out);
}

// The transcript's destination: standard error for "-", else a private file appended
// to, so that the runs of a cron job stay readable one after the other. Each run begins
// with a line of its own.
std::optional<Trace> openTrace(const JobSettings& settings, std::span<const std::string> args,
                               std::ostream& standardError,
                               std::optional<PrivateFileStream>& file) {
  if (settings.tracePath.empty()) return std::nullopt;
  std::ostream* out = &standardError;
  if (settings.tracePath != "-") {
    file.emplace(settings.tracePath, platform::ExistingFile::kAppend);
    if (!file->isOpen()) {
      throw localFailure(FailureCause::kSettings,
                         "Could not open the trace file '" + printable(settings.tracePath) + "'\n");
    }
    out = &*file;
  }
  Trace trace(*out, settings.traceData);
  trace.event(traceStartLine(platform::localTimeNow(), args));
  return trace;
}

// Whether the report reached its destination whole: checked after flushing and closing,
// where a full disk shows.
bool writeReport(const PreparedJob& job, std::ostream& standardOutput) {
  const std::string& path = job.settings.reportPath;
  if (path == "-") {
    writeReportJson(standardOutput, job.settings, job.record, job.recipients);
    standardOutput.flush();
    return !standardOutput.fail();
  }
  PrivateFileStream file(path);
  if (file.isOpen()) writeReportJson(file, job.settings, job.record, job.recipients);
  file.flush();
  return file.isOpen() && !file.fail();
}

// Delivers, then writes the report (after everything else) whatever the outcome.
int deliverAndReport(PreparedJob& job, std::ostream& out) {
  int status = kExitFailed;
  try {
    status = prepareAndDeliver(job, out);
  } catch (const RunFailure& failure) {
    out << failure.message;
    out.flush();
    job.record.failed = true;
    job.record.temporary = failure.temporary;
    job.failure = failure.message;
    job.record.reason = failure.reason;
    job.record.failureMessage = failure.message;
    job.record.cause = failure.cause;
  }
  if (!job.record.reason.empty()) {
    // Standard output keeps the failure's own line; the system's words go beside it. When
    // the messages go to standard error too (--report=-), the reason starts a line of its own.
    bool sharesTheLine = job.settings.reportPath == "-" && !job.failure.empty() &&
                         job.failure.back() != '\n';
    if (job.standardError) {
      *job.standardError << (sharesTheLine ? "\n" : "") << "Reason: " << job.record.reason << "\n";
      job.standardError->flush();
    }
    if (job.trace) job.trace->event("failed: " + job.record.reason);
  }
  if (!job.settings.dryRun) writeTransactionLog(job.settings, job.record, job.failure, out);
  if (!job.settings.reportPath.empty() && !writeReport(job, *job.standardOutput)) {
    const std::string& path = job.settings.reportPath;
    out << "Could not write the report file '" << (path == "-" ? "-" : printable(path)) << "'\n";
    if (job.record.delivery && job.record.delivery->deliveredCount() > 0) {
      out << "The message was sent all the same; only the report is missing\n";
    }
    out.flush();
    status = kExitFailed;
  }
  return status;
}

// A file that is there but cannot be read ends the run: left out, it would leave the
// recipient without what the sender meant to send.
std::optional<FoundFile> findAttachment(const std::string& path) {
  platform::OpenedFile opened = platform::openRegularFile(path);
  if (opened.failure == platform::OpenedFile::Failure::kNotOpened) {
    throw RunFailure{"Could not read attachment '" + printable(path) + "' (" +
                     printable(opened.error) + "), message not sent\n"};
  }
  if (!opened.file) return std::nullopt;
  return FoundFile{platform::storedFileName(path),
                   std::make_shared<platform::File>(std::move(*opened.file))};
}

// The banner, unless the run is quiet, then what was said before that was known.
void startOutput(std::ostream& out, const std::ostringstream& early, bool quiet) {
  if (!quiet) out << kBanner;
  out << early.str();
  out.flush();
}

// Warnings about the settings file go to standard error, so that standard output stays
// what scripts already read; --check lists them as findings too.
void reportSettingsWarnings(const std::vector<std::string>& warnings, const JobSettings& settings,
                            std::ostream& out, std::ostream& standardError) {
  for (const std::string& warning : warnings) {
    standardError << warning;
    if (settings.check) out << warning;
  }
  standardError.flush();
}

// Where the run's messages go is known once the options are read (--report=- sends them
// to standard error), and so is whether the banner goes out (--quiet).
void settleOutput(RunOutput& output, std::ostream& out, const std::ostringstream& early,
                  const std::vector<std::string>& warnings, const JobSettings& settings) {
  output.settle(settings);
  startOutput(out, early, settings.quiet);
  reportSettingsWarnings(warnings, settings, out, output.standardError);
}

// Every RunFailure ends here.
int runSettled(std::span<const std::string> args, std::ostream& out, RunOutput& output) {
  PreparedJob job;
  job.standardOutput = &output.standardOutput;
  job.standardError = &output.standardError;
  // What the settings and options say comes out after the banner, which a quiet run,
  // known only once they are read, does without.
  std::ostringstream early;
  std::vector<std::string> warnings;
  OptionsOutcome options;
  try {
    std::size_t first = loadSettings(args, job.settings, early, &warnings);
    options = parseOptions(args, first, job.settings, findAttachment, early);
  } catch (const RunFailure&) {
    settleOutput(output, out, early, warnings, job.settings);
    throw;
  }
  settleOutput(output, out, early, warnings, job.settings);
  if (!options.invalid.empty()) throw RunFailure{options.invalid};
  if (options.usageRequested) {
    printUsage(out);
    return kExitFailed;
  }
  if (options.helpRequested) {
    printHelp(out);
    return kExitSent;
  }
  if (options.versionRequested) {
    out << "Larkpost " << LARKPOST_VERSION << "\nTLS: " << platform::tlsBackendVersion() << "\n";
    return kExitSent;
  }
  if (!job.settings.tlsVerify) {
    out << "Warning: TlsVerify=no, the server's certificate is not checked\n";
  }
  std::optional<PrivateFileStream> traceFile;
  std::optional<Trace> trace = openTrace(job.settings, args, output.standardError, traceFile);
  job.trace = trace ? &*trace : nullptr;
  if (job.settings.storePassword) return storePasswordFromConsole(job.settings, out);
  if (job.settings.oauthLogin) {
    oauth::logIn(job.settings, out);
    return kExitSent;
  }
  if (job.settings.check) return checkServer(job.settings, out, job.trace);
  if (!hasRecipientSource(options.firstRecipient, args.size(), job.settings)) {
    out << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  // The last recipient on the command line is sent to first.
  auto recipients = args.subspan(options.firstRecipient);
  job.commandLineRecipients.assign(recipients.rbegin(), recipients.rend());
  return deliverAndReport(job, out);
}

int runWithArguments(std::span<const std::string> args, std::ostream& out, RunOutput& output) {
  if (args.size() < 2) {
    out << kBanner << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  try {
    return runSettled(args, out, output);
  } catch (const RunFailure& failure) {
    out << failure.message;
    out.flush();
    return kExitFailed;
  }
}

}  // namespace

JobResult runFrontEndJob(FrontEndJob frontEnd, std::ostream& out) {
  PreparedJob job;
  job.settings = std::move(frontEnd.settings);
  job.commandLineRecipients = std::move(frontEnd.recipients);
  job.expandRecipient = std::move(frontEnd.expandRecipient);
  job.headerAddsRecipients = true;
  job.headerNamesSender = false;
  job.standardOutput = &out;
  // The front end says what failed in a line of its own; the reason stays in the trace
  // and the report.
  job.standardError = nullptr;
  JobResult result;
  try {
    std::optional<PrivateFileStream> traceFile;
    // `out` may be held back; a trace to "-" shows as it happens. The front end's own
    // arguments are not the job's: the start line names none.
    std::optional<Trace> trace = openTrace(job.settings, {}, platform::standardError(), traceFile);
    job.trace = trace ? &*trace : nullptr;
    result.status = deliverAndReport(job, out);
  } catch (const RunFailure& failure) {
    out << failure.message;
    job.record.failed = true;
    job.record.failureMessage = failure.message;
    job.record.cause = failure.cause;
  } catch (const std::bad_alloc&) {
    job.record.failed = true;
    job.record.failureMessage = "Out of memory, message not sent\n";
    job.record.cause = FailureCause::kLocalInput;
  } catch (const std::exception& error) {
    job.record.failed = true;
    job.record.failureMessage =
        "Internal error (" + printable(error.what()) + "), message not sent\n";
  }
  out.flush();
  result.record = std::move(job.record);
  return result;
}

int runJob(std::span<const std::string> args, std::ostream& standardOutput,
           std::ostream& standardError) {
  RunOutput output{{}, standardOutput, standardError};
  std::ostream out(&output.held);
  int status = kExitFailed;
  // Whatever goes wrong, the caller gets a message and a status, never an abort.
  try {
    status = runWithArguments(args, out, output);
  } catch (const std::bad_alloc&) {
    out << "Out of memory, message not sent\n";
  } catch (const std::exception& error) {
    out << "Internal error (" << printable(error.what()) << "), message not sent\n";
  }
  output.held.release(standardOutput.rdbuf());  // unless it went somewhere already
  out.flush();
  return status;
}

}  // namespace larkpost
