// The report is built with a JSON library, so quoting and escaping are never our own.
#include "invocation/report.h"

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
  switch (record.delivery->exitStatus()) {
    case 0:
      return "sent";
    case 2:
      return "partial";
    default:
      return "failed";
  }
}

json recipientJson(const std::string& address, const RecipientOutcome* outcome) {
  json entry = {{"address", address}, {"accepted", outcome && outcome->delivered},
                {"code", nullptr}, {"enhanced_code", nullptr}, {"text", nullptr}};
  if (!outcome || !outcome->reply || outcome->reply->lines.empty()) return entry;
  const Reply& reply = *outcome->reply;
  std::string text = reply.text();
  if (reply.wellFormed()) entry["code"] = std::stoi(reply.lines.front().substr(0, 3));
  std::string_view words = std::string_view(text).substr(std::min<std::size_t>(4, text.size()));
  if (std::optional<std::string> enhanced = enhancedStatusCode(reply.lines.front())) {
    entry["enhanced_code"] = *enhanced;
    words.remove_prefix(std::min(words.size(), enhanced->size() + 1));
  }
  entry["text"] = std::string(words);
  return entry;
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

std::string reportJson(const JobSettings& settings, const RunRecord& record,
                       const std::vector<std::string>& recipients) {
  json report = {{"server", settings.server}, {"port", settings.port}, {"tls", nullptr},
                 {"outcome", outcomeName(record)}, {"temporary", record.failed && record.temporary},
                 {"message_id", nullptr}, {"data_reply", nullptr}, {"recipients", json::array()}};
  if (record.messageId) report["message_id"] = *record.messageId;
  if (!record.reason.empty()) report["reason"] = record.reason;
  if (const std::optional<DeliveryOutcome>& delivery = record.delivery) {
    if (delivery->tls) {
      report["tls"] = {{"version", delivery->tls->version}, {"cipher", delivery->tls->cipher},
                       {"verified", delivery->tlsVerified}};
    }
    if (delivery->dataReply) report["data_reply"] = delivery->dataReply->text();
    for (const RecipientOutcome& outcome : delivery->recipients) {
      report["recipients"].push_back(recipientJson(outcome.address, &outcome));
    }
  } else {
    for (const std::string& address : recipients) {
      report["recipients"].push_back(recipientJson(address, nullptr));
    }
  }
  return report.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

}  // namespace larkpost
