// Maps sendmail's conventions onto JobSettings and hands the job to the run sequence:
// the settings file and keys are the same as in the normal mode, the output and exit
// statuses are sendmail's.
#include "sendmail/sendmail.h"

#include <fstream>
#include <iterator>
#include <sstream>

#include "core/printable.h"
#include "core/run_failure.h"
#include "invocation/run.h"
#include "invocation/settings.h"
#include "platform/platform.h"
#include "sendmail/aliases.h"
#include "sendmail/sendmail_arguments.h"
#include "sendmail/sendmail_outcome.h"

namespace larkpost {
namespace {

constexpr const char* kSystemAliases = "/etc/aliases";

std::string lastComponent(const std::string& path) {
  std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A failure of ours, told before anything was sent.
struct LocalRefusal {
  int status;
  std::string message;
};

// The aliases file's text; std::nullopt when there is none to read.
std::optional<std::string> readAliasesFile(const JobSettings& settings) {
  bool named = settings.aliasesPath.has_value();
  std::string path = named ? *settings.aliasesPath : kSystemAliases;
  if (path.empty()) return std::nullopt;
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    if (!named) return std::nullopt;  // a system without one is normal
    throw LocalRefusal{kExConfig, "aliases file '" + printable(path) + "' could not be read"};
  }
  std::string text;
  text.resize(kMaxAliasesBytes + 1);
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) {
    throw LocalRefusal{kExConfig, "aliases file '" + printable(path) + "' could not be read"};
  }
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxAliasesBytes) {
    throw LocalRefusal{kExConfig, "aliases file '" + printable(path) + "' is larger than 1 MiB"};
  }
  return text;
}

// Qualify, else the host name when it is a whole domain name.
std::string qualifyDomainOf(const JobSettings& settings) {
  if (!settings.qualifyDomain.empty()) return settings.qualifyDomain;
  std::string host = platform::hostName();
  return host.find('.') != std::string::npos ? host : std::string();
}

std::string unqualifiedMessage(const std::string& address) {
  return "'" + printable(address) + "' has no domain, and the host name (" +
         printable(platform::hostName()) + ") is none to add: set Qualify in the settings file";
}

JobSettings settingsFor(const SendmailArguments& arguments) {
  JobSettings settings;
  std::string path = arguments.settingsPath.value_or(platform::defaultSettingsPath());
  if (!loadSettingsFile(path, arguments.settingsPath.has_value(), settings)) {
    throw LocalRefusal{kExConfig, "settings file '" + printable(path) + "' could not be read"};
  }
  if (arguments.sender) settings.senderAddress = *arguments.sender;
  if (arguments.fullName) settings.senderName = *arguments.fullName;
  if (!arguments.notify.empty()) settings.dsnNotify = arguments.notify;
  if (!arguments.ret.empty()) settings.dsnReturn = arguments.ret;
  if (!arguments.envid.empty()) settings.dsnEnvid = arguments.envid;
  settings.parseHeader = arguments.headerRecipients;
  settings.fullStopEnds = arguments.fullStopEnds;
  settings.completesHeader = true;
  settings.senderAddress = platform::localTextToUtf8(settings.senderAddress);
  return settings;
}

FrontEndJob jobFor(const SendmailArguments& arguments) {
  FrontEndJob job;
  job.settings = settingsFor(arguments);
  std::string qualify = qualifyDomainOf(job.settings);
  std::string& sender = job.settings.senderAddress;
  if (!sender.empty() && sender.find('@') == std::string::npos) {
    if (qualify.empty()) throw LocalRefusal{kExConfig, "sender " + unqualifiedMessage(sender)};
    sender += "@" + qualify;
  }
  std::optional<std::string> aliasesText = readAliasesFile(job.settings);
  auto aliases = std::make_shared<Aliases>(aliasesText ? parseAliases(*aliasesText) : Aliases());
  job.expandRecipient = [aliases, qualify](const std::string& recipient) {
    std::optional<std::vector<std::string>> expanded =
        expandRecipient(*aliases, recipient, qualify);
    if (!expanded) {
      throw localFailure(FailureCause::kSettings,
                         "recipient " + unqualifiedMessage(recipient) + "\n");
    }
    return *expanded;
  };
  for (const std::string& recipient : arguments.recipients) {
    job.recipients.push_back(platform::localTextToUtf8(recipient));
  }
  return job;
}

int runParsed(const SendmailArguments& arguments, const std::string& prefix, std::ostream& errors) {
  if (!arguments.error.empty()) {
    errors << prefix << arguments.error << "\n";
    return kExUsage;
  }
  if (arguments.queueRun) return kExOk;  // every message is sent at once; none waits
  if (arguments.recipients.empty() && !arguments.headerRecipients) {
    errors << prefix << "no recipients: name them, or give -t to take them from the header\n";
    return kExUsage;
  }
  FrontEndJob job;
  try {
    job = jobFor(arguments);
  } catch (const LocalRefusal& refusal) {
    errors << prefix << refusal.message << "\n";
    return refusal.status;
  }
  // The normal mode's messages are read from the record instead.
  std::ostringstream discarded;
  JobResult result = runFrontEndJob(std::move(job), discarded);
  for (const std::string& line : sendmailMessages(result.record, prefix)) errors << line << "\n";
  errors.flush();
  return sendmailExitStatus(result.record);
}

}  // namespace

bool isSendmailInvocation(std::span<const std::string> args) {
  if (args.empty()) return false;
  std::string name = lastComponent(args[0]);
  return name == "sendmail" || name == "sendmail.larkpost" ||
         (args.size() > 1 && args[1] == "--sendmail");
}

int runSendmail(std::span<const std::string> args, std::ostream& errors) {
  std::size_t first = args.size() > 1 && args[1] == "--sendmail" ? 2 : 1;
  std::string prefix = (args.empty() ? std::string("sendmail") : lastComponent(args[0])) + ": ";
  try {
    return runParsed(parseSendmailArguments(args, first), prefix, errors);
  } catch (const RunFailure& failure) {
    std::string message = failure.message;
    while (!message.empty() && message.back() == '\n') message.pop_back();
    errors << prefix << printable(message) << "\n";
    return failure.cause == FailureCause::kSettings ? kExConfig : kExUnavailable;
  } catch (const std::exception& error) {
    errors << prefix << "internal error (" << printable(error.what()) << "), message not sent\n";
  }
  return kExUnavailable;
}

}  // namespace larkpost
