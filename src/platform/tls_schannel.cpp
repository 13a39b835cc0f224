// The Windows side of the client TLS interface: SChannel, through SSPI, runs the
// connection; CryptoAPI reads and checks the server's certificates.
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

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls.h"
#include "platform/win32_errors.h"
#include "platform/win32_paths.h"

namespace larkpost::platform {
namespace {

// What the server may send before the handshake is through: its certificates fit many
// times over.
constexpr std::size_t kMaxHandshakeInput = std::size_t{1} << 20;
// The largest TLS record: header, 16 KiB of data and what protection adds.
constexpr std::size_t kMaxRecordBytes = 5 + 16384 + 2048;
// Bytes asked of the transport at a time.
constexpr std::size_t kReadChunk = 32 * 1024;
// Encrypted records are gathered up to this size before they go out, so a large
// message costs few system calls.
constexpr std::size_t kGatherBytes = 256 * 1024;
// How long the close_notify may take to leave; nobody waits for the answer.
constexpr std::int64_t kCloseNotifyMillis = 1000;
// A system-wide bundle is a few hundred kilobytes.
constexpr std::int64_t kMaxCaFileBytes = std::int64_t{16} << 20;

// Algorithm identifiers the headers declare only for builds aimed at newer systems.
constexpr ALG_ID kSha256 = ALG_CLASS_HASH | ALG_TYPE_ANY | 12;
constexpr ALG_ID kSha384 = ALG_CLASS_HASH | ALG_TYPE_ANY | 13;
constexpr ALG_ID kSha512 = ALG_CLASS_HASH | ALG_TYPE_ANY | 14;
constexpr ALG_ID kEcdh = ALG_CLASS_KEY_EXCHANGE | ALG_TYPE_DH | 5;
constexpr ALG_ID kEcdhEphemeral = ALG_CLASS_KEY_EXCHANGE | (7 << 9) | 6;

constexpr unsigned char kAlertRecord = 21;
constexpr unsigned char kHandshakeRecord = 22;

// --- Text ------------------------------------------------------------------------

std::string narrow(std::wstring_view wide) {
  if (wide.empty()) return {};
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                   0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<std::size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), text.data(), length,
                      nullptr, nullptr);
  return text;
}

std::wstring widen(std::string_view text) {
  if (text.empty()) return {};
  int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return wide;
}

constexpr char kHexDigits[] = "0123456789ABCDEF";

void appendHexByte(std::string& text, unsigned char byte) {
  text += kHexDigits[byte >> 4];
  text += kHexDigits[byte & 0x0F];
}

std::string hexCode(std::uint32_t code) {
  std::string text = "0x";
  for (int shift = 24; shift >= 0; shift -= 8) {
    appendHexByte(text, static_cast<unsigned char>(code >> shift));
  }
  return text;
}

// `text` on one printable line, as the OpenSSL build writes it: control bytes (and, for
// bytes that are not text, everything above 0x7E) become \xNN; UTF-8's C1 controls are
// escaped byte by byte.
std::string printableLine(std::string_view text, bool asciiOnly = false) {
  std::string line;
  line.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto byte = static_cast<unsigned char>(text[i]);
    auto next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    auto previous = i > 0 ? static_cast<unsigned char>(text[i - 1]) : 0;
    bool c1 = (byte == 0xC2 && next >= 0x80 && next < 0xA0) ||
              (previous == 0xC2 && byte >= 0x80 && byte < 0xA0);
    if (byte < 0x20 || byte == 0x7F || (asciiOnly && byte > 0x7F) || c1) {
      line += "\\x";
      appendHexByte(line, byte);
    } else {
      line += static_cast<char>(byte);
    }
  }
  return line;
}

// The system's words for an error code, then the code, since the words alone may not
// be enough to look the problem up.
std::string systemMessage(std::uint32_t code) {
  std::string message = systemErrorText(code);
  while (!message.empty() && message.back() == '.') message.pop_back();
  return message + " (" + hexCode(code) + ")";
}

void appendTwoDigits(std::string& text, int value) {
  text += static_cast<char>('0' + value / 10 % 10);
  text += static_cast<char>('0' + value % 10);
}

// "2026-12-07 09:30:00 UTC"
std::string utcText(const FILETIME& time) {
  SYSTEMTIME utc;
  if (!FileTimeToSystemTime(&time, &utc)) return {};
  std::string text = std::to_string(utc.wYear);
  const std::pair<char, WORD> fields[] = {
      {'-', utc.wMonth}, {'-', utc.wDay}, {' ', utc.wHour}, {':', utc.wMinute}, {':', utc.wSecond}};
  for (auto [separator, value] : fields) {
    text += separator;
    appendTwoDigits(text, value);
  }
  return text + " UTC";
}

// --- Handles ---------------------------------------------------------------------

struct LocalMemoryFree {
  void operator()(void* memory) const { LocalFree(memory); }
};
template <typename T>
using LocalPtr = std::unique_ptr<T, LocalMemoryFree>;

struct ContextBufferFree {
  void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};
using ContextBufferPtr = std::unique_ptr<void, ContextBufferFree>;

struct CertificateFree {
  void operator()(PCCERT_CONTEXT certificate) const { CertFreeCertificateContext(certificate); }
};
using CertificatePtr = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

struct StoreClose {
  void operator()(HCERTSTORE store) const { CertCloseStore(store, 0); }
};
using StorePtr = std::unique_ptr<void, StoreClose>;

struct ChainFree {
  void operator()(PCCERT_CHAIN_CONTEXT chain) const { CertFreeCertificateChain(chain); }
};
using ChainPtr = std::unique_ptr<const CERT_CHAIN_CONTEXT, ChainFree>;

struct ChainEngineFree {
  void operator()(HCERTCHAINENGINE engine) const { CertFreeCertificateChainEngine(engine); }
};
using ChainEnginePtr = std::unique_ptr<void, ChainEngineFree>;

struct HandleClose {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using FilePtr = std::unique_ptr<void, HandleClose>;

// One ASN.1 structure decoded by CryptoAPI into memory of its own; null when it is not
// what `type` says.
template <typename T>
LocalPtr<T> decodeObject(LPCSTR type, const BYTE* encoded, DWORD size) {
  void* decoded = nullptr;
  DWORD decodedSize = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, type, encoded, size, CRYPT_DECODE_ALLOC_FLAG, nullptr,
                           &decoded, &decodedSize)) {
    return nullptr;
  }
  return LocalPtr<T>(static_cast<T*>(decoded));
}

// --- Certificate text ------------------------------------------------------------

