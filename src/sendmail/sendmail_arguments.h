// The sendmail mode's command line: sendmail's own conventions, read into what they ask
// for, without any I/O.
#ifndef LARKPOST_SENDMAIL_SENDMAIL_ARGUMENTS_H_
#define LARKPOST_SENDMAIL_SENDMAIL_ARGUMENTS_H_

#include <optional>
#include <span>
#include <string>
#include <vector>

namespace larkpost {

struct SendmailArguments {
  std::vector<std::string> recipients;      // each address, in command-line order
  std::optional<std::string> sender;        // -f, -r: the envelope sender
  std::optional<std::string> fullName;      // -F: the name in a From field Larkpost writes
  std::optional<std::string> settingsPath;  // -C
  std::string notify;                       // -N, upper-cased for the wire
  std::string ret;                          // -R, upper-cased
  std::string envid;                        // -V
  bool headerRecipients = false;            // -t
  bool fullStopEnds = true;                 // cleared by -i and -oi
  bool queueRun = false;                    // -q: there is no queue, nothing to do
  std::string error;                        // a usage error, when not empty
};

// Reads args[first] on. Options come first, getopt's way: flags may be grouped (-ti),
// a value may follow its letter or be the next argument (-f addr, -faddr); "--" or the
// first argument that is no option ends them. Each remaining argument is an address
// list ("a@x, Name <b@y>"). Options with no meaning here (-oXXX, -odi, -oem, -v, -m,
// -n, -U, -L, -O, -X, -h, -p, -d) are taken and ignored.
SendmailArguments parseSendmailArguments(std::span<const std::string> args, std::size_t first);

}  // namespace larkpost

#endif  // LARKPOST_SENDMAIL_SENDMAIL_ARGUMENTS_H_
