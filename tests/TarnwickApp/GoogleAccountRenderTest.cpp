// A Google account end to end: `tarnwick sources add-account --google` signs in through the
// test authorization server, and `tarnwick archive --source` archives the account from a
// real Dovecot over XOAUTH2, its tokens checked by Dovecot's oauth2 passdb against the
// same server. Tokens near their end during the job and are renewed before use; once,
// every token dies and the connection is cut: the job's login is refused, it renews its
// token and loses no message.

#include "DovecotServer.h"
#include "MockAuthorizationServer.h"
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include "MailCoreGTM/GTMOAuth2Authentication.h"
#include "Settings/Preferences.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

int countPDFs(const QString &root)
{
    int n = 0;
    QDirIterator it(root, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++n;
    }
    return n;
}

QByteArray message(int i)
{
    return QStringLiteral("From: Ann <ann@example.org>\r\nTo: sam@example.org\r\nSubject: Report number %1\r\n"
                          "Date: Mon, %2 Mar 2025 10:00:00 +0000\r\nMessage-ID: <report-%1@example.org>\r\n"
                          "Content-Type: text/plain; charset=utf-8\r\n\r\nThe figures of report %1.\r\n")
        .arg(i)
        .arg(1 + i % 28)
        .toUtf8();
}

} // namespace

