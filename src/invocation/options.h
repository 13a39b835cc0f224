// The command-line options, the recipients-needed check and the usage text.
#ifndef LARKPOST_INVOCATION_OPTIONS_H_
#define LARKPOST_INVOCATION_OPTIONS_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "core/job_settings.h"

namespace larkpost {

// An attachment found and opened.
struct FoundFile {
  std::string name;  // as stored, without directory
  std::shared_ptr<platform::File> file;
};

// Finds and opens the attachment; std::nullopt when not found.
using FileFinder = std::function<std::optional<FoundFile>(const std::string&)>;

struct OptionsOutcome {
  std::size_t firstRecipient = 0;  // index of the first argument that is not an option
  bool usageRequested = false;     // -? was given: print the usage and end the run
  bool helpRequested = false;      // --help: the usage and the long options, then end
  bool versionRequested = false;   // --version
  std::string invalid;             // the message for a value an option cannot take
};

// Applies the options from args[first] on to `settings`, in order, printing the
// warnings about unknown switches, missing values and missing attachments to `out`.
// An argument that begins with "--" is a long option, "--name" or "--name=value"; its
// value never comes from the next argument.
OptionsOutcome parseOptions(std::span<const std::string> args, std::size_t first,
                            JobSettings& settings, const FileFinder& findFile,
                            std::ostream& out);

// True when the run has a source of recipients: arguments left after the options, a
// list file or the message header.
bool hasRecipientSource(std::size_t firstRecipient, std::size_t argumentCount,
                        const JobSettings& settings);

void printUsage(std::ostream& out);

// The usage, then each long option on a line of its own.
void printHelp(std::ostream& out);

// The server as -s or Server= gives it: an IPv6 address in brackets, as mail addresses
// write it ("[2001:db8::25]"), is that address; the brackets are no part of the name
// connected to or checked against the certificate. Anything else is kept as written.
std::string serverAddress(std::string_view written);

// A decimal integer as C reads it: leading white space, an optional sign, digits up to
// the first non-digit, wrapping modulo 2^32; no digit gives 0.
std::int32_t parseInteger(std::string_view text);

struct PortValue {
  std::string written;  // the sign and digits as written
  std::int32_t port;    // the port they name, 0 for none
};

// A port read the way parseInteger reads, but judged on the number as written, never
// wrapped: 4294967321 names no port, though it wraps to 25. std::nullopt when no digit
// follows the optional blanks and sign.
std::optional<PortValue> parsePort(std::string_view text);

// Sets the port and its text as written from `text`; without digits, the value reads
// as 0, which names no port either.
void setPort(JobSettings& settings, std::string_view text);

}  // namespace larkpost

#endif  // LARKPOST_INVOCATION_OPTIONS_H_