// The short names OpenSSL prints, so both builds describe a certificate alike.
struct AttributeName {
  std::string_view oid;
  std::string_view name;
};
constexpr AttributeName kAttributeNames[] = {
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "serialNumber"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "ST"},
    {"2.5.4.9", "street"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "title"},
    {"2.5.4.13", "description"},
    {"2.5.4.15", "businessCategory"},
    {"2.5.4.16", "postalAddress"},
    {"2.5.4.17", "postalCode"},
    {"2.5.4.18", "postOfficeBox"},
    {"2.5.4.20", "telephoneNumber"},
    {"2.5.4.41", "name"},
    {"2.5.4.42", "GN"},
    {"2.5.4.43", "initials"},
    {"2.5.4.44", "generationQualifier"},
    {"2.5.4.45", "x500UniqueIdentifier"},
    {"2.5.4.46", "dnQualifier"},
    {"2.5.4.51", "houseIdentifier"},
    {"2.5.4.54", "dmdName"},
    {"2.5.4.65", "pseudonym"},
    {"2.5.4.72", "role"},
    {"2.5.4.97", "organizationIdentifier"},
    {"2.5.4.100", "dnsName"},
    {"1.2.840.113549.1.9.1", "emailAddress"},
    {"1.2.840.113549.1.9.2", "unstructuredName"},
    {"1.2.840.113549.1.9.8", "unstructuredAddress"},
    {"0.9.2342.19200300.100.1.1", "UID"},
    {"0.9.2342.19200300.100.1.25", "DC"},
    {"1.3.6.1.4.1.311.60.2.1.1", "jurisdictionL"},
    {"1.3.6.1.4.1.311.60.2.1.2", "jurisdictionST"},
    {"1.3.6.1.4.1.311.60.2.1.3", "jurisdictionC"},
};

std::string_view attributeName(std::string_view oid) {
  for (const AttributeName& known : kAttributeNames) {
    if (known.oid == oid) return known.name;
  }
  return oid;
}

std::string attributeValue(const CERT_RDN_ATTR& attribute) {
  if (!IS_CERT_RDN_CHAR_STRING(attribute.dwValueType)) {
    // Not text in any encoding its type allows: shown as bytes.
    return printableLine(
        {reinterpret_cast<const char*>(attribute.Value.pbData), attribute.Value.cbData}, true);
  }
  std::wstring_view wide(reinterpret_cast<const wchar_t*>(attribute.Value.pbData),
                         attribute.Value.cbData / sizeof(wchar_t));
  // Some CryptoAPI versions count the terminating NUL.
  if (!wide.empty() && wide.back() == L'\0') wide.remove_suffix(1);
  return printableLine(narrow(wide));
}

// "C=DE, O=Example, CN=smtp.example.com": attributes in the order the certificate
// encodes them, those of one RDN too.
std::string distinguishedName(const CERT_NAME_BLOB& encoded) {
  auto name = decodeObject<CERT_NAME_INFO>(X509_UNICODE_NAME, encoded.pbData, encoded.cbData);
  if (!name) return {};
  std::string text;
  for (DWORD i = 0; i < name->cRDN; ++i) {
    const CERT_RDN& rdn = name->rgRDN[i];
    for (DWORD j = 0; j < rdn.cRDNAttr; ++j) {
      if (!text.empty()) text += ", ";
      text += attributeName(rdn.rgRDNAttr[j].pszObjId);
      text += '=';
      text += attributeValue(rdn.rgRDNAttr[j]);
    }
  }
  return text;
}

TlsCertificate describeCertificate(const CERT_CONTEXT& certificate) {
  const CERT_INFO& info = *certificate.pCertInfo;
  return {distinguishedName(info.Subject), distinguishedName(info.Issuer), utcText(info.NotBefore),
          utcText(info.NotAfter)};
}

std::string sha256Fingerprint(const CERT_CONTEXT& certificate) {
  std::array<BYTE, 32> hash{};
  DWORD size = hash.size();
  // Older systems keep no SHA-256 property; hashing the encoded certificate gives the same.
  if (!CertGetCertificateContextProperty(&certificate, CERT_SHA256_HASH_PROP_ID, hash.data(),
                                         &size) ||
      size != hash.size()) {
    size = hash.size();
    if (!CryptHashCertificate(0, kSha256, 0, certificate.pbCertEncoded, certificate.cbCertEncoded,
                              hash.data(), &size) ||
        size != hash.size()) {
      return {};
    }
  }
  std::string text;
  for (BYTE byte : hash) {
    if (!text.empty()) text += ':';
    appendHexByte(text, byte);
  }
  return text;
}

bool issuedBy(const CERT_CONTEXT& certificate, const CERT_CONTEXT& issuer) {
  return CertCompareCertificateName(X509_ASN_ENCODING,
                                    const_cast<CERT_NAME_BLOB*>(&certificate.pCertInfo->Issuer),
                                    &issuer.pCertInfo->Subject) != FALSE;
}

// The certificates the server sent, its own first. SChannel hands them over as a store,
// which keeps no order, so each is placed after the one it issued; any left over follow.
std::vector<CertificatePtr> sentChain(const CERT_CONTEXT& leaf) {
  std::vector<CertificatePtr> rest;
  PCCERT_CONTEXT found = nullptr;
  while ((found = CertEnumCertificatesInStore(leaf.hCertStore, found)) != nullptr) {
    if (!CertCompareCertificate(X509_ASN_ENCODING, found->pCertInfo, leaf.pCertInfo)) {
      rest.emplace_back(CertDuplicateCertificateContext(found));
    }
  }
  std::vector<CertificatePtr> chain;
  chain.emplace_back(CertDuplicateCertificateContext(&leaf));
  for (;;) {
    const CERT_CONTEXT& last = *chain.back();
    auto issuer = std::find_if(rest.begin(), rest.end(),
                               [&](const CertificatePtr& c) { return issuedBy(last, *c); });
    if (issuer == rest.end() || issuedBy(last, last)) break;
    chain.push_back(std::move(*issuer));
    rest.erase(issuer);
  }
  for (CertificatePtr& certificate : rest) chain.push_back(std::move(certificate));
  return chain;
}

// --- Trust -----------------------------------------------------------------------

struct TrustFinding {
  TrustProblem problem = TrustProblem::kNone;
  std::string detail;
};

// The bytes of an IPv4 or IPv6 literal, as a certificate holds them; std::nullopt for
// a name.
std::optional<std::vector<BYTE>> addressBytes(const std::string& host) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (host.empty() || ::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) {
    return std::nullopt;
  }
  std::optional<std::vector<BYTE>> bytes;
  if (found->ai_family == AF_INET) {
    const auto& address = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    const auto* first = reinterpret_cast<const BYTE*>(&address);
    bytes.emplace(first, first + sizeof address);
  } else if (found->ai_family == AF_INET6) {
    const auto& address = reinterpret_cast<const sockaddr_in6*>(found->ai_addr)->sin6_addr;
    const auto* first = reinterpret_cast<const BYTE*>(&address);
    bytes.emplace(first, first + sizeof address);
  }
  ::freeaddrinfo(found);
  return bytes;
}

