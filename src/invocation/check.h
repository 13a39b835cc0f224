// --check: connects as the settings say and shows what the server offers and whether
// the certificate and the login work, without sending any mail.
#ifndef LARKPOST_INVOCATION_CHECK_H_
#define LARKPOST_INVOCATION_CHECK_H_

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "core/job_settings.h"
#include "smtp/trace.h"

namespace larkpost {

// Warnings about settings that providers refuse although a test server may take them:
// an Address without a domain, and a password sent without TLS to another machine.
std::vector<std::string> settingsAdvice(const JobSettings& settings);

// A warning when the certificate's end of validity, as TlsCertificate::notAfter gives it
// ("2026-12-07 09:30:00 UTC"), is less than 14 days after `now`.
std::optional<std::string> expiryAdvice(const std::string& notAfter,
                                        const platform::LocalTime& now);

// Prints one finding a line ("Name: value"), ending with "Check: passed" or the failure
// and "Check: failed". Returns the exit status: 0 when everything configured works.
int checkServer(JobSettings& settings, std::ostream& out, Trace* trace = nullptr);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_CHECK_H_
