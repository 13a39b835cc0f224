// --check: connects as the settings say and shows what the server offers and whether
// the certificate and the login work, without sending any mail.
#ifndef LARKPOST_INVOCATION_CHECK_H_
#define LARKPOST_INVOCATION_CHECK_H_

#include <ostream>

#include "core/job_settings.h"
#include "smtp/trace.h"

namespace larkpost {

// Prints one finding a line ("Name: value"), ending with "Check: passed" or the failure
// and "Check: failed". Returns the exit status: 0 when everything configured works.
int checkServer(JobSettings& settings, std::ostream& out, Trace* trace = nullptr);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_CHECK_H_
