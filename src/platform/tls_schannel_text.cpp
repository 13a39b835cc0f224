// How the SChannel backend puts Windows' codes and strings into words: UTF-16 and
// UTF-8, printable lines, error codes, and the names of TLS versions and cipher suites.
#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/tls_schannel.h"
#include "platform/win32_errors.h"

namespace larkpost::platform::schannel {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

struct ProtocolName {
  DWORD bits;
  const char* name;
};
constexpr ProtocolName kProtocolNames[] = {
    {SP_PROT_TLS1_3, "TLS 1.3"}, {SP_PROT_TLS1_2, "TLS 1.2"}, {SP_PROT_TLS1_1, "TLS 1.1"},
    {SP_PROT_TLS1_0, "TLS 1.0"}, {SP_PROT_SSL3, "SSL 3.0"},   {SP_PROT_SSL2, "SSL 2.0"},
};

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

}  // namespace

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
std::string printableLine(std::string_view text, bool asciiOnly) {
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

std::string protocolName(DWORD protocol) {
  for (const ProtocolName& row : kProtocolNames) {
    if (protocol & row.bits) return row.name;
  }
  return "an unknown protocol (" + hexCode(protocol) + ")";
}

bool isTls12OrNewer(DWORD protocol) { return (protocol & (SP_PROT_TLS1_2 | SP_PROT_TLS1_3)) != 0; }

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

}  // namespace larkpost::platform::schannel
