// The header fields the program writes: origination date, originator, message
// identifier, and the attachment part's fields, each safe to put into a header.
#ifndef LARKPOST_COMPOSE_HEADER_FIELDS_H_
#define LARKPOST_COMPOSE_HEADER_FIELDS_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/platform.h"

namespace larkpost {

// `text` with every CR and LF replaced by a blank, so it cannot start a field of its own.
std::string singleLine(std::string_view text);

// "Date: Sun, 06 Dec 2026 21:46:55 +0100\r\n" (RFC 5322 3.3).
std::string dateField(const platform::LocalTime& time);

// "From: Name <address>\r\n"; the name is quoted when it holds specials, and left out
// when empty.
std::string fromField(std::string_view name, std::string_view address);

// "Message-ID: <...@domain>\r\n", unique by time, process and `nonce`.
std::string messageIdField(const platform::LocalTime& time, std::uint32_t processId,
                           std::uint32_t nonce, std::string_view domain);

// The attachment part's Content-Type, Content-Disposition and Content-Transfer-Encoding
// fields and the empty line after them. A name in printable ASCII is quoted; any other
// is sent in RFC 2231 form.
std::string attachmentFields(std::string_view name);

}  // namespace larkpost

#endif  // LARKPOST_COMPOSE_HEADER_FIELDS_H_
