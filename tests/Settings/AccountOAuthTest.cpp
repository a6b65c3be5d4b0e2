// The account settings' Google token upkeep: the 300-second attempt rule, the token rule,
// and renewal of a saved authorization against the test authorization server.
#include "MockAuthorizationServer.h"
#include "SecretServiceSession.h"

#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2SignIn.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUuid>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

QString googleAccount(Preferences &prefs)
{
    const QString email = QStringLiteral("g-%1@example.org").arg(QUuid::createUuid().toString(QUuid::Id128));
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, prefs);
    return email;
}

// A clock the test moves.
struct TestClock {
    QDateTime now = QDateTime::currentDateTimeUtc();
    AccountOAuth::Clock fn() { return [this] { return now; }; }
};

} // namespace

TEST(AccountOAuth, OneAttemptPer300SecondsUnlessForced)
{
    Preferences &prefs = Preferences::shared();
    struct Row {
        qint64 secondCallAfter;
        bool forced;
        int attempts;
    } rows[] = {{10, false, 1}, {299, false, 1}, {-10, false, 1}, {-299, false, 1},
                {300, false, 2}, {-301, false, 2}, {0, true, 2},   {10, true, 2}};
    for (const Row &row : rows) {
        AccountOAuth oauth(prefs);
        TestClock clock;
        oauth.setClock(clock.fn());
        int asked = 0;
        oauth.setInteractiveSignIn([&](const QString &, GTMOAuth2Authentication *, const QString &message,
                                       GTMOAuth2Authentication::Finished) {
            ++asked;
            EXPECT_TRUE(message.startsWith("Authenticate for "));
        });
        const QString email = googleAccount(prefs);
        EXPECT_FALSE(oauth.OAuthInProgress(email));
        oauth.launchOauthWorkflowForEmail(email, false);
        EXPECT_TRUE(oauth.OAuthInProgress(email));
        clock.now = clock.now.addSecs(row.secondCallAfter);
        oauth.launchOauthWorkflowForEmail(email, row.forced);
        EXPECT_EQ(asked, row.attempts) << row.secondCallAfter << (row.forced ? " forced" : "");
        EXPECT_FALSE(prefs.stringForKey(email + "__googleOAuthKey").isEmpty()) << "a token name is made";
    }
}

TEST(AccountOAuth, TokenRule)
{
    Preferences &prefs = Preferences::shared();
    struct Row {
        qint64 expiresInSecs;
        bool returned;
        bool renewalStarted;
    } rows[] = {{600, true, false}, {300, true, false}, {299, true, true}, {200, true, true},
                {1, true, true},    {0, false, true},   {-10, false, true}};
    for (const Row &row : rows) {
        AccountOAuth oauth(prefs);
        TestClock clock;
        oauth.setClock(clock.fn());
        oauth.setInteractiveSignIn([](const QString &, GTMOAuth2Authentication *, const QString &,
                                      GTMOAuth2Authentication::Finished) {});
        const QString email = googleAccount(prefs);
        auto *auth = new GTMOAuth2Authentication;
        auth->setAccessToken("token");
        auth->expirationDate = clock.now.addSecs(row.expiresInSecs);
        oauth.adoptAuthorization(auth, email);
        EXPECT_EQ(oauth.accessTokenFromOAuth(email), row.returned ? "token" : "") << row.expiresInSecs;
        EXPECT_EQ(oauth.OAuthInProgress(email), row.renewalStarted) << row.expiresInSecs;
    }
    // A password account has no token, and asks for none.
    AccountOAuth oauth(prefs);
    EXPECT_EQ(oauth.accessTokenFromOAuth("pw@example.org"), "");
    EXPECT_FALSE(oauth.OAuthInProgress("pw@example.org"));
    // No current authorization: "" and an attempt; without a front end it fails, saying how.
    const QString email = googleAccount(prefs);
    QSignalSpy failed(&oauth, &AccountOAuth::OAuthFailed);
    Log::captureStart();
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), "");
    ASSERT_TRUE(TestSupport::spinUntil([&] { return failed.count() == 1; }));
    EXPECT_EQ(failed.at(0).at(0).toString(), email);
    const QStringList lines = Log::captureTake();
    EXPECT_TRUE(lines.contains("failed oauth for " + email)) << lines.join('\n').toStdString();
}

