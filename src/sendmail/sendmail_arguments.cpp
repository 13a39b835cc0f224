// sendmail's options are single letters read as getopt reads them; those that callers
// pass out of habit but that mean nothing without a queue or a local delivery agent are
// taken quietly, so that a cron job or a PHP page never fails over them.
#include "sendmail/sendmail_arguments.h"

#include <string_view>

#include "core/ascii_case.h"
#include "core/printable.h"
#include "headerscan/address_list.h"
#include "smtp/dsn.h"

namespace larkpost {
namespace {

constexpr std::string_view kFlagLetters = "tivmnUG";
constexpr std::string_view kValueLetters = "frFNRVBCobOLXhpd";

void applyFlag(char letter, SendmailArguments& parsed) {
  if (letter == 't') parsed.headerRecipients = true;
  if (letter == 'i') parsed.fullStopEnds = false;
}

// One option with its value; sets parsed.error for a value it cannot take.
void applyValue(char letter, const std::string& value, SendmailArguments& parsed) {
  switch (letter) {
    case 'f':
    case 'r':
      parsed.sender = value;
      break;
    case 'F':
      parsed.fullName = value;
      break;
    case 'C':
      parsed.settingsPath = value;
      break;
    case 'N':
      if (std::optional<std::string> notify = normalizedNotify(value)) {
        parsed.notify = *notify;
      } else {
        parsed.error = "-N takes never, or a comma list of success, failure and delay";
      }
      break;
    case 'R':
      if (std::optional<std::string> ret = normalizedReturn(value)) {
        parsed.ret = *ret;
      } else {
        parsed.error = "-R takes hdrs or full";
      }
      break;
    case 'V':
      if (isSendableEnvid(value)) {
        parsed.envid = value;
      } else {
        parsed.error = "-V takes an envelope identifier of at most 100 characters";
      }
      break;
    case 'B':
      // The body is declared by what the server offers (BODY=8BITMIME when it can).
      if (std::string type = upperCased(value); type != "7BIT" && type != "8BITMIME") {
        parsed.error = "-B takes 7BIT or 8BITMIME";
      }
      break;
    case 'o':
      if (value == "i") parsed.fullStopEnds = false;
      break;
    case 'b':
      if (value == "s") {
        parsed.error = "-bs (SMTP on standard input) is not supported";
      } else if (value != "m") {
        parsed.error = "-b" + printable(value) + " is not supported: only -bm (deliver mail)";
      }
      break;
    default:
      break;  // taken and ignored
  }
}

// Recipients as sendmail reads them: each argument may name several.
void addRecipients(const std::string& argument, SendmailArguments& parsed) {
  for (std::string& address : parseAddressList(argument)) {
    parsed.recipients.push_back(std::move(address));
  }
}

}  // namespace

SendmailArguments parseSendmailArguments(std::span<const std::string> args, std::size_t first) {
  SendmailArguments parsed;
  std::size_t k = first;
  for (; k < args.size(); ++k) {
    const std::string& argument = args[k];
    if (argument == "--") {
      ++k;
      break;
    }
    if (argument.size() < 2 || argument[0] != '-') break;
    if (argument[1] == '-') {
      parsed.error = "unknown option '" + printable(argument) + "'";
      return parsed;
    }
    for (std::size_t i = 1; i < argument.size(); ++i) {
      char letter = argument[i];
      if (letter == 'q') {
        parsed.queueRun = true;  // its value (an interval) is attached, if any
        break;
      }
      if (kFlagLetters.find(letter) != std::string_view::npos) {
        applyFlag(letter, parsed);
        continue;
      }
      if (kValueLetters.find(letter) == std::string_view::npos) {
        parsed.error = "unknown option '-" + printable(std::string(1, letter)) + "'";
        return parsed;
      }
      std::string value = argument.substr(i + 1);
      if (value.empty()) {
        if (k + 1 >= args.size()) {
          parsed.error = "option '-" + std::string(1, letter) + "' needs a value";
          return parsed;
        }
        value = args[++k];
      }
      applyValue(letter, value, parsed);
      if (!parsed.error.empty()) return parsed;
      break;  // the value took the rest of the argument
    }
  }
  for (; k < args.size(); ++k) addRecipients(args[k], parsed);
  return parsed;
}

}  // namespace larkpost
