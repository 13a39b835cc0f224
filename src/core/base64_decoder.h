// Base64 text back into bytes: server challenges (SCRAM) and the claims of an ID token.
#ifndef LARKPOST_CORE_BASE64_DECODER_H_
#define LARKPOST_CORE_BASE64_DECODER_H_

#include <optional>
#include <cstdint>
#include <string>
#include <string_view>

namespace larkpost {

// The bytes of `text` (standard alphabet, padded to a multiple of four); std::nullopt for
// anything else, white space included.
std::optional<std::string> decodeBase64(std::string_view text);

}  // namespace larkpost

#endif  // LARKPOST_CORE_BASE64_DECODER_H_
