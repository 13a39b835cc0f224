// What the three files of the SChannel backend share: the Windows headers in the order
// they need, the handles they pass to each other, and the few functions one file offers
// the others. tls_schannel.cpp runs the connection (credentials, handshake, records),
// tls_schannel_certificates.cpp reads and checks the server's certificates, and
// tls_schannel_text.cpp puts Windows' codes and strings into words. Private to them.
#ifndef LARKPOST_PLATFORM_TLS_SCHANNEL_H_
#define LARKPOST_PLATFORM_TLS_SCHANNEL_H_

#define SECURITY_WIN32
#define SCHANNEL_USE_BLACKLISTS
#define CERT_CHAIN_PARA_HAS_EXTRA_FIELDS

// Each of these needs the ones before it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <wincrypt.h>
#include <security.h>
#include <subauth.h>
#include <schannel.h>
// clang-format on

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls.h"

namespace larkpost::platform::schannel {

// Algorithm identifiers the headers declare only for builds aimed at newer systems.
inline constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;
inline constexpr ALG_ID kSha384 = ALG_CLASS_HASH | ALG_TYPE_ANY | 13;
inline constexpr ALG_ID kSha512 = ALG_CLASS_HASH | ALG_TYPE_ANY | 14;
inline constexpr ALG_ID kEcdh = ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH | 5;
inline constexpr ALG_ID kEcdhEphemeral = ALG_CLASS_KEY_EXCHANGE | (7 << 9) | 6;

// --- Handles ---------------------------------------------------------------------

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct StoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using StorePtr = std::unique_ptr<void, StoreClose>;

// --- Text (tls_schannel_text.cpp) --------------------------------------------------

// Two upper-case hex digits.
void appendHexByte(std::string& text, unsigned char byte);
// "0x80090308"
std::string hexCode(std::uint32_t code);

// `text` on one printable line, as the OpenSSL build writes it: control bytes (and, with
// `asciiOnly`, everything above 0x7E) become \xNN.
std::string printableLine(std::string_view text, bool asciiOnly = false);

// The system's words for an error code, then the code in hex.
std::string systemMessage(std::uint32_t code);

// "TLS 1.2", from the protocol bits SChannel reports.
std::string protocolName(DWORD protocol);
bool isTls12OrNewer(DWORD protocol);

// "ECDHE, AES-256, SHA-384", for when SChannel cannot name the cipher suite itself.
std::string readableCipher(const SecPkgContext_ConnectionInfo& info);
// Whether SChannel's suite name is a whole standard one, not one with placeholders.
bool isStandardSuiteName(std::wstring_view name);

// --- Certificates (tls_schannel_certificates.cpp) ----------------------------------

// What the certificate must name: an address, without an IPv6 zone, or a name, without
// the root's final dot, which SNI never carries.
struct ServerIdentity {
  std::string text;
  std::optional<std::vector<BYTE>> address;
};

// std::nullopt for a host that is neither an address nor a possible name.
std::optional<ServerIdentity> serverIdentity(std::string_view host);

// The certificates of a PEM file as a store of their own; null, with `failure` saying
// why, when the file cannot be read or holds no usable certificate.
StorePtr loadCaFile(const std::string& path, std::string& failure);

// Fills the chain, fingerprint and trust verdict of `details` from the server's
// certificate `leaf` (null when it sent none), checked against `caStore`, or the
// system's roots when that is null; any fetching of issuers ends at `deadline`.
void describeServer(const CERT_CONTEXT* leaf, const ServerIdentity& server, HCERTSTORE caStore,
                    std::int64_t deadline, TlsDetails& details);

}  // namespace larkpost::platform::schannel

#endif  // LARKPOST_PLATFORM_TLS_SCHANNEL_H_