TEST(AccountOAuth, SavedAuthorizationIsRenewedAfterARestartAndAfterARefusal)
{
    REQUIRE_SECRET_SERVICE(keyring);
    MockAuthorizationServer server;
    QString failure;
    ASSERT_TRUE(server.start(&failure)) << failure.toStdString();
    Preferences &prefs = Preferences::shared();
    prefs.setValue("googleOAuthClientID", server.clientID);
    prefs.setValue("googleOAuthClientSecret", server.clientSecret);
    prefs.setValue("googleOAuthTokenURL", server.url("/token").toString());
    server.setExpiresIn(3600);

    // Signed in once (as the account pane or `sources add-account --google` does).
    const QString email = QStringLiteral("sam@example.org");
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, prefs);
    const QString name = AccountSetup::newKeyChainID();
    AccountSetup::setKeyChainID(name, email, prefs);
    {
        GTMOAuth2Authentication auth;
        auth.clientID = server.clientID;
        auth.clientSecret = server.clientSecret;
        auth.tokenURL = server.url("/token");
        auth.keychainItemName = name;
        GTMOAuth2SignIn signIn(&auth, server.url("/auth"), "https://mail.google.com/", server.url("/userinfo"));
        signIn.setKeepSignedIn(true, &prefs);
        QNetworkAccessManager browser;
        bool done = false;
        ASSERT_TRUE(signIn.startSigningIn([&](const QUrl &url) { browser.get(QNetworkRequest(url)); },
                                          [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
                                              done = true;
                                              EXPECT_FALSE(e.isError()) << e.description.toStdString();
                                          },
                                          nullptr));
        ASSERT_TRUE(TestSupport::spinUntil([&] { return done; }));
    }
    const QString firstRefresh = server.lastRefreshToken();

    // After a restart: no token at first, the saved refresh token renews it.
    AccountOAuth oauth(prefs);
    TestClock clock;
    oauth.setClock(clock.fn());
    QSignalSpy granted(&oauth, &AccountOAuth::OAuthGranted);
    QSignalSpy failed(&oauth, &AccountOAuth::OAuthFailed);
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), "");
    ASSERT_TRUE(TestSupport::spinUntil([&] { return granted.count() == 1; })) << server.refusals().join('\n').toStdString();
    EXPECT_EQ(granted.at(0).at(0).toString(), email);
    const QString token = oauth.accessTokenFromOAuth(email);
    EXPECT_EQ(token, server.lastAccessToken());
    EXPECT_EQ(server.refreshGrants(), 1);
    // The server rotated the refresh token: the saved one is the new one.
    EXPECT_FALSE(server.isRefreshTokenLive(firstRefresh));
    auto saved = GTMOAuth2Authentication::authForGoogleFromKeychainForName(name, "", "", QUrl(), prefs);
    EXPECT_EQ(saved->refreshToken(), server.lastRefreshToken());

    // The IMAP server refused the token: it is dropped and renewed.
    clock.now = clock.now.addSecs(301);
    Log::captureStart();
    oauth.authFailed("not a token of ours");
    EXPECT_TRUE(Log::captureTake().isEmpty());
    oauth.authFailed(token);
    EXPECT_TRUE(Log::captureTake().contains("Credentials removed. " + email));
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), "");
    ASSERT_TRUE(TestSupport::spinUntil([&] { return granted.count() == 2; }));
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), server.lastAccessToken());
    EXPECT_NE(server.lastAccessToken(), token);

    // The refresh token revoked: the renewal fails for good and the saved item goes, so
    // that the next attempt asks the user instead of the server again.
    server.revokeRefreshTokens();
    clock.now = clock.now.addSecs(301);
    oauth.authFailed(server.lastAccessToken());
    ASSERT_TRUE(TestSupport::spinUntil([&] { return failed.count() == 1; }));
    EXPECT_FALSE(prefs.boolForKey("OAuth2: " + name));
    EXPECT_EQ(keyring->countItems(name, "OAuth"), 0);
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), "");
    prefs.removeObjectForKey("googleOAuthClientID");
    prefs.removeObjectForKey("googleOAuthClientSecret");
    prefs.removeObjectForKey("googleOAuthTokenURL");
}

TEST(AccountOAuth, RemovingAGoogleAccountRemovesItsSavedSignIn)
{
    REQUIRE_SECRET_SERVICE(keyring);
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("Tarnwick.conf"));
    const QString email = googleAccount(prefs);
    const QString name = AccountSetup::keyChainIDForEmail(email, prefs);
    ASSERT_TRUE(AccountSetup::setPrefsEmailAddress(email, std::nullopt, std::nullopt, prefs,
                                                   FXKeychain::defaultKeychain()));
    GTMOAuth2Authentication auth;
    auth.setRefreshToken("long-lived");
    ASSERT_TRUE(GTMOAuth2Authentication::saveAuthToKeychainForName(name, auth, prefs));
    EXPECT_EQ(keyring->countItems(name, "OAuth"), 1);
    EXPECT_TRUE(AccountSetup::removeAccount(email, prefs, FXKeychain::defaultKeychain()));
    EXPECT_EQ(keyring->countItems(name, "OAuth"), 0);
    EXPECT_FALSE(prefs.hasStoredValue("OAuth2: " + name));
    EXPECT_FALSE(prefs.stringListForKey("EmailAccounts").contains(email));
}
