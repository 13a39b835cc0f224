// The Windows side of the client TLS interface: SChannel, through SSPI, runs the
// connection. This file owns the credentials, the handshake loop (the first handshake
// and those the server starts later) and the encryption and decryption of records; the
// server's certificates are read and judged in tls_schannel_certificates.cpp.
#include "platform/tls_schannel.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/schannel_trust.h"
#include "platform/tls.h"
#include "platform/win32_text.h"

namespace larkpost::platform {
namespace {

using schannel::CertificatePtr;
using schannel::describeServer;
using schannel::isStandardSuiteName;
using schannel::isTls12OrNewer;
using schannel::loadCaFile;
using schannel::printableLine;
using schannel::protocolName;
using schannel::readableCipher;
using schannel::ServerIdentity;
using schannel::serverIdentity;
using schannel::StorePtr;
using schannel::systemMessage;

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

constexpr unsigned char kAlertRecord = 21;
constexpr unsigned char kHandshakeRecord = 22;

// --- Handles ---------------------------------------------------------------------

struct ContextBufferFree {
  void operator()(void* buffer) const { FreeContextBuffer(buffer); }
};
using ContextBufferPtr = std::unique_ptr<void, ContextBufferFree>;

// --- Handshake words -------------------------------------------------------------

constexpr const char* kOldVersionWords = "the server offers only TLS 1.1 or older";
constexpr const char* kWeakCipherWords =
    "the server offers no cipher suite with forward secrecy and AEAD (under TLS 1.2: ECDHE "
    "with AES-GCM or ChaCha20-Poly1305)";

bool isTls13(DWORD protocol) { return (protocol & SP_PROT_TLS1_3) != 0; }

// From the suite's standard name where SChannel gives one. Else the connection info
// tells the key exchange, cipher and MAC but not the mode (nor, on some systems, the
// cipher: ChaCha20 has no ALG_ID): ECDHE, no old cipher and no SHA-1 or MD5 MAC is as
// near as it gets; CBC with SHA-256 would pass there.
bool isForwardSecretAead(const std::string& suite, const SecPkgContext_ConnectionInfo& info) {
  if (suite.starts_with("TLS_")) {
    return suite.starts_with("TLS_ECDHE_") && (suite.find("_GCM_") != std::string::npos ||
                                              suite.find("CHACHA20_POLY1305") != std::string::npos);
  }
  return info.aiExch == schannel::kEcdhEphemeral && info.aiCipher != CALG_RC4 &&
         info.aiCipher != CALG_3DES && info.aiCipher != CALG_DES && info.aiHash != CALG_SHA1 &&
         info.aiHash != CALG_MD5;
}
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
      return utf16ToUtf8(cipher.szCipherSuite);
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
        case RecordOutcome::kRenegotiate:
          // A renegotiation could bring a certificate nobody has judged: the server
          // was trusted for the first one only, so the connection ends here.
          broken_ = true;
          break;
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
  std::wstring serverName = server->address ? std::wstring() : utf8ToUtf16(server->text);
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
  // SChannel offers what the system allows; under TLS 1.2 only forward-secret AEAD
  // suites are taken, as on the other builds. Refused before a byte of SMTP is sent.
  if (!isTls13(info->dwProtocol) && !isForwardSecretAead(result.details.cipher, *info)) {
    result.failure = std::string(kWeakCipherWords) + "; it chose " + result.details.cipher;
    return result;
  }
  result.socket = std::move(channel);
  return result;
}

TrustProblem examineWithCaFile(const void* certificate, const std::string& host,
                               const std::string& caFile, std::int64_t deadline,
                               std::string& detail) {
  std::optional<schannel::ServerIdentity> server = schannel::serverIdentity(host);
  if (!server || !certificate) {
    detail = "the server's certificate cannot be checked";
    return TrustProblem::kOther;
  }
  schannel::StorePtr caStore = schannel::loadCaFile(caFile, detail);
  if (!caStore) return TrustProblem::kOther;
  TlsDetails details;
  schannel::describeServer(static_cast<const CERT_CONTEXT*>(certificate), *server, caStore.get(),
                           deadline, details);
  detail = std::move(details.trustDetail);
  return details.trust;
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
