// The order of a run. Everything that can be refused is refused before connecting: the
// input's header is read and the recipients gathered first. Every fatal condition below
// is a RunFailure, caught here once: its message is printed and the session with the
// server ends as the failure asks.
#include "invocation/run.h"

#include <fstream>
#include <iostream>
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
#include "core/printable.h"
#include "invocation/report.h"
#include "invocation/run_log.h"
#include "core/run_failure.h"
#include "invocation/settings.h"
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
};

void readInputHeader(PreparedJob& job, LineReader& input) {
  job.inputHeader = scanHeader(input, job.settings.parseHeader);
  if (job.inputHeader.tooLarge) {
    throw RunFailure{"Message header is longer than 1 MiB, message not sent\n"};
  }
  if (job.inputHeader.inputFailed) throw RunFailure{kStdinFailed};
  if (job.inputHeader.sender) job.settings.senderAddress = *job.inputHeader.sender;
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
  if (settings.parseHeader) return headerRecipients(job.inputHeader.recipients);
  if (settings.useList) {
    return checkedList(readRecipientFile(settings.listPath), printable(settings.listPath));
  }
  return job.commandLineRecipients;
}

// The recipients in sending order, each once.
std::vector<std::string> gatherRecipients(const PreparedJob& job) {
  std::vector<std::string> listed = listedRecipients(job);
  std::vector<std::string> recipients;
  recipients.reserve(listed.size());  // never moves: `seen` looks into it
  std::unordered_set<std::string_view> seen;
  for (std::string& address : listed) {
    if (seen.contains(address)) continue;
    recipients.push_back(std::move(address));
    seen.insert(recipients.back());
  }
  return recipients;
}

