// Two runs may start at once (two cron jobs) while the provider rotates refresh tokens:
// each refresh spends the stored refresh token, so refreshes are serialised by a lock
// on the account's store file, and a run that waited re-reads the store first and uses
// the token the other run just fetched.
#include "oauth/oauth_client.h"

#include <chrono>
#include <thread>

#include "core/printable.h"
#include "core/run_failure.h"
#include "oauth/device_poll.h"
#include "oauth/provider.h"
#include "oauth/token_messages.h"
#include "oauth/token_store.h"
#include "platform/crypto.h"
#include "platform/http.h"
#include "platform/loopback.h"
#include "platform/platform.h"
#include "platform/protected_file.h"

namespace larkpost::oauth {
namespace {

constexpr int kDefaultSeconds = 60;
constexpr std::int64_t kLockWaitMillis = 120000;
constexpr std::int64_t kBrowserWaitMillis = 5 * 60 * 1000;
constexpr const char* kDeviceGrantType = "urn:ietf:params:oauth:grant-type:device_code";

std::int64_t nowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::int64_t timeoutMillis(const JobSettings& settings) {
  return std::int64_t{settings.timeoutSeconds > 0 ? settings.timeoutSeconds : kDefaultSeconds} * 1000;
}

std::string hostOf(const std::string& url) {
  std::size_t start = url.find("://");
  start = start == std::string::npos ? 0 : start + 3;
  return printable(url.substr(start, url.find_first_of("/?#", start) - start));
}

// One exchange with an endpoint; whatever keeps an answer from arriving ends the run.
platform::HttpResponse post(const JobSettings& settings, const std::string& url,
                            const std::string& body) {
  if (url.empty()) {
    throw RunFailure{"The OAuth provider's endpoint is not known: set OAuthProvider, or "
                     "OAuthTokenUrl (and OAuthDeviceUrl or OAuthAuthorizeUrl) for a custom one\n"};
  }
  platform::HttpRequest request{url, body, settings.oauth.caFile, timeoutMillis(settings), 64 * 1024};
  platform::HttpResponse response = platform::httpExchange(request);
  std::string where = "the OAuth provider (" + hostOf(url) + ")";
  switch (response.status) {
    case platform::HttpResponse::Status::kOk:
      return response;
    case platform::HttpResponse::Status::kTimedOut:
      throw RunFailure{"No answer from " + where + " within " +
                           std::to_string(timeoutMillis(settings) / 1000) + " seconds\n",
                       SessionEnd::kDrop, true};
    case platform::HttpResponse::Status::kTooLarge:
      throw RunFailure{"The answer from " + where + " is longer than 64 KiB\n"};
    case platform::HttpResponse::Status::kFailed:
      break;
  }
  throw RunFailure{"Could not reach " + where + ": " + printable(response.error) + "\n",
                   SessionEnd::kDrop, true};
}

std::string clientSecret(const JobSettings& settings) {
  const OAuthSettings& oauth = settings.oauth;
  if (oauth.clientSecretCommand.empty()) return oauth.clientSecret;
  std::int64_t limit = timeoutMillis(settings);
  platform::CommandOutcome outcome = platform::runCommand(oauth.clientSecretCommand, limit, "LARKPOST_PASSWORD");
  if (outcome.status == platform::CommandOutcome::Status::kNotStarted) {
    throw RunFailure{"Could not run OAuthClientSecretCommand: " + printable(outcome.error) + "\n"};
  }
  if (outcome.status == platform::CommandOutcome::Status::kTimedOut) {
    wipe(outcome.firstLine);
    throw RunFailure{"OAuthClientSecretCommand did not finish within " +
                     std::to_string(limit / 1000) + " seconds\n"};
  }
  if (outcome.exitCode != 0 || outcome.firstLine.empty()) {
    wipe(outcome.firstLine);
    throw RunFailure{"OAuthClientSecretCommand failed with exit status " +
                     std::to_string(outcome.exitCode) + "\n"};
  }
  return std::move(outcome.firstLine);
}

// The fields every token request carries: the client, and its secret when it has one.
FormFields clientFields(const JobSettings& settings, const std::string& secret) {
  return {{"client_id", settings.oauth.clientId}, {"client_secret", secret}};
}

std::string loginLapsed(const JobSettings& settings) {
  return "The OAuth login for " + printable(settings.user) +
         " has expired or was revoked: run larkpost --oauth-login\n";
}

void requireAccount(const JobSettings& settings) {
  if (settings.oauth.clientId.empty()) throw RunFailure{"OAuthProvider needs OAuthClientId\n"};
  if (settings.user.empty()) throw RunFailure{"OAuthProvider needs User (the mailbox address)\n"};
}

std::string storePath(const JobSettings& settings) {
  std::string error;
  std::optional<std::string> folder = platform::protectedFolder(error);
  if (!folder) throw RunFailure{"Could not use the OAuth token store: " + printable(error) + "\n"};
  return platform::protectedPath(*folder, storeFileName(settings.oauth, settings.user));
}

std::optional<StoredTokens> loadTokens(const std::string& path) {
  platform::ProtectedRead read = platform::readProtectedFile(path);
  switch (read.status) {
    case platform::ProtectedRead::Status::kMissing:
      return std::nullopt;
    case platform::ProtectedRead::Status::kExposed:
      throw RunFailure{"The OAuth token file '" + printable(path) +
                       "' can be read by others; chmod 600 it (or log in again)\n"};
    case platform::ProtectedRead::Status::kFailed:
      throw RunFailure{"Could not read the OAuth token file '" + printable(path) +
                       "': " + printable(read.error) + "\n"};
    case platform::ProtectedRead::Status::kRead:
      break;
  }
  std::optional<StoredTokens> tokens = parseStoredTokens(read.content);
  wipe(read.content);
  if (!tokens) {
    throw RunFailure{"The OAuth token file '" + printable(path) +
                     "' is damaged: run larkpost --oauth-login\n"};
  }
  return tokens;
}

void saveTokens(const std::string& path, const StoredTokens& tokens) {
  std::string text = serializeTokens(tokens);
  std::string error;
  bool saved = platform::writeProtectedFile(path, text, error);
  wipe(text);
  if (!saved) throw RunFailure{"Could not write the OAuth token file: " + printable(error) + "\n"};
}

platform::ProtectedLock lockTokens(const std::string& path) {
  std::string error;
  std::optional<platform::ProtectedLock> lock = platform::lockProtectedFile(path, kLockWaitMillis, error);
  if (!lock) throw RunFailure{"Could not lock the OAuth token file: " + printable(error) + "\n"};
  return std::move(*lock);
}

// Takes what a successful token answer brings into `tokens`.
void absorb(TokenAnswer& answer, StoredTokens& tokens) {
  tokens.accessToken = std::move(answer.accessToken);
  // Without an expiry, an hour is what the providers give.
  tokens.accessExpiresAt = nowSeconds() + (answer.expiresIn > 0 ? answer.expiresIn : 3600);
  if (!answer.refreshToken.empty()) tokens.refreshToken = std::move(answer.refreshToken);
  if (std::string account = accountInIdToken(answer.idToken); !account.empty()) {
    tokens.account = account;
  }
}

TokenAnswer requestTokens(const JobSettings& settings, FormFields fields) {
  Endpoints endpoints = endpointsFor(settings.oauth);
  std::string secret = clientSecret(settings);
  for (auto& field : clientFields(settings, secret)) fields.push_back(std::move(field));
  wipe(secret);
  std::string body = formEncode(fields);
  for (auto& field : fields) wipe(field.second);
  platform::HttpResponse response = post(settings, endpoints.token, body);
  wipe(body);
  TokenAnswer answer = parseTokenAnswer(response.httpStatus, response.body);
  wipe(response.body);
  return answer;
}

[[noreturn]] void refused(const TokenAnswer& answer, const JobSettings& settings) {
  if (answer.kind == TokenAnswer::Kind::kMalformed) {
    throw RunFailure{"The OAuth provider (" + hostOf(endpointsFor(settings.oauth).token) +
                     ") gave no usable answer: " + answer.detail + "\n"};
  }
  throw RunFailure{"The OAuth provider refused the token request: " + describeError(answer) + "\n"};
}

// A new access token into `tokens`, which the caller then stores.
void fetchAccessToken(const JobSettings& settings, StoredTokens& tokens) {
  Endpoints endpoints = endpointsFor(settings.oauth);
  bool appOnly = settings.oauth.grant == OAuthGrant::kClientCredentials;
  if (!appOnly && tokens.refreshToken.empty()) throw RunFailure{loginLapsed(settings)};
  FormFields fields = appOnly ? FormFields{{"grant_type", "client_credentials"},
                                           {"scope", endpoints.scope}}
                              : FormFields{{"grant_type", "refresh_token"},
                                           {"refresh_token", tokens.refreshToken},
                                           {"scope", endpoints.scope}};
  TokenAnswer answer = requestTokens(settings, std::move(fields));
  if (answer.kind == TokenAnswer::Kind::kError && answer.error == "invalid_grant" && !appOnly) {
    throw RunFailure{loginLapsed(settings)};
  }
  if (answer.kind != TokenAnswer::Kind::kTokens) refused(answer, settings);
  absorb(answer, tokens);
}

}  // namespace

bool usesBuiltInOAuth(const JobSettings& settings) {
  return settings.oauth.provider != OAuthProvider::kNone;
}

struct TokenSource::Impl {
  const JobSettings& settings;
  std::string path;

