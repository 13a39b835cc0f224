// --report: one JSON object a script can read to learn what happened to each recipient
// and whether trying again later could help.
#ifndef LARKPOST_INVOCATION_REPORT_H_
#define LARKPOST_INVOCATION_REPORT_H_

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/job_settings.h"
#include "smtp/delivery.h"

namespace larkpost {

// What a run learned, whether or not it got as far as delivering.
struct RunRecord {
  std::optional<DeliveryOutcome> delivery;  // when delivery began
  std::optional<std::string> messageId;   // when Larkpost wrote the Message-ID field
  bool failed = false;
  bool temporary = false;
  std::string reason;  // the system's words on why the run failed, when it gave any
  // What ended the run before delivery began, when something did.
  std::string failureMessage;
  FailureCause cause = FailureCause::kDelivery;
};

// The enhanced status code (RFC 3463) a reply line begins with, such as "2.1.5".
std::optional<std::string> enhancedStatusCode(std::string_view replyLine);

// The report as JSON text, ending with a line end. Bytes that are not UTF-8 (a server's
// own words may hold anything) come out as U+FFFD.
// `recipients` (in sending order) stand in the report when delivery never began.
// Written to `out` as it is made, so a long list costs no more memory than its outcome.
void writeReportJson(std::ostream& out, const JobSettings& settings, const RunRecord& record,
                     const std::vector<std::string>& recipients);
std::string reportJson(const JobSettings& settings, const RunRecord& record,
                       const std::vector<std::string>& recipients);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_REPORT_H_
