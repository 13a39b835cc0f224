// The order of a run. Every fatal condition below is a RunFailure, caught here once: its
// message is printed, the session with the server ends as the failure asks, and the
// temporary list file goes with the stack.
#include "invocation/run.h"

#include <optional>
#include <random>
#include <vector>

#include "compose/byte_source.h"
#include "compose/data_writer.h"
#include "compose/header_fields.h"
#include "compose/line_reader.h"
#include "compose/message_stream.h"
#include "headerscan/header_scan.h"
#include "invocation/options.h"
#include "invocation/printable.h"
#include "invocation/run_failure.h"
#include "invocation/settings.h"
#include "platform/platform.h"
#include "smtp/dialogue.h"
#include "smtp/recipient_list.h"
#include "smtp/smtp_connection.h"

namespace larkpost {
namespace {

constexpr const char* kBanner = "\nLarkpost v1.0 mailer for WIN32 (95/NT)\n";
constexpr const char* kRecipientsNeeded = "Not enough arguments, recipients needed\n\n";
constexpr const char* kStdinFailed = "Could not read standard input, message not sent\n";

// What the run has gathered before it connects.
struct PreparedJob {
  JobSettings settings;
  std::vector<std::string> commandLineRecipients;  // last argument first
  HeaderBlock header;
  std::optional<platform::TempFile> listFile;
};

// Under -t: the recipients go to a temporary list file, the sender may change.
void scanInputHeader(PreparedJob& job, LineReader& input) {
  std::string error;
  job.listFile = platform::TempFile::create("lkp", error);
  if (!job.listFile) throw RunFailure{"Could not create a temporary file: " + error + "\n"};
  job.settings.listPath = job.listFile->path();

  HeaderScan scan = scanHeader(input);
  if (scan.inputFailed) throw RunFailure{kStdinFailed};
  if (!writeRecipientFile(job.listFile->path(), scan.recipients)) {
    throw RunFailure{"Could not write the temporary file " + job.listFile->path() + "\n"};
  }
  job.header = std::move(scan.header);
  if (scan.sender) job.settings.senderAddress = *scan.sender;
}

// Nothing unsafe is ever sent: these are refused before connecting.
void checkEnvelopeNames(const JobSettings& settings) {
  if (!isSendableDomain(settings.domain)) {
    throw RunFailure{"Invalid domain (" + printable(settings.domain) + ")\n"};
  }
  if (!isSendableAddress("MAIL FROM:<", settings.senderAddress)) {
    throw RunFailure{"Error sending mail from user [" + printable(settings.senderAddress) + "]\n"};
  }
}

MessageOrigin makeOrigin(const JobSettings& settings) {
  platform::LocalTime now = platform::localTimeNow();
  std::random_device entropy;
  return {dateField(now),
          messageIdField(now, platform::processId(), entropy(), settings.domain)};
}

RecipientSource recipientSource(PreparedJob& job) {
  if (!job.settings.useList) return [&job] { return job.commandLineRecipients; };
  return [&job] {
    std::vector<std::string> recipients = readRecipientFile(job.settings.listPath);
    job.listFile.reset();  // read: the addresses need not stay on disk any longer
    return recipients;
  };
}

// From the greeting to the end of the message. Returns the exit status.
int deliver(PreparedJob& job, LineReader& input, std::ostream& out) {
  const JobSettings& settings = job.settings;
  SmtpConnection connection =
      openConnection(settings, TimeLimits::withOverride(settings.timeoutSeconds));
  try {
    EnvelopeOutcome envelope = sendEnvelope(connection, settings, recipientSource(job), out);
    DataWriter writer(connection);
    StreamResult streamed = sendMessageStream(settings, job.header, makeOrigin(settings), input,
                                              FileSource::open, writer);
    if (streamed == StreamResult::kInputFailed) throw RunFailure{kStdinFailed};
    if (streamed == StreamResult::kAttachmentFailed) {
      throw RunFailure{"Could not read attachment '" + printable(settings.attachPath) +
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
  StandardInput standardInput;
  LineReader input(standardInput);
  if (job.settings.parseHeader) scanInputHeader(job, input);
  checkEnvelopeNames(job.settings);
  return deliver(job, input, out);
}

}  // namespace

int runJob(std::span<const std::string> args, std::ostream& out) {
  out << kBanner;
  if (args.size() < 2) {
    out << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }

  PreparedJob job;
  std::size_t first = loadSettings(args, job.settings);
  OptionsOutcome options = parseOptions(args, first, job.settings, platform::findFile, out);
  if (options.usageRequested) {
    printUsage(out);
    return kExitFailed;
  }
  if (!hasRecipientSource(options.firstRecipient, args.size(), job.settings)) {
    out << kRecipientsNeeded;
    printUsage(out);
    return kExitFailed;
  }
  // The last recipient on the command line is sent to first.
  auto recipients = args.subspan(options.firstRecipient);
  job.commandLineRecipients.assign(recipients.rbegin(), recipients.rend());
  try {
    return prepareAndDeliver(job, out);
  } catch (const RunFailure& failure) {
    out << failure.message;
    out.flush();
    return kExitFailed;
  }
}

}  // namespace larkpost