// What the certificate must name: an address, without an IPv6 zone, or a name, without
// the root's final dot, which SNI never carries.
struct ServerIdentity {
  std::string text;
  std::optional<std::vector<BYTE>> address;
};

// std::nullopt for a host that is neither an address nor a possible name.
std::optional<ServerIdentity> serverIdentity(std::string_view host) {
  std::string address(host.substr(0, host.find('%')));
  if (std::optional<std::vector<BYTE>> bytes = addressBytes(address)) {
    return ServerIdentity{address, std::move(bytes)};
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.empty() || host.find(':') != std::string_view::npos) return std::nullopt;
  return ServerIdentity{std::string(host), std::nullopt};
}

// Windows' own name check does not look at IP addresses everywhere, so they are compared
// here, as the certificate's subjectAltName lists them.
bool certificateNamesAddress(const CERT_CONTEXT& certificate, const std::vector<BYTE>& address) {
  const CERT_INFO& info = *certificate.pCertInfo;
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
  if (!extension) return false;
  auto names = decodeObject<CERT_ALT_NAME_INFO>(X509_ALTERNATE_NAME, extension->Value.pbData,
                                                extension->Value.cbData);
  if (!names) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
        entry.IPAddress.cbData == address.size() &&
        std::equal(address.begin(), address.end(), entry.IPAddress.pbData)) {
      return true;
    }
  }
  return false;
}

// The chain engine settings as Windows 7 laid them out, the first with an exclusive root
// store. The headers declare those fields only for builds aimed at Windows 7 or later,
// and Wine refuses the size of any later layout.
struct ChainEngineConfigWin7 {
  DWORD cbSize;
  HCERTSTORE hRestrictedRoot;
  HCERTSTORE hRestrictedTrust;
  HCERTSTORE hRestrictedOther;
  DWORD cAdditionalStore;
  HCERTSTORE* rghAdditionalStore;
  DWORD dwFlags;
  DWORD dwUrlRetrievalTimeout;
  DWORD MaximumCachedCertificates;
  DWORD CycleDetectionModulus;
  HCERTSTORE hExclusiveRoot;
  HCERTSTORE hExclusiveTrustedPeople;
};

// A chain engine that trusts the certificates of `trusted` and nothing else.
ChainEnginePtr exclusiveEngine(HCERTSTORE& trusted) {
  ChainEngineConfigWin7 config{};
  config.cbSize = sizeof config;
  // The CA file may hold intermediate certificates as well as roots.
  config.cAdditionalStore = 1;
  config.rghAdditionalStore = &trusted;
  config.hExclusiveRoot = trusted;
  HCERTCHAINENGINE engine = nullptr;
  if (!CertCreateCertificateChainEngine(reinterpret_cast<PCERT_CHAIN_ENGINE_CONFIG>(&config),
                                        &engine)) {
    return nullptr;
  }
  return ChainEnginePtr(engine);
}

DWORD millisLeft(std::int64_t deadline) {
  std::int64_t left = deadline - monotonicMillis();
  return static_cast<DWORD>(std::clamp<std::int64_t>(left, 1, 24 * 3600 * 1000));
}

// Builds the chain from the server's certificate to a root, with what the server sent
// to help. Against the system's store Windows may fetch missing issuers, within the
// deadline; against a CA file it stays off the network.
ChainPtr buildChain(const CERT_CONTEXT& leaf, HCERTSTORE caStore, std::int64_t deadline,
                    std::string& error) {
  ChainEnginePtr engine;
  if (caStore) {
    engine = exclusiveEngine(caStore);
    if (!engine) {
      error = "Windows cannot check against a CA file here: " + systemMessage(GetLastError());
      return nullptr;
    }
  }
  char serverAuthentication[] = szOID_PKIX_KP_SERVER_AUTH;
  LPSTR usages[] = {serverAuthentication};
  CERT_CHAIN_PARA parameters{};
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  parameters.dwUrlRetrievalTimeout = millisLeft(deadline);
  DWORD flags = caStore ? CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL : 0;
  PCCERT_CHAIN_CONTEXT chain = nullptr;
  // A null engine is the current user's, with the system's trusted roots.
  if (!CertGetCertificateChain(static_cast<HCERTCHAINENGINE>(engine.get()), &leaf, nullptr,
                               leaf.hCertStore, &parameters, flags, nullptr, &chain) ||
      !chain || chain->cChain == 0 || chain->rgpChain[0]->cElement == 0) {
    if (chain) CertFreeCertificateChain(chain);
    error = "the certificate chain could not be built: " + systemMessage(GetLastError());
    return nullptr;
  }
  return ChainPtr(chain);
}

std::string certificateLabel(const CERT_SIMPLE_CHAIN& chain, DWORD index) {
  if (index == 0) return "the server's certificate";
  return "the issuer certificate '" +
         distinguishedName(chain.rgpElement[index]->pCertContext->pCertInfo->Subject) + "'";
}

TrustFinding timeFinding(const CERT_SIMPLE_CHAIN& chain) {
  for (DWORD i = 0; i < chain.cElement; ++i) {
    const CERT_INFO& info = *chain.rgpElement[i]->pCertContext->pCertInfo;
    LONG when = CertVerifyTimeValidity(nullptr, const_cast<CERT_INFO*>(&info));
    if (when < 0) {
      return {TrustProblem::kNotYetValid,
              certificateLabel(chain, i) + " is valid only from " + utcText(info.NotBefore)};
    }
    if (when > 0) {
      return {TrustProblem::kExpired,
              certificateLabel(chain, i) + " expired on " + utcText(info.NotAfter)};
    }
  }
  return {TrustProblem::kOther, "a certificate of the chain is outside its validity period"};
}

