// The built-in OAuth login at work: the token a sending run logs in with, the one-time
// --oauth-login, and the state --check shows. Talks to the provider over HTTPS and keeps
// the tokens in the user's protected token store.
#ifndef LARKPOST_OAUTH_OAUTH_CLIENT_H_
#define LARKPOST_OAUTH_OAUTH_CLIENT_H_

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "core/job_settings.h"
#include "core/secret.h"

namespace larkpost::oauth {

// True when the settings ask for the built-in OAuth flow (an OAuthProvider is set).
bool usesBuiltInOAuth(const JobSettings& settings);

// The access tokens of one account, for one run.
class TokenSource {
 public:
  explicit TokenSource(const JobSettings& settings);
  ~TokenSource();

  // The access token: the stored one while it has more than a minute left, else a new
  // one, from the refresh token (whose successor, if the provider sends one, is stored)
  // or, for the client credentials grant, from the client's own credentials. Throws
  // RunFailure when none can be had; an expired or revoked login says to log in again.
  Secret accessToken();

  // A new access token after the server refused the one it was given; a token another
  // run stored meanwhile counts as new.
  Secret renewedAccessToken();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// --oauth-login: logs in at the provider the way the settings (or `grant`) say, stores
// the refresh token and prints who logged in. Throws RunFailure for what fails.
void logIn(const JobSettings& settings, std::ostream& out);

// For --check: the provider, the account, how long the stored access token is good for
// and whether a refresh works now (which stores what it gets). Lines ready to print.
std::string describeState(const JobSettings& settings);

}  // namespace larkpost::oauth

#endif  // LARKPOST_OAUTH_OAUTH_CLIENT_H_
