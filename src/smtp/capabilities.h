// What the server offers in its EHLO reply (RFC 5321 4.1.1.1): the extension keywords
// this client uses, and the whole list for a person to read.
#ifndef LARKPOST_SMTP_CAPABILITIES_H_
#define LARKPOST_SMTP_CAPABILITIES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "smtp/reply_reader.h"

namespace larkpost {

struct ServerCapabilities {
  bool extended = false;  // the server took EHLO; without it nothing below is offered
  bool startTls = false;
  bool pipelining = false;
  bool eightBitMime = false;
  bool smtpUtf8 = false;
  bool enhancedStatusCodes = false;
  bool dsn = false;  // delivery status notifications (RFC 3461)
  // SIZE (RFC 1870): offered, and the largest message the server takes (0: no limit
  // announced).
  bool size = false;
  std::uint64_t sizeLimit = 0;
  // AUTH mechanisms in the server's order, upper-cased; the old "AUTH=" form counts too.
  std::vector<std::string> authMechanisms;
  // Every line after the greeting line, as the server wrote it.
  std::vector<std::string> keywordLines;

  bool offersAuth(std::string_view mechanism) const;
};

// Reads the keywords of an accepted EHLO reply, in any letter case.
ServerCapabilities parseEhloReply(const Reply& reply);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_CAPABILITIES_H_