// Windows' verdicts that have no TrustProblem of their own, most serious first.
struct ChainErrorWords {
  DWORD flags;
  const char* words;
};
constexpr ChainErrorWords kChainErrorWords[] = {
    {CERT_TRUST_IS_REVOKED, "a certificate of the chain has been revoked"},
    {CERT_TRUST_IS_EXPLICIT_DISTRUST, "Windows is set to distrust a certificate of the chain"},
    {CERT_TRUST_IS_NOT_SIGNATURE_VALID, "a signature in the certificate chain is not valid"},
    {CERT_TRUST_HAS_WEAK_SIGNATURE, "the certificate chain is signed with a weak algorithm"},
    {CERT_TRUST_IS_CYCLIC, "the certificate chain goes round in a circle"},
    {CERT_TRUST_INVALID_BASIC_CONSTRAINTS,
     "a certificate of the chain issues certificates without being a certificate authority"},
    {CERT_TRUST_INVALID_NAME_CONSTRAINTS | CERT_TRUST_HAS_NOT_SUPPORTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_NOT_DEFINED_NAME_CONSTRAINT | CERT_TRUST_HAS_NOT_PERMITTED_NAME_CONSTRAINT |
         CERT_TRUST_HAS_EXCLUDED_NAME_CONSTRAINT,
     "the server's certificate names something its issuer may not vouch for"},
    {CERT_TRUST_IS_NOT_VALID_FOR_USAGE, "the certificate is not meant for TLS servers"},
    {CERT_TRUST_INVALID_EXTENSION | CERT_TRUST_HAS_NOT_SUPPORTED_CRITICAL_EXT,
     "a certificate of the chain has an extension Windows cannot accept"},
    {CERT_TRUST_INVALID_POLICY_CONSTRAINTS | CERT_TRUST_NO_ISSUANCE_CHAIN_POLICY,
     "the certificate chain breaks its issuance policies"},
};

// What the chain's status says, leaving the name aside. Revocation is not checked, so
// not knowing it is no problem.
TrustFinding chainFinding(const CERT_CHAIN_CONTEXT& context, bool usingCaFile) {
  constexpr DWORD kRevocationUnknown =
      CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION;
  DWORD errors = context.TrustStatus.dwErrorStatus & ~kRevocationUnknown;
  if (errors == 0) return {};
  const CERT_SIMPLE_CHAIN& chain = *context.rgpChain[0];
  const CERT_CHAIN_ELEMENT& top = *chain.rgpElement[chain.cElement - 1];
  if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
    const char* where = usingCaFile ? "not in the CA file" : "not among the roots Windows trusts";
    const CERT_INFO& last = *top.pCertContext->pCertInfo;
    // Ending at a self-signed certificate nobody trusts (the server's own, or a root it
    // sent along) is told apart from an issuer that cannot be found, as OpenSSL does.
    if ((errors & CERT_TRUST_IS_UNTRUSTED_ROOT) &&
        (top.TrustStatus.dwInfoStatus & CERT_TRUST_IS_SELF_SIGNED)) {
      if (chain.cElement == 1) {
        return {TrustProblem::kSelfSigned,
                std::string("the server's certificate is signed by itself and ") + where};
      }
      return {TrustProblem::kSelfSigned, "the chain ends at the self-signed certificate '" +
                                             distinguishedName(last.Subject) + "', " + where};
    }
    return {TrustProblem::kUnknownIssuer,
            "the issuer '" + distinguishedName(last.Issuer) + "' is " + where};
  }
  if (errors & CERT_TRUST_IS_NOT_TIME_VALID) return timeFinding(chain);
  for (const ChainErrorWords& row : kChainErrorWords) {
    if (errors & row.flags) return {TrustProblem::kOther, row.words};
  }
  return {TrustProblem::kOther,
          "Windows does not trust the certificate chain (status " + hexCode(errors) + ")"};
}

// Whether the server's certificate is for `host`; asked only of an otherwise sound
// chain, so any complaint of the SSL policy is about the name.
TrustFinding nameFinding(const CERT_CHAIN_CONTEXT& chain, const ServerIdentity& server) {
  const CERT_CONTEXT& leaf = *chain.rgpChain[0]->rgpElement[0]->pCertContext;
  if (server.address) {
    if (certificateNamesAddress(leaf, *server.address)) return {};
    return {TrustProblem::kNameMismatch, "the certificate is not for the address " + server.text};
  }
  std::wstring name = widen(server.text);
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl{};
  ssl.cbSize = sizeof ssl;
  ssl.dwAuthType = AUTHTYPE_SERVER;
  ssl.pwszServerName = name.data();
  CERT_CHAIN_POLICY_PARA policy{};
  policy.cbSize = sizeof policy;
  policy.dwFlags = CERT_CHAIN_POLICY_IGNORE_ALL_REV_UNKNOWN_FLAGS;
  policy.pvExtraPolicyPara = &ssl;
  CERT_CHAIN_POLICY_STATUS status{};
  status.cbSize = sizeof status;
  if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, &chain, &policy, &status)) {
    return {TrustProblem::kOther,
            "the certificate could not be checked: " + systemMessage(GetLastError())};
  }
  if (status.dwError == 0) return {};
  if (static_cast<HRESULT>(status.dwError) == CERT_E_CN_NO_MATCH) {
    return {TrustProblem::kNameMismatch,
            "the certificate is not for " + printableLine(server.text)};
  }
  return {TrustProblem::kOther, systemMessage(status.dwError)};
}

TrustFinding examineTrust(const CERT_CONTEXT& leaf, const ServerIdentity& server,
                          HCERTSTORE caStore, std::int64_t deadline) {
  std::string error;
  ChainPtr chain = buildChain(leaf, caStore, deadline, error);
  if (!chain) return {TrustProblem::kOther, error};
  TrustFinding finding = chainFinding(*chain, caStore != nullptr);
  if (finding.problem != TrustProblem::kNone) return finding;
  return nameFinding(*chain, server);
}

// --- CA file ---------------------------------------------------------------------

std::optional<std::string> readCaFile(const std::string& path, std::string& failure) {
  auto cannotRead = [&](const std::string& reason) {
    failure = "the CA file " + printableLine(path) + " cannot be read: " + reason;
    return std::nullopt;
  };
  HANDLE opened = CreateFileW(widePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return cannotRead(systemMessage(GetLastError()));
  FilePtr file(opened);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) return cannotRead(systemMessage(GetLastError()));
  if (size.QuadPart > kMaxCaFileBytes) {
    return cannotRead("it is larger than " + std::to_string(kMaxCaFileBytes >> 20) + " MiB");
  }
  std::string text(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < text.size()) {
    DWORD got = 0;
    if (!ReadFile(file.get(), text.data() + done, static_cast<DWORD>(text.size() - done), &got,
                  nullptr)) {
      return cannotRead(systemMessage(GetLastError()));
    }
    if (got == 0) break;
    done += got;
  }
  text.resize(done);
  return text;
}

std::optional<std::vector<BYTE>> pemToDer(std::string_view block) {
  DWORD size = 0;
  if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                            CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  std::vector<BYTE> der(size);
  if (!CryptStringToBinaryA(block.data(), static_cast<DWORD>(block.size()),
                            CRYPT_STRING_BASE64HEADER, der.data(), &size, nullptr, nullptr)) {
    return std::nullopt;
  }
  der.resize(size);
  return der;
}

