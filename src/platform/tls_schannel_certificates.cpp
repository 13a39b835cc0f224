// The SChannel backend's view of the server's certificates: their text for the report,
// the SHA-256 fingerprint, and the trust verdict. CryptoAPI builds the chain, against
// the system's roots or a chain engine that trusts only the CA file; IP addresses are
// compared with the certificate's subjectAltName here, since Windows' name check does
// not look at them everywhere.
#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/tls_schannel.h"
#include "platform/win32_text.h"

namespace larkpost::platform::schannel {
namespace {

// A system-wide bundle is a few hundred kilobytes.
constexpr std::int64_t kMaxCaFileBytes = std::int64_t{16} << 20;

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
  return printableLine(utf16ToUtf8(wide));
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

// The certificate's subjectAltName, decoded; null when it has none.
LocalPtr<CERT_ALT_NAME_INFO> alternativeNameInfo(const CERT_CONTEXT& certificate) {
  const CERT_INFO& info = *certificate.pCertInfo;
  PCERT_EXTENSION extension =
      CertFindExtension(szOID_SUBJECT_ALT_NAME2, info.cExtension, info.rgExtension);
  if (!extension) return nullptr;
  return decodeObject<CERT_ALT_NAME_INFO>(X509_ALTERNATE_NAME, extension->Value.pbData,
                                          extension->Value.cbData);
}

// An IPv4 or IPv6 address as the subjectAltName holds it (4 or 16 bytes), as text.
std::string addressText(const CRYPT_DATA_BLOB& bytes) {
  sockaddr_storage address{};
  if (bytes.cbData == 4) {
    auto& v4 = reinterpret_cast<sockaddr_in&>(address);
    v4.sin_family = AF_INET;
    std::copy_n(bytes.pbData, 4, reinterpret_cast<BYTE*>(&v4.sin_addr));
  } else if (bytes.cbData == 16) {
    auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
    v6.sin6_family = AF_INET6;
    std::copy_n(bytes.pbData, 16, reinterpret_cast<BYTE*>(&v6.sin6_addr));
  } else {
    return printableLine(std::string(reinterpret_cast<const char*>(bytes.pbData), bytes.cbData));
  }
  std::array<char, 64> text{};
  DWORD size = text.size();
  int length = address.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
  if (WSAAddressToStringA(reinterpret_cast<sockaddr*>(&address), length, nullptr, text.data(),
                          &size) != 0) {
    return {};
  }
  return text.data();
}

std::vector<std::string> alternativeNames(const CERT_CONTEXT& certificate) {
  std::vector<std::string> names;
  auto info = alternativeNameInfo(certificate);
  if (!info) return names;
  for (DWORD i = 0; i < info->cAltEntry; ++i) {
    const CERT_ALT_NAME_ENTRY& entry = info->rgAltEntry[i];
    if (entry.dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) {
      names.push_back(printableLine(utf16ToUtf8(entry.pwszDNSName)));
    } else if (entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS) {
      names.push_back(addressText(entry.IPAddress));
    }
  }
  return names;
}

TlsCertificate describeCertificate(const CERT_CONTEXT& certificate) {
  const CERT_INFO& info = *certificate.pCertInfo;
  return {distinguishedName(info.Subject), distinguishedName(info.Issuer), utcText(info.NotBefore),
          utcText(info.NotAfter), alternativeNames(certificate)};
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

// Windows' own name check does not look at IP addresses everywhere, so they are compared
// here, as the certificate's subjectAltName lists them.
bool certificateNamesAddress(const CERT_CONTEXT& certificate, const std::vector<BYTE>& address) {
  auto names = alternativeNameInfo(certificate);
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

// Whether the certificate lists any DNS name among its subjectAltNames. Without one,
// Windows' name check falls back to the subject's CN, which RFC 9525 forbids.
bool certificateHasDnsNames(const CERT_CONTEXT& certificate) {
  auto names = alternativeNameInfo(certificate);
  if (!names) return false;
  for (DWORD i = 0; i < names->cAltEntry; ++i) {
    if (names->rgAltEntry[i].dwAltNameChoice == CERT_ALT_NAME_DNS_NAME) return true;
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
  if (!certificateHasDnsNames(leaf)) {
    return {TrustProblem::kNameMismatch, "the certificate is not for " + printableLine(server.text)};
  }
  std::wstring name = utf8ToUtf16(server.text);
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

}  // namespace

std::optional<ServerIdentity> serverIdentity(std::string_view host) {
  std::string address(host.substr(0, host.find('%')));
  if (std::optional<std::vector<BYTE>> bytes = addressBytes(address)) {
    return ServerIdentity{address, std::move(bytes)};
  }
  if (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.empty() || host.find(':') != std::string_view::npos) return std::nullopt;
  return ServerIdentity{std::string(host), std::nullopt};
}

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

}  // namespace larkpost::platform::schannel
