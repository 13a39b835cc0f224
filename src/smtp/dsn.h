// Delivery status notifications (RFC 3461): the parameters that ask the server for them,
// NOTIFY and ORCPT on each RCPT, RET and ENVID on MAIL, and the xtext they are written in.
#ifndef LARKPOST_SMTP_DSN_H_
#define LARKPOST_SMTP_DSN_H_

#include <optional>
#include <string>
#include <string_view>

namespace larkpost {

// Longest ENVID value, xtext-encoded (RFC 3461 4.4).
constexpr std::size_t kMaxEnvidLength = 100;
// Longest ORCPT value sent: RFC 3461 lets a RCPT command grow by 500 characters, of
// which NOTIFY takes at most 30.
constexpr std::size_t kMaxOriginalRecipientLength = 460;

// What the run asks for; each part empty when not asked.
struct DsnRequest {
  std::string notify;  // "NEVER" or a comma list of SUCCESS, FAILURE, DELAY
  std::string ret;     // "HDRS" or "FULL"
  std::string envid;   // as given, not yet encoded
};

// `text` in xtext: '+', '=' and every byte outside '!' to '~' as "+XX" (upper-case hex).
std::string xtext(std::string_view text);

// "never" or a comma list of success, failure and delay, in any letter case, each once,
// never with "never": upper-cased for the wire; std::nullopt otherwise.
std::optional<std::string> normalizedNotify(std::string_view text);

// "hdrs" or "full" in any letter case, upper-cased; std::nullopt otherwise.
std::optional<std::string> normalizedReturn(std::string_view text);

// True when the ENVID fits its bound once encoded.
bool isSendableEnvid(std::string_view envid);

// " RET=... ENVID=..." for MAIL FROM, each part only when asked (an ENVID too long to
// send is left out).
std::string dsnMailParameters(const DsnRequest& request);

// " NOTIFY=..." when asked, and " ORCPT=rfc822;..." naming `address`, unless it holds
// bytes above 0x7F (which rfc822 cannot name) or would be too long.
std::string dsnRecipientParameters(const DsnRequest& request, std::string_view address);

}  // namespace larkpost

#endif  // LARKPOST_SMTP_DSN_H_