TEST(GoogleAccount, SignedInOnTheCommandLineAndArchivedOverXOAuth2)
{
    REQUIRE_SECRET_SERVICE(keyring);
    MockAuthorizationServer auth;
    QString failure, whyNot;
    ASSERT_TRUE(auth.start(&failure)) << failure.toStdString();
    if (!DovecotServer::canRun(&whyNot))
        GTEST_SKIP() << whyNot.toStdString();
    DovecotServer server;
    server.setOAuth2IntrospectionURL(auth.url("/introspect").toString());
    ASSERT_TRUE(server.start(&failure)) << failure.toStdString();
    const QString user = QStringLiteral("sam@example.org");
    server.addUser(user, QStringLiteral("not-used-by-google-accounts"));
    constexpr int kMessages = 30;
    for (int i = 1; i <= kMessages; ++i)
        server.writeMessage(user, QStringLiteral("INBOX"), message(i));

    QTemporaryDir box;
    const QString config = box.filePath("config"), archive = box.filePath("archive");
    QDir().mkpath(archive);
    QDir().mkpath(box.filePath("tmp"));
    {
        Preferences prefs(config + "/Tarnwick/Tarnwick.conf");
        prefs.setValue("googleOAuthClientID", auth.clientID);
        prefs.setValue("googleOAuthClientSecret", auth.clientSecret);
        prefs.setValue("googleOAuthAuthorizationURL", auth.url("/auth").toString());
        prefs.setValue("googleOAuthTokenURL", auth.url("/token").toString());
        prefs.setValue("googleOAuthUserInfoURL", auth.url("/userinfo").toString());
        prefs.setValue("googleIMAPServer", QStringLiteral("127.0.0.1:%1").arg(server.tlsPort()));
        // Two engines: the downloads spread over the job, so that one can be cut.
        prefs.setValue("renderEnginesPerJob", 2);
    }
    QProcessEnvironment env = keyring->environmentFor(config);
    env.insert("TZ", "UTC");
    env.insert("TMPDIR", box.filePath("tmp"));
    QProcess setDest;
    setDest.setProcessEnvironment(env);
    setDest.start(TestSupport::tarnwickBinary(), {"config", "set-destination", archive});
    ASSERT_TRUE(setDest.waitForFinished(60000));

    // The sign-in: the command prints the address, the "browser" follows it.
    QProcess add;
    add.setProcessEnvironment(env);
    add.start(TestSupport::tarnwickBinary(), {"sources", "add-account", user, "--google"});
    QString printed;
    const QRegularExpression address(QStringLiteral("(http://127\\.0\\.0\\.1:\\d+/auth\\?\\S+)"));
    QElapsedTimer clock;
    clock.start();
    while (!address.match(printed).hasMatch() && clock.elapsed() < 60000 && add.state() != QProcess::NotRunning) {
        add.waitForReadyRead(200);
        printed += QString::fromUtf8(add.readAllStandardOutput());
    }
    const QString url = address.match(printed).captured(1);
    ASSERT_FALSE(url.isEmpty()) << printed.toStdString() << add.readAllStandardError().toStdString();
    QNetworkAccessManager browser;
    QNetworkReply *page = browser.get(QNetworkRequest(QUrl(url)));
    while (!page->isFinished() && clock.elapsed() < 60000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_TRUE(page->readAll().contains("return to Tarnwick"));
    ASSERT_TRUE(add.waitForFinished(60000));
    printed += QString::fromUtf8(add.readAllStandardOutput());
    ASSERT_EQ(add.exitCode(), 0) << printed.toStdString() << add.readAllStandardError().toStdString();
    EXPECT_TRUE(printed.contains("Added Google account sam@example.org")) << printed.toStdString();
    EXPECT_EQ(auth.codeGrants(), 1);

    // The mailbox listing renews the saved sign-in too.
    QProcess folders;
    folders.setProcessEnvironment(env);
    folders.start(TestSupport::tarnwickBinary(), {"sources", "folders", user});
    ASSERT_TRUE(folders.waitForFinished(60000));
    EXPECT_EQ(folders.exitCode(), 0) << folders.readAllStandardError().toStdString();
    EXPECT_TRUE(folders.readAllStandardOutput().contains("INBOX"));

    // Tokens say they last 306 s: a few seconds into the job they have less than 300 s
    // left, and the job keeps renewing them before use.
    auth.setExpiresIn(306);
    QProcess run;
    run.setProcessEnvironment(env);
    run.start(TestSupport::tarnwickBinary(), {"archive", "--source", user});
    clock.restart();
    bool kicked = false;
    while (!run.waitForFinished(250) && clock.elapsed() < 400000) {
        // A few messages in, every token dies and the connection is cut: the job's next
        // login is refused, and it must renew and go on.
        if (!kicked && server.countLogLines("(BODY.PEEK[])") >= 6) {
            auth.expireAccessTokens();
            kicked = server.kickUser(user);
            ASSERT_TRUE(kicked) << "doveadm kick failed";
        }
    }
    const QString out = QString::fromUtf8(run.readAllStandardOutput());
    const QString err = QString::fromUtf8(run.readAllStandardError());
    ASSERT_EQ(run.exitCode(), 0) << out.toStdString() << err.toStdString();
    EXPECT_TRUE(out.contains(QStringLiteral("%1 of %1 messages handed out, %1 PDFs written").arg(kMessages)))
        << out.toStdString();
    EXPECT_TRUE(out.contains(", 0 abandoned after a retry")) << out.toStdString();
    EXPECT_EQ(countPDFs(archive), kMessages);
    EXPECT_TRUE(kicked);
    EXPECT_GE(auth.refreshGrants(), 3) << "renewed at the start, as tokens near their end, and after the refusal";
    EXPECT_GE(auth.refusedIntrospections(), 1) << "a dead token was offered once";
    EXPECT_GE(server.countLogLines("Login: user=<sam@example.org>, method=XOAUTH2"), 2);

    // The refresh tokens rotated as they were used; the saved one is the live one.
    Preferences prefs(config + "/Tarnwick/Tarnwick.conf");
    const QString name = prefs.stringForKey(user + "__googleOAuthKey");
    auto saved = GTMOAuth2Authentication::authForGoogleFromKeychainForName(name, "", "", QUrl(), prefs);
    EXPECT_EQ(saved->refreshToken(), auth.lastRefreshToken());
    EXPECT_TRUE(auth.isRefreshTokenLive(saved->refreshToken()));
    // No secret in the preference store.
    const QByteArray conf = TestSupport::readAll(config + "/Tarnwick/Tarnwick.conf");
    EXPECT_FALSE(conf.contains("refresh")) << conf.constData();
    EXPECT_FALSE(conf.contains("access-")) << conf.constData();
}
