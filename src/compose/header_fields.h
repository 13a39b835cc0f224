// The header fields the program writes: origination date, originator, message
// identifier, subject, the text's and the attachment parts' fields, each well-formed (folded within
// 78 characters where blanks allow, never over 998) and safe to put into a header.
#ifndef LARKPOST_COMPOSE_HEADER_FIELDS_H_
#define LARKPOST_COMPOSE_HEADER_FIELDS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace larkpost {

// Longest line a folded field aims for, and the longest RFC 5322 allows at all (both
// without CR LF).
constexpr std::size_t kFoldedLineLength = 78;
constexpr std::size_t kLongestHeaderLine = 998;

// `text` with every CR and LF replaced by a blank, so it cannot start a field of its own.
std::string singleLine(std::string_view text);

// The field "Name: value", given on one line, folded before blanks into lines of at most
// 78 characters where the blanks allow, each ended by CR LF. No line is blanks alone.
std::string foldField(std::string_view field);

// `text` as RFC 2047 encoded words (UTF-8, B or Q encoding, whichever is shorter), joined
// by blanks; each word short enough to stand with a field name on a folded line, and
// never splitting a UTF-8 character.
std::string encodedWords(std::string_view text);

// True for an RFC 5322 dot-atom such as example.com.
bool isDotAtom(std::string_view text);

// The domain for the right side of identifiers: `domain` when it is a dot-atom, else
// localhost.localdomain.
std::string headerDomain(std::string_view domain);

// "Date: Sun, 06 Dec 2026 21:46:55 +0100\r\n" (RFC 5322 3.3).
std::string dateField(const platform::LocalTime& time);

// "From: Name <address>\r\n"; the name is quoted when it holds specials, encoded when it
// holds 8-bit bytes, control characters or words too long for a line, and left out when
// empty. An empty address (the null sender) is written MAILER-DAEMON@domain.
std::string fromField(std::string_view name, std::string_view address, std::string_view domain);

// "Subject: ...\r\n", folded, or encoded as `fromField` encodes a name.
std::string subjectField(std::string_view subject);

// "Message-ID: <...@domain>\r\n", unique by time, process and `nonce`.
std::string messageIdField(const platform::LocalTime& time, std::uint32_t processId,
                           std::uint32_t nonce, std::string_view domain);

// Longest charset name IANA registers (RFC 2978).
constexpr std::size_t kLongestCharsetName = 40;

// True for a name that can follow "charset=": an RFC 2045 token (printable ASCII but
// blanks and tspecials) of at most kLongestCharsetName characters.
bool isCharsetName(std::string_view text);

// "Content-Type: text/plain; charset=\"...\"\r\n", or text/html when `html`.
std::string textContentTypeField(bool html, std::string_view charset);

// The attachment part's Content-Type, Content-Disposition and Content-Transfer-Encoding
// fields and the empty line after them. A name in printable ASCII is quoted; any other
// is sent in RFC 2231 form.
std::string attachmentFields(std::string_view name);

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_HEADER_FIELDS_H_
