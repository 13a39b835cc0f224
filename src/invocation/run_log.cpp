// Log lines are key=value pairs on one line, so that grep and awk can take them apart;
// a value with blanks or quotes in it is quoted, and every control byte escaped.
#include "invocation/run_log.h"

#include <algorithm>
#include <string_view>

#include "core/printable.h"
#include "invocation/setting_keys.h"

namespace larkpost {
namespace {

std::string twoDigits(int value) {
  std::string text = std::to_string(value);
  return text.size() < 2 ? "0" + text : text;
}

// Options whose values may be shown in a trace.
bool showsValue(std::string_view name) {
  if (name == "--attach" || name == "--report") return true;
  const SettingKey* setting = findLongOption(name);
  return setting != nullptr && setting->key != "PasswordCommand";
}

std::string shownArgument(const std::string& argument) {
  std::size_t equals = argument.find('=');
  if (!argument.starts_with("--") || equals == std::string::npos) return printable(argument);
  std::string_view name = std::string_view(argument).substr(0, equals);
  if (showsValue(name)) return printable(argument);
  return printable(name) + "=<redacted>";
}

std::string logValue(std::string_view value) {
  if (value.empty()) return "-";
  std::string shown = printable(value);
  if (shown.find_first_of(" \"") == std::string::npos) return shown;
  std::string quoted = "\"";
  for (char c : shown) quoted += c == '"' ? std::string("\\x22") : std::string(1, c);
  return quoted + "\"";
}

std::string seconds(std::int64_t millis) {
  std::string text = std::to_string(millis / 1000) + ".";
  std::string fraction = std::to_string(millis % 1000);
  return text + std::string(3 - std::min<std::size_t>(3, fraction.size()), '0') + fraction;
}

std::string outcomeOf(const TransactionRecord& transaction) {
  if (transaction.dataReply) return "sent";
  if (transaction.accepted == 0) return transaction.refused == 0 ? "deferred" : "refused";
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
  return logTime(time) + " server=" + logValue(settings.server) + ":" +
         printable(settings.portAsWritten) + " tls=" + logValue(tls) +
         " from=" + logValue("<" + settings.senderAddress + ">") +
         " accepted=" + std::to_string(fields.accepted) +
         " refused=" + std::to_string(fields.refused) +
         " deferred=" + std::to_string(fields.deferred) + " outcome=" + fields.outcome +
         " reply=" + logValue(fields.reply) +
         " message-id=" + logValue(record.messageId.value_or("")) +
         " bytes=" + std::to_string(fields.bytes) + " seconds=" + seconds(fields.millis) + "\n";
}

}  // namespace

std::string logTime(const platform::LocalTime& time) {
  int offset = time.utcOffsetMinutes;
  std::string sign = offset < 0 ? "-" : "+";
  offset = offset < 0 ? -offset : offset;
  return std::to_string(time.year) + "-" + twoDigits(time.month) + "-" + twoDigits(time.day) + "T" +
         twoDigits(time.hour) + ":" + twoDigits(time.minute) + ":" + twoDigits(time.second) + sign +
         twoDigits(offset / 60) + ":" + twoDigits(offset % 60);
}

std::string traceStartLine(const platform::LocalTime& time, std::span<const std::string> args) {
  std::string line = logTime(time) + " Larkpost " + LARKPOST_VERSION + ":";
  for (const std::string& argument : args) line += " " + shownArgument(argument);
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