// The certificates of a PEM file as a store of their own; null, with `failure` saying
// why, when the file cannot be read or holds no usable certificate.
StorePtr loadCaFile(const std::string& path, std::string& failure) {
  std::optional<std::string> text = readCaFile(path, failure);
  if (!text) return nullptr;
  StorePtr store(CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr));
  if (!store) {
    failure = "no certificate store for the CA file: " + systemMessage(GetLastError());
    return nullptr;
  }
  constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
  constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
  std::string_view rest = *text;
  int count = 0;
  for (std::size_t begin; (begin = rest.find(kBegin)) != std::string_view::npos;) {
    std::size_t end = rest.find(kEnd, begin);
    if (end == std::string_view::npos) end = rest.size();
    std::string_view block = rest.substr(begin, end + kEnd.size() - begin);
    rest.remove_prefix(std::min(rest.size(), end + kEnd.size()));
    std::optional<std::vector<BYTE>> der = pemToDer(block);
    if (!der || !CertAddEncodedCertificateToStore(store.get(), X509_ASN_ENCODING, der->data(),
                                                  static_cast<DWORD>(der->size()),
                                                  CERT_STORE_ADD_USE_EXISTING, nullptr)) {
      failure = "the CA file " + printableLine(path) + " cannot be used: its certificate " +
                std::to_string(count + 1) + " is damaged";
      return nullptr;
    }
    ++count;
  }
  if (count == 0) {
    failure = "the CA file " + printableLine(path) + " holds no certificate that can be used";
    return nullptr;
  }
  return store;
}

// --- Handshake words -------------------------------------------------------------

constexpr const char* kOldVersionWords = "the server offers only TLS 1.1 or older";
constexpr const char* kClientCertificateWords =
    "the server requires a client certificate, which Larkpost does not send";

struct StatusWords {
  SECURITY_STATUS status;
  const char* words;
};
constexpr StatusWords kHandshakeFailures[] = {
    {SEC_E_ALGORITHM_MISMATCH,
     "the server and Windows have no TLS version or cipher suite in common (TLS 1.2 or newer "
     "is required)"},
    {SEC_E_UNSUPPORTED_FUNCTION,
     "the server and Windows have no TLS version in common (TLS 1.2 or newer is required)"},
    {SEC_E_ILLEGAL_MESSAGE,
     "the server broke off the TLS handshake or sent a message Windows could not accept"},
    {SEC_E_INVALID_TOKEN, "the server's answer is not valid TLS"},
    {SEC_E_MESSAGE_ALTERED, "the TLS handshake was altered on its way"},
    {SEC_E_DECRYPT_FAILURE, "the TLS handshake was altered on its way"},
    {SEC_E_INCOMPLETE_CREDENTIALS, kClientCertificateWords},
    {SEC_E_CERT_UNKNOWN, "the server's certificate could not be read"},
    {SEC_E_INTERNAL_ERROR, "Windows' TLS support failed during the handshake"},
};

// What a server means by the alert it ends a handshake with.
struct AlertWords {
  unsigned char alert;
  const char* words;
};
constexpr AlertWords kServerAlerts[] = {
    {40,
     "the server refused the TLS handshake: it shares no cipher suite or TLS version with "
     "Windows"},
    {47, "the server found a parameter of the TLS handshake unacceptable"},
    {70, kOldVersionWords},
    {71, "the server requires stronger security than Windows offered"},
    {80, "the server failed during the TLS handshake"},
    {112, "the server does not know the host name it was asked for"},
    {116, kClientCertificateWords},
};

std::string handshakeFailureText(SECURITY_STATUS status) {
  for (const StatusWords& row : kHandshakeFailures) {
    if (row.status == status) return row.words;
  }
  return "the TLS handshake failed: " + systemMessage(static_cast<std::uint32_t>(status));
}

std::string alertText(unsigned char alert) {
  for (const AlertWords& row : kServerAlerts) {
    if (row.alert == alert) return row.words;
  }
  return "the server broke off the TLS handshake (TLS alert " + std::to_string(alert) + ")";
}

// An alert the server sent in the clear among `records`, as it does when it refuses the
// handshake before keys are agreed.
std::optional<unsigned char> plainAlert(std::span<const char> records) {
  while (records.size() >= 5) {
    auto type = static_cast<unsigned char>(records[0]);
    std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(records[3])) << 8 |
                         static_cast<unsigned char>(records[4]);
    if (type == kAlertRecord && length == 2 && records.size() >= 7) {
      return static_cast<unsigned char>(records[6]);
    }
    if (records.size() < 5 + length) break;
    records = records.subspan(5 + length);
  }
  return std::nullopt;
}

std::string credentialsFailureText(SECURITY_STATUS status) {
  if (status == SEC_E_SECPKG_NOT_FOUND) return "Windows' TLS support (SChannel) is not available";
  return "Windows' TLS support could not be set up: " +
         systemMessage(static_cast<std::uint32_t>(status));
}

struct ProtocolName {
  DWORD bits;
  const char* name;
};
constexpr ProtocolName kProtocolNames[] = {
    {SP_PROT_TLS1_3, "TLS 1.3"}, {SP_PROT_TLS1_2, "TLS 1.2"}, {SP_PROT_TLS1_1, "TLS 1.1"},
    {SP_PROT_TLS1_0, "TLS 1.0"}, {SP_PROT_SSL3, "SSL 3.0"},   {SP_PROT_SSL2, "SSL 2.0"},
};

std::string protocolName(DWORD protocol) {
  for (const ProtocolName& row : kProtocolNames) {
    if (protocol & row.bits) return row.name;
  }
  return "an unknown protocol (" + hexCode(protocol) + ")";
}

bool isTls12OrNewer(DWORD protocol) { return (protocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) != 0; }

// Names for the algorithms SChannel reports when it cannot name the cipher suite itself.
struct AlgorithmName {
  ALG_ID id;
  const char* name;
};
constexpr AlgorithmName kAlgorithmNames[] = {
    {kEcdhEphemeral, "ECDHE"}, {kEcdh, "ECDH"},           {CALG_DH_EPHEM, "DHE"},
    {CALG_RSA_KEYX, "RSA"},    {CALG_AES_128, "AES-128"}, {CALG_AES_256, "AES-256"},
    {CALG_3DES, "3DES"},       {CALG_RC4, "RC4"},         {CALG_SHA1, "SHA-1"},
    {kSha256, "SHA-256"},      {kSha384, "SHA-384"},      {kSha512, "SHA-512"},
};

std::string_view algorithmName(ALG_ID id) {
  for (const AlgorithmName& row : kAlgorithmNames) {
    if (row.id == id) return row.name;
  }
  return {};
}

// "ECDHE, AES-256, SHA-384", from what the connection info says of each part.
std::string readableCipher(const SecPkgContext_ConnectionInfo& info) {
  std::string cipher(algorithmName(info.aiCipher));
  if (cipher.empty() && info.dwCipherStrength > 0) {
    cipher = std::to_string(info.dwCipherStrength) + "-bit cipher";
  }
  std::string text;
  for (std::string_view part :
       {algorithmName(info.aiExch), std::string_view(cipher), algorithmName(info.aiHash)}) {
    if (part.empty()) continue;
    if (!text.empty()) text += ", ";
    text += part;
  }
  return text;
}

