#include <gtest/gtest.h>

#include "core/base64_decoder.h"
#include "oauth/device_poll.h"
#include "oauth/provider.h"
#include "oauth/token_messages.h"
#include "oauth/token_store.h"

namespace larkpost::oauth {
namespace {

TEST(OAuthMessages, PkceChallengeMatchesTheWorkedExampleOfRfc7636) {
  EXPECT_EQ(pkceChallenge("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk"),
            "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST(OAuthMessages, FormsAndQueriesRoundTripEveryByte) {
  std::string awkward = "a b+c&d=e%f\xC3\xA9~";
  std::string body = formEncode({{"scope", awkward}, {"empty", ""}, {"client_id", "x"}});
  EXPECT_EQ(body, "scope=a%20b%2Bc%26d%3De%25f%C3%A9~&client_id=x");
  EXPECT_EQ(queryValue(body, "scope"), awkward);
  EXPECT_EQ(queryValue(body, "client_id"), "x");
  EXPECT_EQ(queryValue(body, "empty"), std::nullopt);
  EXPECT_EQ(queryValue("code=a+b&state=%zz", "code"), "a b");
  EXPECT_EQ(queryValue("code=a+b&state=%zz", "state"), "%zz");
}

TEST(OAuthMessages, TokenAnswersAreReadDefensively) {
  struct Case {
    long status;
    const char* body;
    TokenAnswer::Kind kind;
    const char* error;
  };
  const Case cases[] = {
      {200, R"({"access_token":"AT","refresh_token":"RT","expires_in":3599})", TokenAnswer::Kind::kTokens, ""},
      {200, R"({"access_token":"AT","expires_in":"3599"})", TokenAnswer::Kind::kTokens, ""},
      {400, R"({"error":"invalid_grant","error_description":"AADSTS70008"})", TokenAnswer::Kind::kError, "invalid_grant"},
      {400, R"({"error":"authorization_pending"})", TokenAnswer::Kind::kError, "authorization_pending"},
      {500, "<html>Internal Server Error</html>", TokenAnswer::Kind::kMalformed, ""},
      {200, R"(["access_token"])", TokenAnswer::Kind::kMalformed, ""},
      {200, R"({"access_token":42})", TokenAnswer::Kind::kMalformed, ""},
      {201, R"({"access_token":"AT"})", TokenAnswer::Kind::kMalformed, ""},
      {200, "", TokenAnswer::Kind::kMalformed, ""},
  };
  for (const Case& c : cases) {
    TokenAnswer answer = parseTokenAnswer(c.status, c.body);
    EXPECT_EQ(answer.kind, c.kind) << c.body;
    EXPECT_EQ(answer.error, c.error) << c.body;
  }
  TokenAnswer full = parseTokenAnswer(200, R"({"access_token":"AT","refresh_token":"RT","expires_in":3599})");
  EXPECT_EQ(full.accessToken, "AT");
  EXPECT_EQ(full.refreshToken, "RT");
  EXPECT_EQ(full.expiresIn, 3599);
  TokenAnswer error = parseTokenAnswer(400, R"({"error":"bad\u001b[2J","error_description":"x"})");
  EXPECT_EQ(describeError(error), "bad\\x1B[2J (x)");
}

TEST(OAuthMessages, IdTokenNamesTheAccountWithoutBeingTrusted) {
  // {"preferred_username":"ann@example.com"} with base64url and no padding.
  std::string payload = base64Url(R"({"sub":"1","preferred_username":"ann@example.com"})");
  EXPECT_EQ(accountInIdToken("e30." + payload + ".sig"), "ann@example.com");
  EXPECT_EQ(accountInIdToken("not a token"), "");
  EXPECT_EQ(accountInIdToken("e30.!!!.sig"), "");
}

TEST(Base64Decoder, DecodesStrictlyPaddedText) {
  EXPECT_EQ(decodeBase64(""), "");
  EXPECT_EQ(decodeBase64("YQ=="), "a");
  EXPECT_EQ(decodeBase64("YWI="), "ab");
  EXPECT_EQ(decodeBase64("YWJj"), "abc");
  EXPECT_EQ(decodeBase64("AP8="), std::string("\x00\xFF", 2));
  EXPECT_EQ(decodeBase64("YWJ"), std::nullopt);
  EXPECT_EQ(decodeBase64("YW J"), std::nullopt);
  EXPECT_EQ(decodeBase64("Y==="), std::nullopt);
}

TEST(DevicePoll, FollowsTheProvidersPacingToTheCodesEnd) {
  DeviceAuthorization device;
  device.interval = 5;
  device.expiresIn = 30;
  DevicePoll poll(device, 0);
  EXPECT_EQ(poll.firstWaitMillis(), 5000);
  auto answer = [](const char* body) { return parseTokenAnswer(400, body); };
  DevicePoll::Step step = poll.afterAnswer(answer(R"({"error":"authorization_pending"})"), 5000);
  EXPECT_EQ(step.action, DevicePoll::Step::Action::kWait);
  EXPECT_EQ(step.waitMillis, 5000);
  step = poll.afterAnswer(answer(R"({"error":"slow_down"})"), 10000);
  EXPECT_EQ(step.waitMillis, 10000);  // five seconds more, from now on
  step = poll.afterAnswer(answer(R"({"error":"authorization_pending"})"), 20000);
  EXPECT_EQ(step.action, DevicePoll::Step::Action::kFailed);  // the next poll would be too late
  EXPECT_NE(step.message.find("expired"), std::string::npos);

  DevicePoll other(device, 0);
  EXPECT_EQ(other.afterAnswer(answer(R"({"error":"access_denied"})"), 5000).action,
            DevicePoll::Step::Action::kFailed);
  EXPECT_EQ(other.afterAnswer(answer(R"({"error":"expired_token"})"), 5000).action,
            DevicePoll::Step::Action::kFailed);
  EXPECT_EQ(other.afterAnswer(answer(R"({"error":"invalid_client"})"), 5000).message,
            "The OAuth provider refused the login: invalid_client");
  EXPECT_EQ(other.afterAnswer(parseTokenAnswer(200, R"({"access_token":"A"})"), 5000).action,
            DevicePoll::Step::Action::kDone);
}

TEST(TokenStore, RoundTripsAndRefusesWhatItDidNotWrite) {
  StoredTokens tokens;
  tokens.account = "ann@example.com";
  tokens.refreshToken = "R\"T\n";
  tokens.accessToken = "AT";
  tokens.accessExpiresAt = 1800000000;
  std::optional<StoredTokens> back = parseStoredTokens(serializeTokens(tokens));
  ASSERT_TRUE(back);
  EXPECT_EQ(back->account, tokens.account);
  EXPECT_EQ(back->refreshToken, tokens.refreshToken);
  EXPECT_EQ(back->accessToken, "AT");
  EXPECT_EQ(back->accessExpiresAt, 1800000000);
  EXPECT_FALSE(parseStoredTokens("{}"));
  EXPECT_FALSE(parseStoredTokens(R"({"larkpost_token_store":2,"account":"","refresh_token":"",)"
                                 R"("access_token":"","access_expires_at":0})"));
  EXPECT_FALSE(parseStoredTokens("garbage"));
  EXPECT_TRUE(accessTokenFresh(tokens, 1800000000 - 61));
  EXPECT_FALSE(accessTokenFresh(tokens, 1800000000 - 60));
}

TEST(TokenStore, OneFilePerAccount) {
  OAuthSettings settings;
  settings.provider = OAuthProvider::kMicrosoft;
  settings.clientId = "client";
  std::string name = storeFileName(settings, "ann@example.com");
  EXPECT_EQ(name.size(), std::string("oauth-.json").size() + 32);
  EXPECT_NE(name, storeFileName(settings, "bob@example.com"));
  OAuthSettings otherTenant = settings;
  otherTenant.tenant = "contoso.onmicrosoft.com";
  EXPECT_NE(name, storeFileName(otherTenant, "ann@example.com"));
  OAuthSettings appOnly = settings;
  appOnly.grant = OAuthGrant::kClientCredentials;
  EXPECT_NE(name, storeFileName(appOnly, "ann@example.com"));
}

TEST(Provider, EndpointsAndScopesPerProvider) {
  OAuthSettings microsoft;
  microsoft.provider = OAuthProvider::kMicrosoft;
  Endpoints endpoints = endpointsFor(microsoft);
  EXPECT_EQ(endpoints.token, "https://login.microsoftonline.com/organizations/oauth2/v2.0/token");
  EXPECT_EQ(endpoints.scope, "https://outlook.office.com/SMTP.Send offline_access");
  EXPECT_EQ(loginGrant(microsoft, endpoints), OAuthGrant::kDeviceCode);
  microsoft.grant = OAuthGrant::kClientCredentials;
  EXPECT_EQ(endpointsFor(microsoft).scope, "https://outlook.office365.com/.default");
  OAuthSettings google;
  google.provider = OAuthProvider::kGoogle;
  EXPECT_EQ(endpointsFor(google).scope, "https://mail.google.com/");
  EXPECT_EQ(loginGrant(google, endpointsFor(google)), OAuthGrant::kBrowser);
  OAuthSettings custom;
  custom.provider = OAuthProvider::kCustom;
  custom.tokenUrl = "https://127.0.0.1:1/token";
  EXPECT_EQ(loginGrant(custom, endpointsFor(custom)), OAuthGrant::kBrowser);
  custom.deviceUrl = "https://127.0.0.1:1/device";
  EXPECT_EQ(loginGrant(custom, endpointsFor(custom)), OAuthGrant::kDeviceCode);
  EXPECT_EQ(parseProvider("Microsoft"), OAuthProvider::kMicrosoft);
  EXPECT_EQ(parseProvider("yahoo"), std::nullopt);
  EXPECT_EQ(parseGrant("client-credentials"), OAuthGrant::kClientCredentials);
}

}  // namespace
}  // namespace larkpost::oauth