// Nothing unsafe is ever sent: these are refused before connecting.
void checkEnvelopeNames(const JobSettings& settings) {
  if (!isSendableDomain(settings.domain)) {
    throw RunFailure{"Invalid domain (" + printable(settings.domain) + ")\n"};
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

MessageFrame makeFrame(const PreparedJob& job) {
  platform::LocalTime now = platform::localTimeNow();
  std::random_device entropy;
  MessageFrame frame;
  if (readsHeaderAhead(job.settings)) {
    frame.inputHeader = &job.inputHeader.header;
    frame.headerEnd = job.inputHeader.end;
  }
  frame.dateField = dateField(now);
  frame.messageIdField = messageIdField(now, platform::processId(), entropy(), job.settings.domain);
  frame.boundary = makeBoundary(entropy);
  return frame;
}

// About how large the message will be, when the input is a file: its bytes with CR LF
// line ends, the header, and each attachment in base64 (4/3, and CR LF every 72).
std::optional<std::uint64_t> estimatedSize(const JobSettings& settings) {
  constexpr std::uint64_t kHeaderAllowance = 2048;
  constexpr std::uint64_t kPartAllowance = 512;
  std::optional<std::uint64_t> input = platform::standardInputSize();
  if (!input) return std::nullopt;
  std::uint64_t size = *input + *input / 40 + kHeaderAllowance;
  for (const Attachment* attachment : attachmentsInOrder(settings)) {
    std::optional<std::uint64_t> bytes = attachment->file->size();
    if (!bytes) return std::nullopt;
    size += (*bytes + 2) / 3 * 4 * 74 / 72 + kPartAllowance;
  }
  return size;
}

// Writes the message to `sink` as laid out for the wire; returns whether it ended a line.
bool writeMessage(PreparedJob& job, LineReader& input, TextSink& sink,
                  const ServerCapabilities& offered) {
  DataWriter writer(sink);
  MessageFrame frame = makeFrame(job);
  frame.eightBitMime = offered.eightBitMime;
  bool writesMessageId =
      job.settings.emitHeader && !(frame.inputHeader && frame.inputHeader->hasField("Message-ID"));
  if (writesMessageId) job.record.messageId = messageIdOf(frame.messageIdField);
  StreamOutcome streamed = sendMessageStream(job.settings, frame, input, writer);
  if (streamed.result == StreamResult::kInputFailed) throw RunFailure{kStdinFailed};
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
  DeliveryOutcome outcome =
      larkpost::deliver(settings, {std::move(job.recipients), writeMessage, estimatedSize(settings)},
                        secret ? &*secret : nullptr, out, job.trace);
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
  if (job.recipients.empty()) throw RunFailure{kNoRecipients};
  checkEnvelopeNames(job.settings);
  if (job.settings.dryRun) return showDryRun(job, input, out);
  return deliver(job, input, out);
}

// The transcript's destination: standard error for "-", else a file appended to, so that
// the runs of a cron job stay readable one after the other. Each run begins with a line
// of its own.
std::optional<Trace> openTrace(const JobSettings& settings, std::span<const std::string> args,
                               std::ofstream& file) {
  if (settings.tracePath.empty()) return std::nullopt;
  std::ostream* out = &std::cerr;
  if (settings.tracePath != "-") {
    file.open(settings.tracePath, std::ios::out | std::ios::app | std::ios::binary);
    if (!file) {
      throw RunFailure{"Could not open the trace file '" + printable(settings.tracePath) + "'\n"};
    }
    out = &file;
  }
  Trace trace(*out, settings.traceData);
  trace.event(traceStartLine(platform::localTimeNow(), args));
  return trace;
}

void writeReport(const PreparedJob& job, std::ostream& out) {
  std::string json = reportJson(job.settings, job.record, job.recipients);
  const std::string& path = job.settings.reportPath;
  if (path == "-") {
    out << json;
  } else if (!(std::ofstream(path, std::ios::out | std::ios::trunc) << json)) {
    out << "Could not write the report file '" << printable(path) << "'\n";
  }
  out.flush();
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
  }
  if (!job.record.reason.empty()) {
    // Standard output keeps the failure's own line; the system's words go beside it.
    std::cerr << "Reason: " << job.record.reason << "\n";
    std::cerr.flush();
    if (job.trace) job.trace->event("failed: " + job.record.reason);
  }
  if (!job.settings.dryRun) writeTransactionLog(job.settings, job.record, job.failure, out);
  if (!job.settings.reportPath.empty()) writeReport(job, out);
  return status;
}

std::optional<FoundFile> findAttachment(const std::string& path) {
  std::optional<platform::File> file = platform::openRegularFile(path);
  if (!file) return std::nullopt;
  return FoundFile{platform::storedFileName(path),
                   std::make_shared<platform::File>(std::move(*file))};
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
                            std::ostream& out) {
  for (const std::string& warning : warnings) {
    std::cerr << warning;
    if (settings.check) out << warning;
  }
  std::cerr.flush();
}

// Every RunFailure ends here.
int runSettled(std::span<const std::string> args, std::ostream& out) {
  PreparedJob job;
  // What the settings and options say comes out after the banner, which a quiet run,
  // known only once they are read, does without.
  std::ostringstream early;
  std::vector<std::string> warnings;
  OptionsOutcome options;
  try {
    std::size_t first = loadSettings(args, job.settings, early, &warnings);
    options = parseOptions(args, first, job.settings, findAttachment, early);
  } catch (const RunFailure&) {
    startOutput(out, early, job.settings.quiet);
    reportSettingsWarnings(warnings, job.settings, out);
    throw;
  }
  startOutput(out, early, job.settings.quiet);
  reportSettingsWarnings(warnings, job.settings, out);
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
  std::ofstream traceFile;
  std::optional<Trace> trace = openTrace(job.settings, args, traceFile);
  job.trace = trace ? &*trace : nullptr;
  if (job.settings.check) return checkServer(job.settings, out, job.trace);
  if (!hasRecipientSource(options.firstRecipient, args.size(), job.settings)) {
    out << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  // The last recipient on the command line is sent to first. Addresses go on the wire in
  // UTF-8 (SMTPUTF8), whatever code page the command line and settings file use.
  auto recipients = args.subspan(options.firstRecipient);
  for (auto it = recipients.rbegin(); it != recipients.rend(); ++it) {
    job.commandLineRecipients.push_back(platform::localTextToUtf8(*it));
  }
  job.settings.senderAddress = platform::localTextToUtf8(job.settings.senderAddress);
  return deliverAndReport(job, out);
}

int runWithArguments(std::span<const std::string> args, std::ostream& out) {
  if (args.size() < 2) {
    out << kBanner << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  try {
    return runSettled(args, out);
  } catch (const RunFailure& failure) {
    out << failure.message;
    out.flush();
    return kExitFailed;
  }
}

}  // namespace

int runJob(std::span<const std::string> args, std::ostream& out) {
  // Whatever goes wrong, the caller gets a message and a status, never an abort.
  try {
    return runWithArguments(args, out);
  } catch (const std::bad_alloc&) {
    out << "Out of memory, message not sent\n";
  } catch (const std::exception& error) {
    out << "Internal error (" << printable(error.what()) << "), message not sent\n";
  }
  out.flush();
  return kExitFailed;
}

}  // namespace larkpost
