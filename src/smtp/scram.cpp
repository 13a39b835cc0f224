// The user name is escaped as RFC 5802 asks (",", "=") and the password is used as it is
// in UTF-8; SASLprep would change only names and passwords outside printable ASCII.
#include "smtp/scram.h"

#include <charconv>

#include "core/base64_decoder.h"
#include "core/base64_encoder.h"
#include "core/secret.h"
#include "platform/crypto.h"
#include "smtp/sasl.h"

namespace larkpost {
namespace {

// The value of attribute `name` ("r", "s", "i", "v") in a SCRAM message.
std::optional<std::string_view> attribute(std::string_view message, char name) {
  while (!message.empty()) {
    std::size_t end = message.find(',');
    std::string_view part = message.substr(0, end);
    if (part.size() >= 2 && part[0] == name && part[1] == '=') return part.substr(2);
    if (end == std::string_view::npos) break;
    message.remove_prefix(end + 1);
  }
  return std::nullopt;
}

std::string xored(std::string_view a, std::string_view b) {
  std::string out(a);
  for (std::size_t i = 0; i < out.size() && i < b.size(); ++i) {
    out[i] = static_cast<char>(out[i] ^ b[i]);
  }
  return out;
}

}  // namespace

ScramSha256::ScramSha256(std::string_view user, std::string_view password, std::string clientNonce)
    : user_(gs2Name(user)), password_(password), clientNonce_(std::move(clientNonce)) {}

ScramSha256::~ScramSha256() {
  wipe(password_);
  wipe(expectedServerSignature_);
}

std::string ScramSha256::clientFirst() const { return "n,,n=" + user_ + ",r=" + clientNonce_; }

std::optional<std::string> ScramSha256::clientFinal(std::string_view serverFirst) {
  std::optional<std::string_view> nonce = attribute(serverFirst, 'r');
  std::optional<std::string_view> salt64 = attribute(serverFirst, 's');
  std::optional<std::string_view> count = attribute(serverFirst, 'i');
  if (!nonce || !salt64 || !count || !nonce->starts_with(clientNonce_) ||
      nonce->size() == clientNonce_.size()) {
    return std::nullopt;
  }
  std::optional<std::string> salt = decodeBase64(*salt64);
  unsigned iterations = 0;
  auto [end, error] = std::from_chars(count->data(), count->data() + count->size(), iterations);
  if (!salt || salt->empty() || error != std::errc() || end != count->data() + count->size() ||
      iterations == 0 || iterations > kMostIterations) {
    return std::nullopt;
  }
  std::string withoutProof = "c=biws,r=" + std::string(*nonce);
  std::string authMessage = clientFirst().substr(3) + "," + std::string(serverFirst) + "," + withoutProof;
  std::string salted = platform::pbkdf2Sha256(password_, *salt, iterations);
  std::string clientKey = platform::hmacSha256(salted, "Client Key");
  std::string storedKey = platform::sha256(clientKey);
  std::string clientSignature = platform::hmacSha256(storedKey, authMessage);
  std::string proof = xored(clientKey, clientSignature);
  std::string serverKey = platform::hmacSha256(salted, "Server Key");
  expectedServerSignature_ = platform::hmacSha256(serverKey, authMessage);
  std::string final = withoutProof + ",p=" + Base64Encoder::encodeUnbroken(proof);
  for (std::string* key : {&salted, &clientKey, &storedKey, &clientSignature, &proof, &serverKey}) {
    wipe(*key);
  }
  return final;
}

bool ScramSha256::serverVerified(std::string_view serverFinal) const {
  if (expectedServerSignature_.empty()) return false;
  std::optional<std::string_view> verifier = attribute(serverFinal, 'v');
  if (!verifier) return false;
  std::optional<std::string> signature = decodeBase64(*verifier);
  return signature && *signature == expectedServerSignature_;
}

}  // namespace larkpost
