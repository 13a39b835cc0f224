// Turning the bytes of text files, and of a command's output, into UTF-8: the one rule
// every build follows, so one file means the same to each. Pure text work: the caller
// brings the conversion of the local code page.
#ifndef LARKPOST_PLATFORM_TEXT_DECODING_H_
#define LARKPOST_PLATFORM_TEXT_DECODING_H_

#include <string>
#include <string_view>

namespace larkpost::platform {

// Converts text in a legacy single- or multi-byte code page to UTF-8.
using LegacyDecoder = std::string (*)(std::string_view bytes);

// UTF-16 to UTF-8: an unpaired surrogate becomes U+FFFD, an odd last byte is dropped.
std::string utf16ToUtf8(std::string_view bytes, bool bigEndian);

// Whether `bytes` is well-formed UTF-8: no overlong forms, no surrogates, nothing past
// U+10FFFF, no sequence cut short.
bool isValidUtf8(std::string_view bytes);

// windows-1252 to UTF-8; the five bytes it leaves undefined become U+0081, U+008D,
// U+008F, U+0090 and U+009D, as Windows converts them.
std::string windows1252ToUtf8(std::string_view bytes);

// The text of a file's bytes in UTF-8: after a UTF-16 byte-order mark (little- or
// big-endian) the UTF-16 that follows; after a UTF-8 byte-order mark the bytes that
// follow; bytes that are valid UTF-8 as they are; anything else through `legacy`.
std::string decodeTextFile(std::string_view bytes, LegacyDecoder legacy);

// The text of a command's output in UTF-8. UTF-16 (little-endian, as `cmd /u` writes it)
// when it starts with its byte-order mark or its first character is ASCII followed by a
// NUL byte; else like a file, without the UTF-16 marks.
std::string decodeCommandOutput(std::string_view bytes, LegacyDecoder legacy);

// The text before the first CR, LF or NUL: what a one-line answer, such as a password,
// can hold.
std::string_view firstLineOf(std::string_view text);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_TEXT_DECODING_H_
