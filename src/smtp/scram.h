// SCRAM-SHA-256 (RFC 5802, RFC 7677), the client's side: the password never crosses the
// connection, and the server proves it knows the password too. Pure logic; the hashing
// comes from the platform.
#ifndef LARKPOST_SMTP_SCRAM_H_
#define LARKPOST_SMTP_SCRAM_H_

#include <optional>
#include <string>
#include <string_view>

namespace larkpost {

class ScramSha256 {
 public:
  // Iteration counts above this are refused: a hostile server could otherwise keep the
  // client busy for hours.
  static constexpr unsigned kMostIterations = 1000000;

  // `clientNonce` is printable ASCII without a comma, made fresh for each login.
  ScramSha256(std::string_view user, std::string_view password, std::string clientNonce);
  ~ScramSha256();
  ScramSha256(const ScramSha256&) = delete;
  ScramSha256& operator=(const ScramSha256&) = delete;

  // "n,,n=user,r=nonce": no channel binding, no authorization identity.
  std::string clientFirst() const;

  // The client-final message (with the proof) for the server-first message; std::nullopt
  // when that is malformed or its nonce does not extend ours.
  std::optional<std::string> clientFinal(std::string_view serverFirst);

  // True when the server-final message carries the server signature expected for this
  // exchange.
  bool serverVerified(std::string_view serverFinal) const;

 private:
  std::string user_;
  std::string password_;
  std::string clientNonce_;
  std::string expectedServerSignature_;  // raw bytes, once clientFinal succeeded
};

}  // namespace larkpost

#endif  // LARKPOST_SMTP_SCRAM_H_
