// The order of a run. Everything that can be refused is refused before connecting: the
// input's header is read and the recipients gathered first. Every fatal condition below
// is a RunFailure, caught here once: its message is printed and the session with the
// server ends as the failure asks.
#include "invocation/run.h"

#include <new>
#include <optional>
#include <random>
#include <vector>

#include "compose/byte_source.h"
#include "compose/data_writer.h"
#include "compose/header_fields.h"
#include "compose/line_reader.h"
#include "compose/message_stream.h"
#include "headerscan/header_scan.h"
#include "invocation/check.h"
#include "invocation/credentials.h"
#include "invocation/options.h"
#include "invocation/printable.h"
#include "invocation/run_failure.h"
#include "invocation/settings.h"
#include "platform/platform.h"
#include "platform/tls.h"
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
  return checkedList(readRecipientList(source), "temporary list");
}

std::vector<std::string> gatherRecipients(const PreparedJob& job) {
  const JobSettings& settings = job.settings;
  if (settings.parseHeader) return headerRecipients(job.inputHeader.recipients);
  if (settings.useList) {
    return checkedList(readRecipientFile(settings.listPath), printable(settings.listPath));
  }
  return job.commandLineRecipients;
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

// From the greeting to the end of the message. Returns the exit status.
int deliver(PreparedJob& job, LineReader& input, std::ostream& out) {
  const JobSettings& settings = job.settings;
  Session session = [&job] {
    std::optional<Secret> secret = obtainSecret(job.settings);
    SessionEvents unobserved;
    return openSession(job.settings, TimeLimits::withOverride(job.settings.timeoutSeconds),
                       secret ? &*secret : nullptr, unobserved);
  }();  // the secret is wiped here, its work done
  SmtpConnection& connection = session.connection;
  try {
    EnvelopeOutcome envelope = sendEnvelope(connection, settings, job.recipients, out);
    DataWriter writer(connection);
    MessageFrame frame = makeFrame(job);
    frame.eightBitMime = session.capabilities.eightBitMime;
    StreamOutcome streamed = sendMessageStream(settings, frame, input, writer);
    if (streamed.result == StreamResult::kInputFailed) throw RunFailure{kStdinFailed};
    if (streamed.result == StreamResult::kAttachmentFailed) {
      throw RunFailure{"Could not read attachment '" + printable(streamed.failedAttachment->path) +
                       "', message not sent\n"};
    }
    endMessage(connection, writer.atLineStart());
    connection.quit();
    return envelope.refused == 0 ? kExitSent : kExitSomeRefused;
  } catch (const RunFailure& failure) {
    out << failure.message;
    out.flush();
    if (failure.end == SessionEnd::kQuit) connection.quit();
    return kExitFailed;
  }
}

int prepareAndDeliver(PreparedJob& job, std::ostream& out) {
  refusePlaintextPassword(job.settings);
  StandardInput standardInput;
  LineReader input(standardInput);
  if (readsHeaderAhead(job.settings)) readInputHeader(job, input);
  job.recipients = gatherRecipients(job);
  if (job.recipients.empty()) throw RunFailure{kNoRecipients};
  checkEnvelopeNames(job.settings);
  return deliver(job, input, out);
}

std::optional<FoundFile> findAttachment(const std::string& path) {
  std::optional<platform::File> file = platform::openRegularFile(path);
  if (!file) return std::nullopt;
  return FoundFile{platform::storedFileName(path),
                   std::make_shared<platform::File>(std::move(*file))};
}

// The run once the banner is out; every RunFailure ends here.
int runSettled(std::span<const std::string> args, std::ostream& out) {
  PreparedJob job;
  std::size_t first = loadSettings(args, job.settings, out);
  OptionsOutcome options = parseOptions(args, first, job.settings, findAttachment, out);
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
  if (job.settings.check) return checkServer(job.settings, out);
  if (!hasRecipientSource(options.firstRecipient, args.size(), job.settings)) {
    out << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  // The last recipient on the command line is sent to first.
  auto recipients = args.subspan(options.firstRecipient);
  job.commandLineRecipients.assign(recipients.rbegin(), recipients.rend());
  return prepareAndDeliver(job, out);
}

int runWithArguments(std::span<const std::string> args, std::ostream& out) {
  out << kBanner;
  if (args.size() < 2) {
    out << kRecipientsNeeded;
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
