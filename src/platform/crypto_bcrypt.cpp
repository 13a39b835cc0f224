// The primitives from CNG (bcrypt.dll), part of every Windows since Vista.
#include <windows.h>
#include <bcrypt.h>

#include <memory>

#include "platform/crypto.h"

namespace larkpost::platform {
namespace {

constexpr std::size_t kSha256Size = 32;

struct AlgorithmClose {
  void operator()(BCRYPT_ALG_HANDLE handle) const { BCryptCloseAlgorithmProvider(handle, 0); }
};

// SHA-256 with or without the HMAC flag; null when CNG cannot give it.
std::unique_ptr<void, AlgorithmClose> sha256Provider(bool hmac) {
  BCRYPT_ALG_HANDLE handle = nullptr;
  if (BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr,
                                  hmac ? BCRYPT_ALG_HANDLE_HMAC_FLAG : 0) != 0) {
    return nullptr;
  }
  return std::unique_ptr<void, AlgorithmClose>(handle);
}

std::string hashWith(bool hmac, std::string_view key, std::string_view data) {
  std::string digest(kSha256Size, '\0');
  auto provider = sha256Provider(hmac);
  if (!provider) return digest;
  BCRYPT_HASH_HANDLE hash = nullptr;
  auto* keyBytes = reinterpret_cast<PUCHAR>(const_cast<char*>(key.data()));
  if (BCryptCreateHash(provider.get(), &hash, nullptr, 0, hmac ? keyBytes : nullptr,
                       hmac ? static_cast<ULONG>(key.size()) : 0, 0) != 0) {
    return digest;
  }
  BCryptHashData(hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                 static_cast<ULONG>(data.size()), 0);
  BCryptFinishHash(hash, reinterpret_cast<PUCHAR>(digest.data()), static_cast<ULONG>(digest.size()), 0);
  BCryptDestroyHash(hash);
  return digest;
}

}  // namespace

std::string sha256(std::string_view data) { return hashWith(false, {}, data); }

std::string hmacSha256(std::string_view key, std::string_view data) {
  return hashWith(true, key, data);
}

std::string pbkdf2Sha256(std::string_view password, std::string_view salt, unsigned iterations) {
  std::string key(kSha256Size, '\0');
  auto provider = sha256Provider(true);
  if (!provider) return key;
  BCryptDeriveKeyPBKDF2(provider.get(), reinterpret_cast<PUCHAR>(const_cast<char*>(password.data())),
                        static_cast<ULONG>(password.size()),
                        reinterpret_cast<PUCHAR>(const_cast<char*>(salt.data())),
                        static_cast<ULONG>(salt.size()), iterations,
                        reinterpret_cast<PUCHAR>(key.data()), static_cast<ULONG>(key.size()), 0);
  return key;
}

std::optional<std::string> randomBytes(std::size_t count) {
  std::string bytes(count, '\0');
  if (BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(count),
                      BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) {
    return std::nullopt;
  }
  return bytes;
}

}  // namespace larkpost::platform
