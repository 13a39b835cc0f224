// Extracts the addresses named by an address header (To, Cc, Bcc, From).
#ifndef LARKPOST_HEADERSCAN_ADDRESS_LIST_H_
#define LARKPOST_HEADERSCAN_ADDRESS_LIST_H_

#include <string>
#include <string_view>
#include <vector>

namespace larkpost {

// The addresses a To, Cc, Bcc or From field names, in order. `value` is the field's
// value after the colon, already unfolded (CR LF before blanks removed; may still hold
// stray CR/LF/tabs, treat them as white space).
//
// Display names, comments, group names and source routes are dropped; each address is
// returned as it would be written in an SMTP command. Malformed input never fails: the
// addresses that can be recovered are returned. No result is empty or holds CR or LF.
std::vector<std::string> parseAddressList(std::string_view value);

}  // namespace larkpost

#endif  // LARKPOST_HEADERSCAN_ADDRESS_LIST_H_