// Some SChannel versions fill the suite name with placeholders for parts they cannot
// name; only a whole standard name is worth passing on.
bool isStandardSuiteName(std::wstring_view name) {
  return name.starts_with(L"TLS_") && std::all_of(name.begin(), name.end(), [](wchar_t c) {
           return (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'_';
         });
}

// --- The secured stream ----------------------------------------------------------

constexpr ULONG kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_USE_SUPPLIED_CREDS |
                                  ISC_REQ_MANUAL_CRED_VALIDATION;

// SChannel must not judge the certificate itself: the caller decides, from what the
// handshake reports. No client certificate is ever offered.
constexpr DWORD kCredentialFlags =
    SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS | SCH_USE_STRONG_CRYPTO;

SECURITY_STATUS acquireWith(void* authenticationData, CredHandle& handle) {
  TimeStamp expiry;
  return AcquireCredentialsHandleW(nullptr, const_cast<SEC_WCHAR*>(UNISP_NAME_W),
                                   SECPKG_CRED_OUTBOUND, nullptr, authenticationData, nullptr,
                                   nullptr, &handle, &expiry);
}

// SCH_CREDENTIALS opens TLS 1.3 where the system has it; older systems refuse the
// structure and take SCHANNEL_CRED, with TLS 1.2 the best they offer. Some honour
// neither limit, so the version is checked again after the handshake.
SECURITY_STATUS acquireClientCredentials(CredHandle& handle) {
  TLS_PARAMETERS parameters{};
  parameters.grbitDisabledProtocols =
      ~static_cast<DWORD>(SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT);
  SCH_CREDENTIALS modern{};
  modern.dwVersion = SCH_CREDENTIALS_VERSION;
  modern.dwFlags = kCredentialFlags;
  modern.cTlsParameters = 1;
  modern.pTlsParameters = &parameters;
  if (acquireWith(&modern, handle) == SEC_E_OK) return SEC_E_OK;
  SCHANNEL_CRED legacy{};
  legacy.dwVersion = SCHANNEL_CRED_VERSION;
  legacy.grbitEnabledProtocols = SP_PROT_TLS1_2_CLIENT;
  legacy.dwFlags = kCredentialFlags;
  return acquireWith(&legacy, handle);
}

const SecBuffer* findBuffer(std::span<const SecBuffer> buffers, ULONG type) {
  for (const SecBuffer& buffer : buffers) {
    if (buffer.BufferType == type) return &buffer;
  }
  return nullptr;
}

struct HandshakeOutcome {
  bool done = false;
  IoStatus transport = IoStatus::kOk;
  std::string failure;
};

HandshakeOutcome transportFailure(IoStatus status) {
  if (status == IoStatus::kTimedOut) {
    return {false, status, "the server did not complete the TLS handshake in time"};
  }
  return {false, status, "the server closed the connection during the TLS handshake"};
}

HandshakeOutcome handshakeFailure(std::string failure) {
  return {false, IoStatus::kOk, std::move(failure)};
}

enum class RecordOutcome { kData, kNeedMore, kPeerClosed, kRenegotiate, kBroken };

class SchannelSocket final : public Socket {
 public:
  // `serverName` is sent as SNI; empty for none.
  SchannelSocket(std::unique_ptr<Socket> transport, std::wstring serverName)
      : transport_(std::move(transport)), serverName_(std::move(serverName)) {}

  ~SchannelSocket() override {
    if (established_ && !broken_) sendCloseNotify();
    if (haveContext_) DeleteSecurityContext(&context_);
    if (haveCredentials_) FreeCredentialsHandle(&credentials_);
  }

  SchannelSocket(const SchannelSocket&) = delete;
  SchannelSocket& operator=(const SchannelSocket&) = delete;

  SECURITY_STATUS acquireCredentials() {
    SECURITY_STATUS status = acquireClientCredentials(credentials_);
    haveCredentials_ = status == SEC_E_OK;
    return status;
  }

  HandshakeOutcome handshake(std::int64_t deadline) {
    HandshakeOutcome outcome = negotiate(false, deadline);
    if (!outcome.done) return outcome;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_STREAM_SIZES, &sizes_) != SEC_E_OK ||
        sizes_.cbMaximumMessage == 0) {
      return handshakeFailure("Windows did not tell the TLS record sizes");
    }
    // From now on the session ends with a close_notify, even when it is refused.
    established_ = true;
    return outcome;
  }

  std::optional<SecPkgContext_ConnectionInfo> connectionInfo() {
    SecPkgContext_ConnectionInfo info{};
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CONNECTION_INFO, &info) != SEC_E_OK) {
      return std::nullopt;
    }
    return info;
  }

  std::string cipherName(const SecPkgContext_ConnectionInfo& info) {
    SecPkgContext_CipherInfo cipher{};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
        isStandardSuiteName(cipher.szCipherSuite)) {
      return narrow(cipher.szCipherSuite);
    }
    return readableCipher(info);
  }

  CertificatePtr serverCertificate() {
    PCCERT_CONTEXT certificate = nullptr;
    if (QueryContextAttributesW(&context_, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) !=
        SEC_E_OK) {
      return nullptr;
    }
    return CertificatePtr(certificate);
  }

  IoStatus sendAll(std::string_view bytes, std::int64_t deadline) override {
    if (broken_) return IoStatus::kClosed;
    while (!bytes.empty()) {
      outgoing_.clear();
      while (!bytes.empty() && outgoing_.size() < kGatherBytes) {
        std::size_t length = std::min<std::size_t>(bytes.size(), sizes_.cbMaximumMessage);
        if (!sealRecord(bytes.substr(0, length))) {
          broken_ = true;
          return IoStatus::kClosed;
        }
        bytes.remove_prefix(length);
      }
      IoStatus status = transport_->sendAll(outgoing_, deadline);
      if (status != IoStatus::kOk) {
        // Part of a record may have gone; nothing sent after it could be read.
        broken_ = true;
        return status;
      }
    }
    return IoStatus::kOk;
  }

  ReceiveResult receive(std::span<char> into, std::int64_t deadline) override {
    if (into.empty()) return {IoStatus::kOk, 0};
    std::size_t given = takePending(into);
    while (given == 0) {
      if (peerClosed_ || broken_) return {IoStatus::kClosed, 0};
      if (incoming_.empty() || needMore_) {
        if (incoming_.size() >= kMaxRecordBytes) {
          broken_ = true;
          continue;
        }
        IoStatus status = readMore(deadline);
        if (status == IoStatus::kTimedOut) return {status, 0};
        if (status == IoStatus::kClosed) peerClosed_ = true;
        needMore_ = false;
        continue;
      }
      switch (openRecord(into, given)) {
        case RecordOutcome::kData:
          break;
        case RecordOutcome::kNeedMore:
          needMore_ = true;
          break;
        case RecordOutcome::kPeerClosed:
          peerClosed_ = true;
          break;
        case RecordOutcome::kRenegotiate: {
          HandshakeOutcome outcome = negotiate(true, deadline);
          if (!outcome.done) {
            broken_ = true;
            if (outcome.transport == IoStatus::kTimedOut && given == 0) {
              return {IoStatus::kTimedOut, 0};
            }
          }
          break;
        }
        case RecordOutcome::kBroken:
          broken_ = true;
          break;
      }
    }
    return {IoStatus::kOk, given};
  }

 private:
  SEC_WCHAR* serverName() { return serverName_.empty() ? nullptr : serverName_.data(); }

  // Runs handshake messages until SChannel is content: the first handshake, or one the
  // server starts later (TLS 1.3 sends its session tickets this way). `inputReady` says
  // whether what was received already is to be offered before reading more.
  HandshakeOutcome negotiate(bool inputReady, std::int64_t deadline) {
    bool first = !haveContext_;
    bool awaitingFirstAnswer = first;
    bool offeredNoCertificate = false;
    for (;;) {
      if (!first && !inputReady) {
        if (incoming_.size() >= kMaxHandshakeInput) {
          return handshakeFailure("the server's TLS handshake messages are too large");
        }
        IoStatus status = readMore(deadline);
        if (status != IoStatus::kOk) return transportFailure(status);
        if (awaitingFirstAnswer && static_cast<unsigned char>(incoming_[0]) != kHandshakeRecord &&
            static_cast<unsigned char>(incoming_[0]) != kAlertRecord) {
          return handshakeFailure(
              "the server answered in plain text, not TLS: this port may expect STARTTLS, or "
              "no TLS at all");
        }
        awaitingFirstAnswer = false;
      }
      // SChannel wants the empty second buffer to tell how much input it left over.
      SecBuffer input[2] = {
          {static_cast<ULONG>(incoming_.size()), SECBUFFER_TOKEN, incoming_.data()},
          {0, SECBUFFER_EMPTY, nullptr}};
      SecBufferDesc inputDescription{SECBUFFER_VERSION, 2, input};
      SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
      SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, &output};
      ULONG attributes = 0;
      SECURITY_STATUS status = InitializeSecurityContextW(
          &credentials_, first ? nullptr : &context_, serverName(), kContextRequest, 0, 0,
          first ? nullptr : &inputDescription, 0, first ? &context_ : nullptr, &outputDescription,
          &attributes, nullptr);
      ContextBufferPtr token(output.pvBuffer);
      if (first && !FAILED(status)) haveContext_ = true;
      first = false;
      if (status == SEC_E_INCOMPLETE_MESSAGE) {
        inputReady = false;
        continue;
      }
      if (token && output.cbBuffer > 0) {
        // On failure the token is an alert: worth a try, not worth a wait.
        IoStatus sent = transport_->sendAll(
            {static_cast<const char*>(token.get()), output.cbBuffer},
            FAILED(status) ? std::min(deadline, monotonicMillis() + kCloseNotifyMillis) : deadline);
        if (sent != IoStatus::kOk && !FAILED(status)) return transportFailure(sent);
      }
      if (FAILED(status)) {
        std::optional<unsigned char> alert = plainAlert(incoming_);
        return handshakeFailure(alert ? alertText(*alert) : handshakeFailureText(status));
      }
      if (status == SEC_I_INCOMPLETE_CREDENTIALS) {
        // Asked again with the same input, SChannel answers without a certificate.
        if (offeredNoCertificate) return handshakeFailure(kClientCertificateWords);
        offeredNoCertificate = true;
        inputReady = true;
        continue;
      }
      std::size_t offered = incoming_.size();
      keepExtra(&input[1]);
      if (status == SEC_E_OK) return {true, IoStatus::kOk, {}};
      // Input SChannel left untouched, with nothing to send, waits for more to arrive.
      inputReady = !incoming_.empty() && (incoming_.size() < offered || output.cbBuffer > 0);
    }
  }

  // Appends what the transport has to the input, waiting for one arrival at most.
  IoStatus readMore(std::int64_t deadline) {
    std::size_t held = incoming_.size();
    incoming_.resize(held + kReadChunk);
    ReceiveResult got = transport_->receive({incoming_.data() + held, kReadChunk}, deadline);
    incoming_.resize(held + got.bytes);
    return got.status;
  }

  // Keeps only the input SChannel left unused. It says where that is, or leaves it at
  // the end of the input; after a TLS 1.3 post-handshake message it is the message
  // itself, decrypted.
  void keepExtra(const SecBuffer* extra) {
    if (!extra || extra->BufferType != SECBUFFER_EXTRA || extra->cbBuffer == 0) {
      incoming_.clear();
      return;
    }
    std::size_t length = extra->cbBuffer;
    const auto* given = static_cast<const char*>(extra->pvBuffer);
    auto base = reinterpret_cast<std::uintptr_t>(incoming_.data());
    auto at = reinterpret_cast<std::uintptr_t>(given);
    if (given && at >= base && at - base + length <= incoming_.size()) {
      std::memmove(incoming_.data(), given, length);
    } else if (given) {
      incoming_.assign(given, given + length);
    } else if (length <= incoming_.size()) {
      std::memmove(incoming_.data(), incoming_.data() + incoming_.size() - length, length);
    } else {
      length = 0;
    }
    incoming_.resize(length);
  }

  std::size_t takePending(std::span<char> into) {
    std::size_t length = std::min(into.size(), pending_.size() - pendingStart_);
    std::memcpy(into.data(), pending_.data() + pendingStart_, length);
    pendingStart_ += length;
    if (pendingStart_ == pending_.size()) {
      pending_.clear();
      pendingStart_ = 0;
    }
    return length;
  }

  // Hands decrypted bytes to the caller as far as they fit and keeps the rest.
  void deliver(const char* data, std::size_t length, std::span<char> into, std::size_t& given) {
    std::size_t now = std::min(length, into.size() - given);
    std::memcpy(into.data() + given, data, now);
    given += now;
    pending_.insert(pending_.end(), data + now, data + length);
  }

  // Decrypts the record at the front of the input, in place.
  RecordOutcome openRecord(std::span<char> into, std::size_t& given) {
    const bool alert = static_cast<unsigned char>(incoming_[0]) == kAlertRecord;
    SecBuffer buffers[4] = {
        {static_cast<ULONG>(incoming_.size()), SECBUFFER_DATA, incoming_.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    SECURITY_STATUS status = DecryptMessage(&context_, &description, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) return RecordOutcome::kNeedMore;
    if (status != SEC_E_OK && status != SEC_I_RENEGOTIATE && status != SEC_I_CONTEXT_EXPIRED) {
      return RecordOutcome::kBroken;
    }
    // The data lies inside the input, which the extra bytes are about to overwrite.
    const SecBuffer* data = findBuffer(std::span(buffers).subspan(1), SECBUFFER_DATA);
    std::size_t length = data ? data->cbBuffer : 0;
    if (length > 0) deliver(static_cast<const char*>(data->pvBuffer), length, into, given);
    keepExtra(findBuffer(buffers, SECBUFFER_EXTRA));
    if (status == SEC_I_CONTEXT_EXPIRED) return RecordOutcome::kPeerClosed;
    if (status == SEC_I_RENEGOTIATE) return RecordOutcome::kRenegotiate;
    // Wine reports the server's close_notify as an empty success.
    if (length == 0 && alert) return RecordOutcome::kPeerClosed;
    return RecordOutcome::kData;
  }

  // Encrypts one record onto the end of the outgoing bytes.
  bool sealRecord(std::string_view plain) {
    std::size_t start = outgoing_.size();
    outgoing_.resize(start + sizes_.cbHeader + plain.size() + sizes_.cbTrailer);
    char* record = outgoing_.data() + start;
    std::memcpy(record + sizes_.cbHeader, plain.data(), plain.size());
    SecBuffer buffers[4] = {
        {sizes_.cbHeader, SECBUFFER_STREAM_HEADER, record},
        {static_cast<ULONG>(plain.size()), SECBUFFER_DATA, record + sizes_.cbHeader},
        {sizes_.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes_.cbHeader + plain.size()},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc description{SECBUFFER_VERSION, 4, buffers};
    if (EncryptMessage(&context_, 0, &description, 0) != SEC_E_OK) return false;
    // The trailer may come out shorter than its room.
    outgoing_.resize(start + buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer);
    return true;
  }

  void sendCloseNotify() {
    DWORD shutdown = SCHANNEL_SHUTDOWN;
    SecBuffer control{sizeof shutdown, SECBUFFER_TOKEN, &shutdown};
    SecBufferDesc controlDescription{SECBUFFER_VERSION, 1, &control};
    if (ApplyControlToken(&context_, &controlDescription) != SEC_E_OK) return;
    SecBuffer output{0, SECBUFFER_TOKEN, nullptr};
    SecBufferDesc outputDescription{SECBUFFER_VERSION, 1, &output};
    ULONG attributes = 0;
    SECURITY_STATUS status =
        InitializeSecurityContextW(&credentials_, &context_, serverName(), kContextRequest, 0, 0,
                                   nullptr, 0, nullptr, &outputDescription, &attributes, nullptr);
    ContextBufferPtr token(output.pvBuffer);
    if (FAILED(status) || !token || output.cbBuffer == 0) return;
    transport_->sendAll({static_cast<const char*>(token.get()), output.cbBuffer},
                        monotonicMillis() + kCloseNotifyMillis);
  }

  std::unique_ptr<Socket> transport_;
  std::wstring serverName_;
  CredHandle credentials_{};
  bool haveCredentials_ = false;
  CtxtHandle context_{};
  bool haveContext_ = false;
  SecPkgContext_StreamSizes sizes_{};
  std::vector<char> incoming_;  // received, not yet used by SChannel
  bool needMore_ = false;       // the input ends inside a record
  std::vector<char> pending_;   // decrypted, not yet handed over
  std::size_t pendingStart_ = 0;
  std::string outgoing_;
  bool established_ = false;
  bool peerClosed_ = false;
  bool broken_ = false;
};

void describeServer(const CERT_CONTEXT* leaf, const ServerIdentity& server, HCERTSTORE caStore,
                    std::int64_t deadline, TlsDetails& details) {
  if (!leaf) {
    details.trust = TrustProblem::kOther;
    details.trustDetail = "the server sent no certificate";
    return;
  }
  for (const CertificatePtr& certificate : sentChain(*leaf)) {
    details.chain.push_back(describeCertificate(*certificate));
  }
  details.leafSha256 = sha256Fingerprint(*leaf);
  TrustFinding finding = examineTrust(*leaf, server, caStore, deadline);
  details.trust = finding.problem;
  details.trustDetail = std::move(finding.detail);
}

}  // namespace

TlsHandshake startTls(std::unique_ptr<Socket> transport, const TlsClientConfig& config,
                      std::int64_t deadline) {
  TlsHandshake result;
  std::optional<ServerIdentity> server = serverIdentity(config.host);
  if (!server) {
    result.failure = "the server name " + printableLine(config.host) +
                     " cannot be checked against a certificate";
    return result;
  }
  StorePtr caStore;
  if (!config.caFile.empty()) {
    caStore = loadCaFile(config.caFile, result.failure);
    if (!caStore) return result;
  }
  // Server Name Indication carries names only, never addresses.
  std::wstring serverName = server->address ? std::wstring() : widen(server->text);
  auto channel = std::make_unique<SchannelSocket>(std::move(transport), std::move(serverName));
  if (SECURITY_STATUS status = channel->acquireCredentials(); status != SEC_E_OK) {
    result.failure = credentialsFailureText(status);
    return result;
  }
  HandshakeOutcome outcome = channel->handshake(deadline);
  if (!outcome.done) {
    result.transport = outcome.transport;
    result.failure = std::move(outcome.failure);
    return result;
  }
  std::optional<SecPkgContext_ConnectionInfo> info = channel->connectionInfo();
  if (!info) {
    result.failure = "Windows did not tell which TLS version the server chose";
    return result;
  }
  result.details.version = protocolName(info->dwProtocol);
  result.details.cipher = channel->cipherName(*info);
  CertificatePtr leaf = channel->serverCertificate();
  describeServer(leaf.get(), *server, caStore.get(), deadline, result.details);
  if (!isTls12OrNewer(info->dwProtocol)) {
    result.failure = kOldVersionWords;
    return result;
  }
  result.socket = std::move(channel);
  return result;
}

std::string tlsBackendVersion() {
  std::string name = "SChannel";
  // RtlGetVersion tells the system's real version, where GetVersionEx tells what the
  // program's manifest claims to support.
  using GetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  FARPROC procedure = ntdll ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr;
  if (!procedure) return name;
  auto getVersion = reinterpret_cast<GetVersion>(reinterpret_cast<void (*)()>(procedure));
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (getVersion(&version) != 0) return name;
  return name + " (Windows " + std::to_string(version.dwMajorVersion) + "." +
         std::to_string(version.dwMinorVersion) + "." + std::to_string(version.dwBuildNumber) + ")";
}

}  // namespace larkpost::platform
