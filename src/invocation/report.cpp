// The report is built with a JSON library, so quoting and escaping are never our own.
#include "invocation/report.h"

#include <sstream>

#include <nlohmann/json.hpp>

namespace larkpost {
namespace {

using nlohmann::json;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A run of 1 to 3 digits at `at`; returns its end, or npos.
std::size_t digits(std::string_view text, std::size_t at) {
  std::size_t end = at;
  while (end < text.size() && end - at < 3 && isDigit(text[end])) ++end;
  return end > at ? end : std::string_view::npos;
}

std::string_view outcomeName(const RunRecord& record) {
  if (!record.delivery) return "failed";
  if (record.delivery->unknown()) return "unknown";
  switch (record.delivery->exitStatus()) {
    case 0:
      return "sent";
    case 2:
      return "partial";
    default:
      return "failed";
  }
}

std::string_view statusName(RecipientStatus status, bool temporary) {
  switch (status) {
    case RecipientStatus::kDelivered:
      return "delivered";
    case RecipientStatus::kTemporary:
      return "temporary";
    case RecipientStatus::kUnknown:
      return "unknown";
    case RecipientStatus::kRefused:
      return "refused";
    case RecipientStatus::kPending:
      break;
  }
  return temporary ? "temporary" : "refused";  // the run ended before it was settled
}

json recipientJson(const std::string& address, RecipientStatus status, const Reply* reply,
                   bool temporary) {
  json entry = {{"address", address}, {"accepted", status == RecipientStatus::kDelivered},
                {"status", statusName(status, temporary)}, {"code", nullptr},
                {"enhanced_code", nullptr}, {"text", nullptr}};
  if (!reply || reply->lines.empty()) return entry;
  std::string text = reply->text();
  const std::string& first = reply->lines.front();
  if (reply->wellFormed()) entry["code"] = std::stoi(first.substr(0, 3));
  std::string_view words = std::string_view(text).substr(std::min<std::size_t>(4, text.size()));
  if (std::optional<std::string> enhanced = enhancedStatusCode(first)) {
    entry["enhanced_code"] = *enhanced;
    words.remove_prefix(std::min(words.size(), enhanced->size() + 1));
  }
  entry["text"] = std::string(words);
  return entry;
}

std::string dumped(const json& value, int indent) {
  return value.dump(indent, ' ', false, json::error_handler_t::replace);
}

}  // namespace

std::optional<std::string> enhancedStatusCode(std::string_view replyLine) {
  if (replyLine.size() < 5) return std::nullopt;
  std::string_view text = replyLine.substr(4);
  if (text.empty() || (text[0] != '2' && text[0] != '4' && text[0] != '5')) return std::nullopt;
  if (text.size() < 2 || text[1] != '.') return std::nullopt;
  std::size_t subject = digits(text, 2);
  if (subject == std::string_view::npos || subject >= text.size() || text[subject] != '.') {
    return std::nullopt;
  }
  std::size_t detail = digits(text, subject + 1);
  if (detail == std::string_view::npos || (detail < text.size() && text[detail] != ' ')) {
    return std::nullopt;
  }
  return std::string(text.substr(0, detail));
}

void writeReportJson(std::ostream& out, const JobSettings& settings, const RunRecord& record,
                     const std::vector<std::string>& recipients) {
  bool temporary = record.failed && record.temporary;
  json report = {{"server", settings.server}, {"port", settings.port}, {"tls", nullptr},
                 {"outcome", outcomeName(record)}, {"temporary", temporary},
                 {"message_id", nullptr}, {"data_reply", nullptr},
                 {"data_replies", json::array()}};
  if (record.messageId) report["message_id"] = *record.messageId;
  if (!record.reason.empty()) report["reason"] = record.reason;
  // What was asked for, and whether the server offered it (null: never learned).
  report["dsn"] = nullptr;
  if (settings.dsnAsked()) {
    report["dsn"] = {{"notify", settings.dsnNotify},
                     {"return", settings.dsnReturn},
                     {"envid", settings.dsnEnvid},
                     {"offered", nullptr}};
    if (record.delivery && record.delivery->dsnOffered) {
      report["dsn"]["offered"] = *record.delivery->dsnOffered;
    }
  }
  const std::optional<DeliveryOutcome>& delivery = record.delivery;
  if (delivery) {
    if (delivery->tls) {
      report["tls"] = {{"version", delivery->tls->version}, {"cipher", delivery->tls->cipher},
                       {"verified", delivery->tlsVerified}};
    }
    for (const Reply& reply : delivery->dataReplies) report["data_replies"].push_back(reply.text());
    if (!delivery->dataReplies.empty()) report["data_reply"] = delivery->dataReplies.back().text();
  }
  // The recipients are written one a line as they come: a list may hold a great many.
  std::string head = dumped(report, 2);
  head.erase(head.size() - 2);  // "\n}"
  out << head << ",\n  \"recipients\": [";
  bool first = true;
  auto writeEntry = [&](const json& entry) {
    out << (first ? "\n    " : ",\n    ") << dumped(entry, -1);
    first = false;
  };
  if (delivery) {
    for (const RecipientOutcome& outcome : delivery->recipients) {
      writeEntry(recipientJson(outcome.address, outcome.status, delivery->replyOf(outcome), temporary));
    }
  } else {
    for (const std::string& address : recipients) {
      writeEntry(recipientJson(address, RecipientStatus::kPending, nullptr, temporary));
    }
  }
  out << (first ? "]\n}\n" : "\n  ]\n}\n");
}

std::string reportJson(const JobSettings& settings, const RunRecord& record,
                       const std::vector<std::string>& recipients) {
  std::ostringstream out;
  writeReportJson(out, settings, record, recipients);
  return out.str();
}

}  // namespace larkpost