  // Under the lock: the stored token if it is fresh and not `unwanted`, else a new one.
  Secret freshToken(std::string_view unwanted) {
    platform::ProtectedLock lock = lockTokens(path);
    std::optional<StoredTokens> stored = loadTokens(path);
    bool appOnly = settings.oauth.grant == OAuthGrant::kClientCredentials;
    if (!stored && !appOnly) {
      throw RunFailure{"No OAuth login for " + printable(settings.user) +
                       " yet: run larkpost --oauth-login\n"};
    }
    StoredTokens tokens = stored ? std::move(*stored) : StoredTokens{};
    if (accessTokenFresh(tokens, nowSeconds()) && tokens.accessToken != unwanted) {
      return Secret(tokens.accessToken);
    }
    fetchAccessToken(settings, tokens);
    saveTokens(path, tokens);
    return Secret(tokens.accessToken);
  }
};

TokenSource::TokenSource(const JobSettings& settings) {
  requireAccount(settings);
  impl_ = std::unique_ptr<Impl>(new Impl{settings, storePath(settings)});
}

TokenSource::~TokenSource() = default;

Secret TokenSource::accessToken() {
  // Most runs find a fresh token and need no lock.
  if (std::optional<StoredTokens> stored = loadTokens(impl_->path)) {
    if (accessTokenFresh(*stored, nowSeconds())) return Secret(stored->accessToken);
  }
  return impl_->freshToken({});
}

Secret TokenSource::renewedAccessToken() {
  std::optional<StoredTokens> stored = loadTokens(impl_->path);
  std::string refused = stored ? stored->accessToken : std::string();
  Secret renewed = impl_->freshToken(refused);
  wipe(refused);
  return renewed;
}

namespace {

void announce(std::ostream& out, const StoredTokens& tokens, const JobSettings& settings) {
  out << "Logged in as " << (tokens.account.empty() ? printable(settings.user) : tokens.account)
      << " at " << providerName(settings.oauth.provider) << "; the login is stored for "
      << printable(settings.user) << "\n";
}

// The login asks for the user's name too, so the program can say who logged in.
std::string loginScope(const JobSettings& settings, const Endpoints& endpoints) {
  if (settings.oauth.provider == OAuthProvider::kCustom || !settings.oauth.scope.empty()) {
    return endpoints.scope;
  }
  return endpoints.scope + " openid email";
}

void storeLogin(const JobSettings& settings, TokenAnswer& answer, std::ostream& out) {
  if (answer.refreshToken.empty()) {
    throw RunFailure{"The OAuth provider gave no refresh token: ask for offline access in "
                     "OAuthScope\n"};
  }
  std::string path = storePath(settings);
  platform::ProtectedLock lock = lockTokens(path);
  StoredTokens tokens;
  absorb(answer, tokens);
  saveTokens(path, tokens);
  announce(out, tokens, settings);
}

void deviceLogin(const JobSettings& settings, const Endpoints& endpoints, std::ostream& out) {
  std::string secret = clientSecret(settings);
  std::string body = formEncode(
      {{"client_id", settings.oauth.clientId}, {"client_secret", secret}, {"scope", loginScope(settings, endpoints)}});
  wipe(secret);
  if (endpoints.device.empty()) throw RunFailure{"The device login needs OAuthDeviceUrl\n"};
  platform::HttpResponse response = post(settings, endpoints.device, body);
  wipe(body);
  std::string error;
  std::optional<DeviceAuthorization> device =
      parseDeviceAuthorization(response.httpStatus, response.body, error);
  if (!device) throw RunFailure{"The OAuth provider refused the device login: " + error + "\n"};
  out << "To log in, open " << printable(device->verificationUri) << " in a browser and enter the code "
      << printable(device->userCode) << "\n";
  out.flush();
  DevicePoll poll(*device, platform::monotonicMillis());
  std::int64_t wait = poll.firstWaitMillis();
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(wait));
    TokenAnswer answer = requestTokens(
        settings, {{"grant_type", kDeviceGrantType}, {"device_code", device->deviceCode}});
    DevicePoll::Step step = poll.afterAnswer(answer, platform::monotonicMillis());
    if (step.action == DevicePoll::Step::Action::kDone) return storeLogin(settings, answer, out);
    if (step.action == DevicePoll::Step::Action::kFailed) throw RunFailure{step.message + "\n"};
    wait = step.waitMillis;
  }
}

