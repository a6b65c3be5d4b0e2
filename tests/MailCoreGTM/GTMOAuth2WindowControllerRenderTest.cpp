// The sign-in window on the offscreen platform, against the test authorization server:
// the browser is "opened" by the test, which follows the address as a browser would.
#include "MockAuthorizationServer.h"
#include "SecretServiceSession.h"

#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2WindowController.h"
#include "MainWindow/MainWindowController.h"
#include "MainWindow/TarnwickAppDelegate.h"
#include "Settings/SourcesList.h"
#include "SettingsView/EmailSettings.h"
#include "SettingsView/SettingsViewController.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/Preferences.h"

#include <QApplication>
#include <QClipboard>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include "TestSupport.h"

namespace {

struct Fixture {
    MockAuthorizationServer server;
    QNetworkAccessManager browser;
    QUrl opened;
    bool follow = true;
    Fixture()
    {
        QString failure;
        EXPECT_TRUE(server.start(&failure)) << failure.toStdString();
        Preferences &prefs = Preferences::shared();
        prefs.setValue("googleOAuthClientID", server.clientID);
        prefs.setValue("googleOAuthClientSecret", server.clientSecret);
        prefs.setValue("googleOAuthAuthorizationURL", server.url("/auth").toString());
        prefs.setValue("googleOAuthTokenURL", server.url("/token").toString());
        prefs.setValue("googleOAuthUserInfoURL", server.url("/userinfo").toString());
        GTMOAuth2WindowController::setURLOpener([this](const QUrl &url) {
            opened = url;
            if (follow)
                browser.get(QNetworkRequest(url));
        });
    }
    ~Fixture()
    {
        for (const char *key : {"googleOAuthClientID", "googleOAuthClientSecret", "googleOAuthAuthorizationURL",
                                "googleOAuthTokenURL", "googleOAuthUserInfoURL"})
            Preferences::shared().removeObjectForKey(QString::fromLatin1(key));
    }
};

} // namespace

TEST(GTMOAuth2WindowController, CopyAddressThenSignInThroughTheBrowser)
{
    REQUIRE_SECRET_SERVICE(keyring);
    Fixture f;
    f.follow = false;
    Preferences &prefs = Preferences::shared();
    GTMOAuth2Authentication auth;
    auth.keychainItemName = AccountSetup::newKeyChainID();
    auto *window = new GTMOAuth2WindowController(&auth, GTMOAuth2Configuration::fromPreferences(prefs), prefs);
    QPointer<GTMOAuth2WindowController> alive(window);
    int calls = 0;
    GTMOAuth2Error result;
    window->signInSheetModalForWindow(nullptr, [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
        ++calls;
        result = e;
    });
    ASSERT_TRUE(window->isVisible());
    ASSERT_TRUE(f.opened.isValid());
    QPushButton *copy = nullptr;
    for (QPushButton *b : window->findChildren<QPushButton *>())
        if (b->text().contains("Copy address"))
            copy = b;
    ASSERT_NE(copy, nullptr);
    copy->click();
    EXPECT_EQ(QApplication::clipboard()->text(), QString::fromUtf8(f.opened.toEncoded()));
    f.browser.get(QNetworkRequest(QUrl(QApplication::clipboard()->text())));
    ASSERT_TRUE(TestSupport::spinUntil([&] { return calls > 0 && !alive; })) << f.server.refusals().join('\n').toStdString();
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(result.isError()) << result.description.toStdString();
    EXPECT_EQ(auth.userEmail(), "sam@example.org");
    EXPECT_TRUE(prefs.boolForKey("OAuth2: " + auth.keychainItemName)) << "stay signed in is on by default";
    GTMOAuth2Authentication::removeAuthFromKeychainForName(auth.keychainItemName, prefs);
}

TEST(GTMOAuth2WindowController, CancelEndsTheSignInOnce)
{
    Fixture f;
    f.follow = false;
    Preferences &prefs = Preferences::shared();
    GTMOAuth2Authentication auth;
    auto *window = new GTMOAuth2WindowController(&auth, GTMOAuth2Configuration::fromPreferences(prefs), prefs);
    QPointer<GTMOAuth2WindowController> alive(window);
    int calls = 0;
    GTMOAuth2Error result;
    window->signInSheetModalForWindow(nullptr, [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
        ++calls;
        result = e;
    });
    window->reject();
    ASSERT_TRUE(TestSupport::spinUntil([&] { return !alive; }));
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(result.code, kGTMOAuth2ErrorWindowClosed);
    EXPECT_EQ(f.server.codeGrants(), 0);
}

