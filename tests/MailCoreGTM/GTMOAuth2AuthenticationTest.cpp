// The authorization record's rules, and a complete sign-in against the test authorization
// server: PKCE, state, tokens, identity, the saved authorization.
#include "MockAuthorizationServer.h"
#include "SecretServiceSession.h"

#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2Authentication.h"
#include "MailCoreGTM/GTMOAuth2SignIn.h"
#include "Settings/Preferences.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTimeZone>
#include <QTimer>
#include <QUuid>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

// The browser's part: follows the authorization address and its redirect to the loopback
// listener; the page the listener answered with.
QByteArray browse(const QUrl &url)
{
    static QNetworkAccessManager browser;
    QNetworkReply *reply = browser.get(QNetworkRequest(url));
    TestSupport::spinUntil([reply] { return reply->isFinished(); });
    reply->deleteLater();
    return reply->readAll();
}

QString b64(const QByteArray &json)
{
    return QString::fromLatin1(json.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

TEST(GTMOAuth2Authentication, FormEncodingAndDecoding)
{
    struct Row {
        QVariantMap dict;
        QString encoded;
    } rows[] = {
        {{}, ""},
        {{{"b", "2"}, {"A", "1"}, {"c", "3"}}, "A=1&b=2&c=3"}, // sorted without regard to case
        {{{"scope", "https://mail.google.com/ x"}}, "scope=https%3A%2F%2Fmail.google.com%2F%20x"},
        {{{"k", "!*'();:@&=+$,/?%#[]"}}, "k=%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D"},
        {{{"e-mail", "jö@例.org"}}, "e-mail=j%C3%B6%40%E4%BE%8B.org"},
        {{{"a b", "-._~"}}, "a%20b=-._~"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(GTMOAuth2Authentication::encodedQueryParametersForDictionary(row.dict), row.encoded);
        EXPECT_EQ(GTMOAuth2Authentication::dictionaryWithResponseString(row.encoded), row.dict) << row.encoded.toStdString();
    }
    // Decoding splits at the first "=" only; a pair without one has an empty value.
    const QVariantMap odd = GTMOAuth2Authentication::dictionaryWithResponseString("a=b=c&&flag&x=%2B");
    EXPECT_EQ(odd, (QVariantMap{{"a", "b=c"}, {"flag", ""}, {"x", "+"}}));
}

TEST(GTMOAuth2Authentication, PersistedFormKeepsNoAccessTokenBesideARefreshToken)
{
    struct Row {
        QVariantMap params;
        QString persisted;
    } rows[] = {
        {{{"access_token", "at"}, {"refresh_token", "rt"}, {"email", "a@b.org"}, {"expires_in", "3600"}},
         "email=a%40b.org&refresh_token=rt"},
        {{{"access_token", "at"}, {"scope", "s"}}, "access_token=at&scope=s"},
        {{{"refresh_token", "rt"}, {"serviceProvider", "Google"}, {"userID", "7"}, {"isVerified", "true"},
          {"token_type", "Bearer"}, {"code", "c"}},
         "isVerified=true&refresh_token=rt&serviceProvider=Google&userID=7"},
        {{}, ""},
    };
    for (const Row &row : rows) {
        GTMOAuth2Authentication auth;
        auth.parameters = row.params;
        EXPECT_EQ(auth.persistenceResponseString(), row.persisted);
    }
}

TEST(GTMOAuth2Authentication, RefreshRuleAndResponses)
{
    const QDateTime now(QDate(2026, 5, 1), QTime(12, 0), QTimeZone::utc());
    struct Row {
        const char *what;
        QVariantMap params;
        qint64 expiresInSecs; // -1: no expiration date
        bool refresh;
    } rows[] = {
        {"expires in 30 s", {{"access_token", "a"}, {"refresh_token", "r"}}, 30, true},
        {"expires in 10 min", {{"access_token", "a"}, {"refresh_token", "r"}}, 600, false},
        {"expires in 60 s", {{"access_token", "a"}, {"refresh_token", "r"}}, 60, false},
        {"no access token", {{"refresh_token", "r"}}, 600, true},
        {"no expiration date", {{"access_token", "a"}, {"refresh_token", "r"}}, -1, true},
        {"a code only", {{"code", "c"}}, -1, true},
        {"nothing to refresh with", {{"access_token", "a"}}, 5, false},
    };
    for (const Row &row : rows) {
        GTMOAuth2Authentication auth;
        auth.parameters = row.params;
        if (row.expiresInSecs >= 0)
            auth.expirationDate = now.addSecs(row.expiresInSecs);
        EXPECT_EQ(auth.shouldRefreshAccessToken(now), row.refresh) << row.what;
    }

    // A refresh answer without a refresh token keeps the one held; a new one is announced.
    GTMOAuth2Authentication auth;
    QSignalSpy changed(&auth, &GTMOAuth2Authentication::refreshTokenChanged);
    auth.setKeysForResponseDictionary({{"access_token", "a1"}, {"refresh_token", "r1"}, {"expires_in", "100"}}, now);
    EXPECT_EQ(changed.count(), 1);
    EXPECT_EQ(auth.expirationDate, now.addSecs(100));
    auth.setKeysForResponseDictionary({{"access_token", "a2"}}, now);
    EXPECT_EQ(auth.refreshToken(), "r1");
    EXPECT_FALSE(auth.expirationDate.isValid()) << "a grant without a lifetime has none";
    EXPECT_EQ(changed.count(), 1);
    auth.setKeysForResponseDictionary({{"access_token", "a3"}, {"refresh_token", "r2"}, {"expires_in", "5"}}, now);
    EXPECT_EQ(changed.count(), 2);

    // The bodies of the two grants.
    auth.clientID = "cid";
    auth.clientSecret = "sec";
    EXPECT_EQ(auth.tokenRequestBody(), "client_id=cid&client_secret=sec&grant_type=refresh_token&refresh_token=r2");
    GTMOAuth2Authentication fresh;
    fresh.clientID = "cid";
    fresh.redirectURI = "http://127.0.0.1:5/";
    fresh.codeVerifier = "v";
    fresh.setCode("c/1");
    EXPECT_EQ(fresh.tokenRequestBody(), "client_id=cid&code=c%2F1&code_verifier=v&grant_type=authorization_code&"
                                        "redirect_uri=http%3A%2F%2F127.0.0.1%3A5%2F");
}

TEST(GTMOAuth2Authentication, AuthorizingRequests)
{
    struct Row {
        const char *url;
        QString token;
        int code; // 0: authorized
    } rows[] = {
        {"https://www.googleapis.com/x", "t", 0},
        {"http://127.0.0.1:8/userinfo", "t", 0},
        {"http://example.org/userinfo", "t", kGTMOAuth2ErrorUnauthorizableRequest},
        {"https://www.googleapis.com/x", "", kGTMOAuth2ErrorTokenUnavailable},
    };
    for (const Row &row : rows) {
        GTMOAuth2Authentication auth;
        auth.setAccessToken(row.token);
        QNetworkRequest request{QUrl(QString::fromLatin1(row.url))};
        const GTMOAuth2Error error = auth.authorizeRequest(request);
        EXPECT_EQ(error.code, row.code) << row.url;
        EXPECT_EQ(request.rawHeader("Authorization"), row.code ? QByteArray() : QByteArray("Bearer t")) << row.url;
        if (row.code) {
            EXPECT_EQ(error.domain, "com.google.GTMOAuth2");
        }
    }
}

TEST(GTMOAuth2SignIn, IdentityFromIDTokenAndTheClockCheck)
{
    struct Row {
        QString idToken;
        QString id, email, verified;
    } rows[] = {
        {"h." + b64(R"({"id":"42","email":"a@b.org","verified_email":true})") + ".s", "42", "a@b.org", "true"},
        {"h." + b64(R"({"sub":"9","email":"c@d.org","email_verified":"false"})") + ".s", "9", "c@d.org", "false"},
        {"h." + b64(R"({"sub":"9"})") + ".s", "9", "", ""},
        {"only.two", "", "", ""},
        {"a.b.c.d", "", "", ""},
        {"h.bm90IGpzb24.s", "", "", ""}, // "not json"
    };
    for (const Row &row : rows) {
        GTMOAuth2Authentication auth;
        GTMOAuth2SignIn::setIdentity(auth, GTMOAuth2SignIn::identityFromIDToken(row.idToken));
        EXPECT_EQ(auth.userID(), row.id) << row.idToken.toStdString();
        EXPECT_EQ(auth.userEmail(), row.email);
        EXPECT_EQ(auth.userEmailIsVerified(), row.verified);
    }
    EXPECT_FALSE(GTMOAuth2SignIn::clockIsPlausible(QDateTime::fromSecsSinceEpoch(1293840000)));
    EXPECT_TRUE(GTMOAuth2SignIn::clockIsPlausible(QDateTime::fromSecsSinceEpoch(1293840001)));
    EXPECT_TRUE(GTMOAuth2SignIn::clockIncorrectText(QDateTime::fromSecsSinceEpoch(0)).startsWith("System Clock Incorrect"));
    // base64url(SHA-256(verifier)) without padding, as computed by another implementation.
    EXPECT_EQ(GTMOAuth2SignIn::codeChallengeForVerifier("dBjftJeZ4CVP-mJ92K1riq2XLZ4LbkAGKLTRAP3ZhN0"),
              "yvMje9O6Jh0pjRF7OzS88EVrdDmW6LP177J_MTcO1AA");
    EXPECT_EQ(GTMOAuth2SignIn::scopeWithEmailScope("https://mail.google.com/"),
              "https://mail.google.com/ https://www.googleapis.com/auth/userinfo.email");
}

TEST(GTMOAuth2SignIn, CompleteSignInSavesTheAuthorization)
{
    REQUIRE_SECRET_SERVICE(keyring);
    MockAuthorizationServer server;
    QString failure;
    ASSERT_TRUE(server.start(&failure)) << failure.toStdString();
    Preferences &prefs = Preferences::shared();
    struct Row {
        bool idToken;
        bool refuse;
        bool keep;
        bool form = false;        // the token answer form-encoded, not JSON
        int unavailable = 0;      // 503 answers before the real one
    } rows[] = {{true, false, true},         {false, false, true},        {true, false, false},
                {true, true, true},          {true, false, true, true},   {false, false, true, false, 1}};
    for (const Row &row : rows) {
        SCOPED_TRACE(testing::Message() << "id_token " << row.idToken << " refuse " << row.refuse << " keep " << row.keep
                                        << " form " << row.form << " unavailable " << row.unavailable);
        server.setIDTokenInResponse(row.idToken);
        server.setRefuseSignIn(row.refuse);
        server.setFormAnswers(row.form);
        server.setUnavailableTimes(row.unavailable);
        const QString name = QUuid::createUuid().toString(QUuid::Id128);
        GTMOAuth2Authentication auth;
        auth.clientID = server.clientID;
        auth.clientSecret = server.clientSecret;
        auth.tokenURL = server.url("/token");
        auth.keychainItemName = name;
        GTMOAuth2SignIn signIn(&auth, server.url("/auth"), "https://mail.google.com/", server.url("/userinfo"));
        signIn.setKeepSignedIn(row.keep, &prefs);
        QUrl opened;
        int finishedCount = 0;
        GTMOAuth2Error result;
        GTMOAuth2Error startError;
        ASSERT_TRUE(signIn.startSigningIn([&](const QUrl &url) { opened = url; },
                                          [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
                                              ++finishedCount;
                                              result = e;
                                          },
                                          &startError))
            << startError.description.toStdString();
        ASSERT_TRUE(signIn.redirectURI().startsWith("http://127.0.0.1:"));
        // An answer with another state is not taken.
        EXPECT_TRUE(browse(QUrl(signIn.redirectURI() + "?code=forged&state=other")).contains("not the answer"));
        const QByteArray page = browse(opened);
        ASSERT_TRUE(TestSupport::spinUntil([&] { return finishedCount > 0; })) << server.refusals().join('\n').toStdString();
        EXPECT_TRUE(page.contains("return to Tarnwick")) << page.constData();
        // A second answer after the first finds no listener.
        browse(QUrl(signIn.redirectURI() + "?code=again&state=x"));
        QCoreApplication::processEvents();
        EXPECT_EQ(finishedCount, 1);
        if (row.refuse) {
            EXPECT_EQ(result.domain, "com.google.GTMOAuth2");
            EXPECT_EQ(result.code, -1001);
            EXPECT_EQ(result.userInfo.value("error").toString(), "access_denied");
            continue;
        }
        ASSERT_FALSE(result.isError()) << result.description.toStdString() << server.refusals().join('\n').toStdString();
        EXPECT_EQ(auth.userEmail(), "sam@example.org");
        EXPECT_EQ(auth.userID(), "108");
        EXPECT_EQ(auth.userEmailIsVerified(), "true");
        EXPECT_EQ(auth.refreshToken(), server.lastRefreshToken());
        EXPECT_TRUE(auth.code().isEmpty()) << "a code is exchanged once";
        EXPECT_EQ(prefs.boolForKey("OAuth2: " + name), row.keep);
        EXPECT_EQ(keyring->countItems(name, "OAuth"), row.keep ? 1 : 0);
        if (row.keep) {
            const QByteArray stored = FXKeychain(name, QString()).itemData("OAuth").value_or("");
            EXPECT_FALSE(stored.contains("access")) << stored.constData();
            auto loaded = GTMOAuth2Authentication::authForGoogleFromKeychainForName(
                name, server.clientID, server.clientSecret, server.url("/token"), prefs);
            EXPECT_EQ(loaded->refreshToken(), auth.refreshToken());
            EXPECT_EQ(loaded->userEmail(), "sam@example.org");
            EXPECT_TRUE(loaded->accessToken().isEmpty());
            EXPECT_TRUE(loaded->shouldRefreshAccessToken());
            EXPECT_TRUE(GTMOAuth2Authentication::removeAuthFromKeychainForName(name, prefs));
            EXPECT_EQ(keyring->countItems(name, "OAuth"), 0);
        }
    }
}

TEST(GTMOAuth2SignIn, CancellingEndsOnceAndClosesTheListener)
{
    GTMOAuth2Authentication auth;
    auth.clientID = "c";
    GTMOAuth2SignIn signIn(&auth, QUrl("http://127.0.0.1:1/auth"), "s", QUrl());
    int calls = 0;
    GTMOAuth2Error result;
    ASSERT_TRUE(signIn.startSigningIn([](const QUrl &) {},
                                      [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
                                          ++calls;
                                          result = e;
                                      },
                                      nullptr));
    signIn.cancelSigningIn();
    signIn.cancelSigningIn();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(result.code, kGTMOAuth2ErrorWindowClosed);

    // No client identifier: the sign-in explains how to give one and does not start.
    GTMOAuth2Authentication none;
    GTMOAuth2SignIn refused(&none, QUrl("http://127.0.0.1:1/auth"), "s", QUrl());
    GTMOAuth2Error why;
    EXPECT_FALSE(refused.startSigningIn([](const QUrl &) { ADD_FAILURE() << "opened"; },
                                        [](GTMOAuth2Authentication *, const GTMOAuth2Error &) {}, &why));
    EXPECT_TRUE(why.description.contains("-DTARNWICK_GOOGLE_CLIENT_ID")) << why.description.toStdString();
}
