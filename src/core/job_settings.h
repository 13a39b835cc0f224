// JobSettings: the one record of a run, filled from the settings file and the options
// and read by every other part of the program.
#ifndef LARKPOST_CORE_JOB_SETTINGS_H_
#define LARKPOST_CORE_JOB_SETTINGS_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/secret.h"
#include "platform/platform.h"

namespace larkpost {

// How the connection is secured: plaintext, STARTTLS (RFC 3207) or TLS from the first
// byte (RFC 8314).
enum class Security { kNone, kStartTls, kTls };

// Which SASL mechanism logs in: SCRAM-SHA-256, else PLAIN, else LOGIN, among those the
// server offers (auto),
// one named, or none at all.
enum class AuthChoice { kAuto, kPlain, kLogin, kXoauth2, kOauthBearer, kScramSha256, kNone };

// A file to attach, open since its option was read: what is sent is the file that was
// found, even if the name is taken away or given to something else meanwhile.
struct Attachment {
  std::string path;  // as given, for messages
  std::string name;  // as stored, without directory: the name the part carries
  std::shared_ptr<platform::File> file;
};

// The built-in OAuth login: with a provider set, Auth=xoauth2 or oauthbearer takes its
// token from the token store (refreshing it as needed) instead of a password.
enum class OAuthProvider { kNone, kMicrosoft, kGoogle, kCustom };
enum class OAuthGrant { kAuto, kDeviceCode, kBrowser, kClientCredentials };

struct OAuthSettings {
  OAuthProvider provider = OAuthProvider::kNone;
  std::string clientId;
  std::string clientSecret;         // from the settings file only
  std::string clientSecretCommand;  // its first output line; from the settings file only
  std::string tenant;               // Microsoft: "organizations" when empty
  std::string scope;                // the provider's mail scope when empty
  std::string authorizeUrl;         // these three override the provider's endpoints
  std::string tokenUrl;
  std::string deviceUrl;
  std::string caFile;  // trust for the provider's endpoints instead of the system's
  OAuthGrant grant = OAuthGrant::kAuto;
};

struct JobSettings {
  std::string server = "localhost";
  // The port, or 0 when the value given names none: outside 1 to 65535 as written,
  // before any wrapping.
  std::int32_t port = 25;
  std::string portAsWritten = "25";  // that value's sign and digits, for messages
  std::string domain = "localhost.localdomain";
  std::string senderName = "larkpost";
  std::string senderAddress = "larkpost";
  // Seconds that replace every time limit of the dialogue; 0 keeps the standard ones.
  std::int32_t timeoutSeconds = 0;

  // Securing the connection and logging in. Unset security follows the port: 465 is
  // TLS, 587 STARTTLS, any other port plaintext.
  std::optional<Security> security;
  std::string user;  // logs in when set
  std::string password;         // from the settings file; LARKPOST_PASSWORD comes first
  std::string passwordCommand;  // its first output line is the secret; comes first of all
  bool passwordFromStore = false;  // PasswordStore=credman: the Windows Credential Manager's
  bool storePassword = false;      // --store-password: put a password there, send nothing
  AuthChoice auth = AuthChoice::kAuto;
  std::string caFile;       // trusted certificates instead of the system's
  std::string fingerprint;  // SHA-256 of the server's certificate: when set, the only trust
  bool tlsVerify = true;
  bool plaintextAuth = false;  // allow a password over a plaintext connection
  bool check = false;          // --check: probe the server, send nothing
  OAuthSettings oauth;
  // Set for the built-in OAuth login: a new access token after the server refused one.
  std::function<Secret()> renewToken;
  bool oauthLogin = false;  // --oauth-login: log in at the OAuth provider, send nothing
  // Delivery: at most this many recipients a transaction (0: as many as the server
  // takes); further attempts after a temporary failure, the first after this many
  // seconds, each later one after twice as long.
  std::int32_t maxRecipients = 0;
  std::int32_t retries = 0;
  std::int32_t retryDelaySeconds = 30;
  // The transcript: to this file, or to standard error when "-"; none when empty. With
  // traceData the message data is shown too, not only its size.
  std::string tracePath;
  bool traceData = false;
  std::string reportPath;  // the JSON report: to this file, or standard output when "-"
  // For scripts and cron: no banner on success (quiet); one line per transaction appended
  // to logPath and, on POSIX, sent to syslog; the envelope and message shown instead of
  // sent (dryRun); a line holding a single full stop sent as data, not taken as the end
  // of the message (ignoreDots).
  bool quiet = false;
  std::string logPath;
  bool syslog = false;
  bool dryRun = false;
  bool ignoreDots = false;

  std::string subject;
  std::int32_t priority = 0;  // 0: no X-Priority line
  Attachment attachment;      // -a's; sent when `attach` is set
  std::vector<Attachment> moreAttachments;  // --attach, those found, in command-line order
  std::string listPath;
  // The body's character set, named in the MIME fields the program writes.
  std::string charset = platform::defaultCharset();

  bool emitHeader = false;   // the program writes the message header (-h, -t)
  bool attach = false;       // -a's file is attached (when found)
  bool html = false;         // the body is text/html (--html)
  bool useList = false;      // recipients come from listPath (-l, -t)
  bool parseHeader = false;  // recipients and sender come from the input's header (-t)

  // The sendmail mode's reading of the input: a line holding a single full stop ends it
  // unless -i says otherwise, and a whole message gets only what its header lacks of
  // Date, From and Message-ID, nothing else.
  bool fullStopEnds = true;
  bool completesHeader = false;
  // Recipients without '@' (sendmail mode): looked up in this aliases file (unset: the
  // system's, when it can be read; empty: none), else qualified with this domain (empty:
  // the host name, when it has a dot).
  std::optional<std::string> aliasesPath;
  std::string qualifyDomain;

  // Delivery status notifications, when the server offers them: NOTIFY (upper-cased
  // comma list), RET (HDRS or FULL) and ENVID (as given; empty: the Message-ID). Asked
  // for when any is set; without the server's offer the run says so and sends without,
  // or with dsnRequired fails.
  std::string dsnNotify;
  std::string dsnReturn;
  std::string dsnEnvid;
  bool dsnRequired = false;
  bool dsnAsked() const { return !dsnNotify.empty() || !dsnReturn.empty() || !dsnEnvid.empty(); }
};

}  // namespace larkpost

#endif  // LARKPOST_CORE_JOB_SETTINGS_H_

