// The few cryptographic primitives the logins need, from the system's own library:
// OpenSSL on POSIX (crypto_openssl.cpp), CNG (BCrypt) on Windows (crypto_bcrypt.cpp).
#ifndef LARKPOST_PLATFORM_CRYPTO_H_
#define LARKPOST_PLATFORM_CRYPTO_H_

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace larkpost::platform {

// SHA-256 of `data`: 32 raw bytes.
std::string sha256(std::string_view data);

// HMAC-SHA-256 of `data` under `key`: 32 raw bytes.
std::string hmacSha256(std::string_view key, std::string_view data);

// PBKDF2 with HMAC-SHA-256: 32 raw bytes.
std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations);

// `count` bytes from the system's cryptographic random generator; std::nullopt when it
// fails (nothing weaker is used instead).
std::optional<std::string> randomBytes(std::size_t count);

}  // namespace larkpost::platform

#endif  // LARKPOST_PLATFORM_CRYPTO_H_