TEST(GTMOAuth2WindowController, AddingAGoogleAccountStoresItAndGrantsIt)
{
    REQUIRE_SECRET_SERVICE(keyring);
    Fixture f;
    f.server.setUser("new-account@example.org");
    QSignalSpy granted(&AccountOAuth::shared(), &AccountOAuth::OAuthGranted);
    QString added, why;
    bool done = false;
    GTMOAuth2WindowController::addGoogleAccount(nullptr, [&](const QString &email, const QString &error) {
        added = email;
        why = error;
        done = true;
    });
    ASSERT_TRUE(TestSupport::spinUntil([&] { return done; })) << f.server.refusals().join('\n').toStdString();
    ASSERT_EQ(added, "new-account@example.org") << why.toStdString();
    Preferences &prefs = Preferences::shared();
    EXPECT_TRUE(prefs.stringListForKey("EmailAccounts").contains(added));
    EXPECT_EQ(AccountSetup::authSystem(added, prefs), AccountSetup::kauthGoogleOAuth());
    EXPECT_EQ(prefs.stringForKey(added + "__IMAP"), "");
    ASSERT_EQ(granted.count(), 1);
    EXPECT_EQ(granted.at(0).at(0).toString(), added);
    EXPECT_EQ(AccountOAuth::shared().accessTokenFromOAuth(added), f.server.lastAccessToken());
    GTMOAuth2Authentication::removeAuthFromKeychainForName(AccountSetup::keyChainIDForEmail(added, prefs), prefs);
}

TEST(GTMOAuth2WindowController, ASignInThatCannotBeRenewedAsksTheUserFirst)
{
    REQUIRE_SECRET_SERVICE(keyring);
    Fixture f;
    Preferences &prefs = Preferences::shared();
    const QString email = QStringLiteral("asked@example.org");
    f.server.setUser(email);
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, prefs);
    GTMOAuth2WindowController::installInteractiveSignIn(nullptr);
    AccountOAuth &oauth = AccountOAuth::shared();
    QSignalSpy granted(&oauth, &AccountOAuth::OAuthGranted);
    QSignalSpy failed(&oauth, &AccountOAuth::OAuthFailed);
    const auto alert = [] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (auto *box = qobject_cast<QMessageBox *>(w); box && box->isVisible())
                return box;
        return static_cast<QMessageBox *>(nullptr);
    };
    struct Row {
        QMessageBox::StandardButton answer;
        bool granted;
    } rows[] = {{QMessageBox::Cancel, false}, {QMessageBox::Ok, true}};
    for (const Row &row : rows) {
        oauth.launchOauthWorkflowForEmail(email, true);
        ASSERT_TRUE(TestSupport::spinUntil([&] { return alert() != nullptr; }));
        QMessageBox *box = alert();
        EXPECT_EQ(box->text(), "Authenticate for " + email);
        EXPECT_EQ(box->informativeText(), "You will need to authenticate with your Google credentials.");
        box->button(row.answer)->click();
        ASSERT_TRUE(TestSupport::spinUntil([&] { return granted.count() + failed.count() > 0; }))
            << f.server.refusals().join('\n').toStdString();
        EXPECT_EQ(granted.count(), row.granted ? 1 : 0);
        EXPECT_EQ(failed.count(), row.granted ? 0 : 1);
        granted.clear();
        failed.clear();
    }
    EXPECT_EQ(oauth.accessTokenFromOAuth(email), f.server.lastAccessToken());
    GTMOAuth2Authentication::removeAuthFromKeychainForName(AccountSetup::keyChainIDForEmail(email, prefs), prefs);
    oauth.setInteractiveSignIn(nullptr);
    oauth.reset();
}

// The application's account pane: "Google or Gmail Account", "Sign in with Google…", and
// the account is stored as the sign-in says and shown in the pane.
TEST(GTMOAuth2WindowController, TheAccountPaneAddsAGoogleAccount)
{
    REQUIRE_SECRET_SERVICE(keyring);
    Fixture f;
    f.server.setUser("pane-account@example.org");
    Preferences &prefs = Preferences::shared();
    prefs.setValue("googleIMAPServer", "127.0.0.1:1"); // the pane's listing fails at once, offline
    TarnwickAppDelegate delegate(prefs, FXKeychain::defaultKeychain(), QString());
    EmailSettings *pane = delegate.mainWindowController()->settingsView()->emailPane();
    pane->populateEmailSettings(QString());
    pane->googleKindButton()->click();
    pane->googleSignInButton()->click();
    const QString email = QStringLiteral("pane-account@example.org");
    ASSERT_TRUE(TestSupport::spinUntil([&] { return SourcesList::isAccount(email, prefs); })) << f.server.refusals().join('\n').toStdString();
    EXPECT_EQ(AccountSetup::authSystem(email, prefs), AccountSetup::kauthGoogleOAuth());
    EXPECT_EQ(pane->emailField()->text(), email);
    EXPECT_EQ(AccountOAuth::shared().accessTokenFromOAuth(email), f.server.lastAccessToken());
    GTMOAuth2Authentication::removeAuthFromKeychainForName(AccountSetup::keyChainIDForEmail(email, prefs), prefs);
    prefs.removePersistentDomain();
}
