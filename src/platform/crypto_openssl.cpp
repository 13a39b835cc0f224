// The primitives from OpenSSL's libcrypto, which the TLS connection links already: they
// live in its module, larkpost-tls-openssl.so, which the program loads on first use.
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include "platform/crypto.h"

namespace larkpost::platform {

constexpr std::size_t kSha256Size = 32;

std::string sha256(std::string_view data) {
  std::string digest(kSha256Size, '\0');
  unsigned int size = 0;
  EVP_Digest(data.data(), data.size(), reinterpret_cast<unsigned char*>(digest.data()), &size,
             EVP_sha256(), nullptr);
  return digest;
}

std::string hmacSha256(std::string_view key, std::string_view data) {
  std::string mac(kSha256Size, '\0');
  unsigned int size = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(data.data()), data.size(),
       reinterpret_cast<unsigned char*>(mac.data()), &size);
  return mac;
}

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations) {
  std::string key(kSha256Size, '\0');
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(salt.data()), static_cast<int>(salt.size()),
                    static_cast<int>(iterations), EVP_sha256(), static_cast<int>(key.size()),
                    reinterpret_cast<unsigned char*>(key.data()));
  return key;
}

std::optional<std::string> randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(bytes.data()), static_cast<int>(count)) != 1) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace larkpost::platform