const char kLoginPage[] =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nConnection: close\r\n\r\n"
    "<!DOCTYPE html><title>Larkpost</title><p>Larkpost has the login. You can close this page.</p>";
const char kWrongRequest[] =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n"
    "Not the login Larkpost is waiting for.\n";

// The query of a redirect that carries `state`; other requests are answered and ignored.
std::string awaitRedirect(platform::LoopbackServer& server, const std::string& state) {
  std::int64_t deadline = platform::monotonicMillis() + kBrowserWaitMillis;
  for (;;) {
    std::optional<std::string> line = server.nextRequest(deadline);
    if (!line) throw RunFailure{"The browser login was not completed within 5 minutes\n"};
    std::size_t start = line->find(" /?");
    std::size_t end = line->rfind(' ');
    if (line->starts_with("GET ") && start != std::string::npos && end > start) {
      std::string query = line->substr(start + 3, end - start - 3);
      if (queryValue(query, "state") == state) {
        server.answer(kLoginPage);
        return query;
      }
    }
    server.answer(kWrongRequest);
  }
}

void browserLogin(const JobSettings& settings, const Endpoints& endpoints, std::ostream& out) {
  if (endpoints.authorize.empty()) throw RunFailure{"The browser login needs OAuthAuthorizeUrl\n"};
  std::optional<std::string> verifierBytes = platform::randomBytes(32);
  std::optional<std::string> stateBytes = platform::randomBytes(16);
  if (!verifierBytes || !stateBytes) throw RunFailure{"The system gave no random bytes\n"};
  std::string verifier = base64Url(*verifierBytes);
  std::string state = base64Url(*stateBytes);
  std::string error;
  std::unique_ptr<platform::LoopbackServer> server = platform::listenOnLoopback(error);
  if (!server) throw RunFailure{"Could not listen for the browser login: " + printable(error) + "\n"};
  std::string redirect = "http://127.0.0.1:" + std::to_string(server->port()) + "/";
  std::string url = endpoints.authorize +
                    (endpoints.authorize.find('?') == std::string::npos ? "?" : "&") +
                    formEncode({{"client_id", settings.oauth.clientId},
                                {"response_type", "code"},
                                {"redirect_uri", redirect},
                                {"scope", loginScope(settings, endpoints)},
                                {"state", state},
                                {"code_challenge", pkceChallenge(verifier)},
                                {"code_challenge_method", "S256"},
                                {"login_hint", settings.user},
                                // Google hands out a refresh token only when asked so.
                                {"access_type", settings.oauth.provider == OAuthProvider::kGoogle
                                                    ? "offline" : ""},
                                {"prompt", settings.oauth.provider == OAuthProvider::kGoogle
                                               ? "consent" : ""}});
  out << "To log in, open this address in a browser on this machine:\n" << url << "\n";
  out.flush();
  platform::openInBrowser(url);
  std::string query = awaitRedirect(*server, state);
  server.reset();  // listen no longer than needed
  if (std::optional<std::string> refusal = queryValue(query, "error")) {
    std::string description = queryValue(query, "error_description").value_or("");
    throw RunFailure{"The login was refused at the OAuth provider: " + printable(*refusal) +
                     (description.empty() ? "" : " (" + printable(description) + ")") + "\n"};
  }
  std::string code = queryValue(query, "code").value_or("");
  if (code.empty()) throw RunFailure{"The browser came back without a code\n"};
  TokenAnswer answer = requestTokens(settings, {{"grant_type", "authorization_code"},
                                                {"code", code},
                                                {"redirect_uri", redirect},
                                                {"code_verifier", verifier}});
  wipe(code);
  wipe(verifier);
  if (answer.kind != TokenAnswer::Kind::kTokens) refused(answer, settings);
  storeLogin(settings, answer, out);
}

}  // namespace

