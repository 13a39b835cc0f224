// Log lines are key=value pairs on one line, so that grep and awk can take them apart;
// a value with blanks or quotes in it is quoted, and every control byte escaped.
#include "invocation/run_log.h"

#include <algorithm>
#include <string_view>

#include "core/printable.h"
#include "invocation/setting_keys.h"

namespace larkpost {
namespace {

// Built by appending only: GCC 12 at -O3 warns wrongly (-Wrestrict) about some string
// concatenations that insert in front.
std::string twoDigits(int value) {
  std::string text(value < 10 ? "0" : "");
  return text.append(std::to_string(value));
}

// Options whose values may be shown in a trace: not an unknown one (a secret typed in the
// wrong place), nor a command that may hold one.
bool showsValue(std::string_view name) {
  if (name == "--attach" || name == "--report" || name == "--oauth-login") return true;
  const SettingKey* setting = findLongOption(name);
  if (setting == nullptr || setting->key == "PasswordCommand") return false;
  std::span<const std::string_view> secrets = secretKeys();
  return std::find(secrets.begin(), secrets.end(), setting->key) == secrets.end();
}

std::string shownArgument(const std::string& argument) {
  std::size_t equals = argument.find('=');
  if (!argument.starts_with("--") || equals == std::string::npos) return printable(argument);
  std::string_view name = std::string_view(argument).substr(0, equals);
  if (showsValue(name)) return printable(argument);
  return printable(name).append("=<redacted>");
}

std::string logValue(std::string_view value) {
  if (value.empty()) return "-";
  std::string shown = printable(value);
  if (shown.find_first_of(" \"") == std::string::npos) return shown;
  std::string quoted = "\"";
  for (char c : shown) quoted.append(c == '"' ? std::string_view("\\x22") : std::string_view(&c, 1));
  return quoted.append("\"");
}

std::string seconds(std::int64_t millis) {
  std::string text = std::to_string(millis / 1000);
  std::string fraction = std::to_string(millis % 1000);
  text.append(".").append(3 - std::min<std::size_t>(3, fraction.size()), '0');
  return text.append(fraction);
}

std::string outcomeOf(const TransactionRecord& transaction) {
  if (transaction.dataReply && transaction.dataReply->accepted()) return "sent";
  if (transaction.accepted == 0) return transaction.refused == 0 ? "deferred" : "refused";
  // The end of the data went out and no reply came: the server may have it.
  if (transaction.dataEnded && !transaction.dataReply) return "unknown";
  return "failed";
}

struct LogFields {
  std::size_t accepted = 0;
  std::size_t refused = 0;
  std::size_t deferred = 0;
  std::string outcome;
  std::string reply;
  std::uint64_t bytes = 0;
  std::int64_t millis = 0;
};

std::string logLine(const JobSettings& settings, const RunRecord& record,
                    const platform::LocalTime& time, const LogFields& fields) {
  const DeliveryOutcome* delivery = record.delivery ? &*record.delivery : nullptr;
  std::string tls = delivery && delivery->tls ? delivery->tls->version : "none";
  std::string sender = "<";
  sender.append(settings.senderAddress).append(">");
  std::string line = logTime(time);
  line.append(" server=").append(logValue(settings.server)).append(":");
  line.append(printable(settings.portAsWritten)).append(" tls=").append(logValue(tls));
  line.append(" from=").append(logValue(sender));
  line.append(" accepted=").append(std::to_string(fields.accepted));
  line.append(" refused=").append(std::to_string(fields.refused));
  line.append(" deferred=").append(std::to_string(fields.deferred));
  line.append(" outcome=").append(fields.outcome);
  line.append(" reply=").append(logValue(fields.reply));
  line.append(" message-id=").append(logValue(record.messageId.value_or("")));
  line.append(" bytes=").append(std::to_string(fields.bytes));
  return line.append(" seconds=").append(seconds(fields.millis)).append("\n");
}

}  // namespace

std::string logTime(const platform::LocalTime& time) {
  int offset = time.utcOffsetMinutes;
  std::string sign = offset < 0 ? "-" : "+";
  offset = offset < 0 ? -offset : offset;
  std::string text = std::to_string(time.year);
  text.append("-").append(twoDigits(time.month)).append("-").append(twoDigits(time.day));
  text.append("T").append(twoDigits(time.hour)).append(":").append(twoDigits(time.minute));
  text.append(":").append(twoDigits(time.second)).append(sign);
  return text.append(twoDigits(offset / 60)).append(":").append(twoDigits(offset % 60));
}

std::string traceStartLine(const platform::LocalTime& time, std::span<const std::string> args) {
  std::string line = logTime(time);
  line.append(" Larkpost ").append(LARKPOST_VERSION).append(":");
  for (const std::string& argument : args) line.append(" ").append(shownArgument(argument));
  return line;
}

std::vector<std::string> transactionLogLines(const JobSettings& settings, const RunRecord& record,
                                             const std::string& failure,
                                             const platform::LocalTime& time) {
  std::vector<std::string> lines;
  if (record.delivery) {
    for (const TransactionRecord& transaction : record.delivery->transactions) {
      LogFields fields{transaction.accepted,
                       transaction.refused,
                       transaction.deferred,
                       outcomeOf(transaction),
                       "",
                       transaction.bytes,
                       transaction.millis};
      if (transaction.dataReply) fields.reply = transaction.dataReply->text();
      lines.push_back(logLine(settings, record, time, fields));
    }
  }
  if (lines.empty() && record.failed) {
    std::string reason = failure;
    std::replace(reason.begin(), reason.end(), '\n', ' ');
    while (!reason.empty() && reason.front() == ' ') reason.erase(0, 1);
    while (!reason.empty() && reason.back() == ' ') reason.pop_back();
    LogFields fields;
    fields.outcome = "failed";
    fields.reply = reason;
    lines.push_back(logLine(settings, record, time, fields));
  }
  return lines;
}

void writeTransactionLog(const JobSettings& settings, const RunRecord& record,
                         const std::string& failure, std::ostream& out) {
  if (settings.logPath.empty() && !settings.syslog) return;
  std::vector<std::string> lines =
      transactionLogLines(settings, record, failure, platform::localTimeNow());
  if (!settings.logPath.empty()) {
    std::string text;
    for (const std::string& line : lines) text += line;
    std::string error;
    if (!text.empty() && !platform::appendLocked(settings.logPath, text, error)) {
      out << "Could not write the log file '" << printable(settings.logPath) << "': " << error
          << "\n";
    }
  }
  if (settings.syslog) {
    for (const std::string& line : lines) {
      if (!platform::systemLog(std::string_view(line).substr(0, line.size() - 1))) {
        out << "Syslog=yes: there is no system log here\n";
        break;
      }
    }
  }
  out.flush();
}

}  // namespace larkpost