void logIn(const JobSettings& settings, std::ostream& out) {
  if (!usesBuiltInOAuth(settings)) throw RunFailure{"--oauth-login needs OAuthProvider\n"};
  requireAccount(settings);
  Endpoints endpoints = endpointsFor(settings.oauth);
  switch (loginGrant(settings.oauth, endpoints)) {
    case OAuthGrant::kClientCredentials: {
      TokenSource source(settings);
      Secret token = source.renewedAccessToken();
      out << "The client's credentials work; runs fetch their tokens as they need them\n";
      return;
    }
    case OAuthGrant::kBrowser:
      return browserLogin(settings, endpoints, out);
    case OAuthGrant::kDeviceCode:
    case OAuthGrant::kAuto:
      return deviceLogin(settings, endpoints, out);
  }
}

std::string describeState(const JobSettings& settings) {
  std::string text = "OAuth: provider " + std::string(providerName(settings.oauth.provider));
  if (settings.oauth.clientId.empty() || settings.user.empty()) {
    return text + ", not usable: OAuthClientId and User are needed\n";
  }
  std::string path = storePath(settings);
  std::optional<StoredTokens> stored = loadTokens(path);
  bool appOnly = settings.oauth.grant == OAuthGrant::kClientCredentials;
  if (!stored && !appOnly) return text + ", no login for " + printable(settings.user) + " yet\n";
  text += ", account " + printable(stored && !stored->account.empty() ? stored->account : settings.user);
  text += "\nOAuth: access token ";
  if (stored && accessTokenFresh(*stored, nowSeconds(), 0)) {
    text += "valid for " + std::to_string((stored->accessExpiresAt - nowSeconds()) / 60) + " more minutes";
  } else {
    text += "expired or none";
  }
  try {
    platform::ProtectedLock lock = lockTokens(path);
    std::optional<StoredTokens> current = loadTokens(path);
    StoredTokens tokens = current ? std::move(*current) : StoredTokens{};
    fetchAccessToken(settings, tokens);
    saveTokens(path, tokens);
    text += "\nOAuth: refresh works: yes\n";
  } catch (const RunFailure& failure) {
    text += "\nOAuth: refresh works: no: " + failure.message;
  }
  return text;
}

}  // namespace larkpost::oauth
