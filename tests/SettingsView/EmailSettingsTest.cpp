// The account pane on the offscreen platform: what it does with the fields as they are
// typed, and an account added through it against a real Dovecot, with its password in a
// real keyring on a private bus, then archived by the command line without the mailbox
// that was switched off.
#include "AppSandbox/FolderAccess.h"
#include "ArchiveView/ArchiveScheduler.h"
#include "CustomPaths/CustomPath.h"
#include "DovecotServer.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MainWindow/MainWindowController.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "SecretServiceSession.h"
#include "SettingsView/EmailSettings.h"
#include "SettingsView/SettingsSourceViewController.h"
#include "SettingsView/SettingsViewController.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QString kUser = QStringLiteral("bert@example.org");
const QString kPassword = QStringLiteral("tr0ub4dor&3");

class AccountPane : public ::testing::Test {
protected:
    Preferences &prefs = Preferences::shared();
    FXKeychain keychain{QStringLiteral("org.tarnwick.Tests"), QString()};
    std::unique_ptr<EmailSettings> pane;

    void SetUp() override
    {
        prefs.removePersistentDomain();
        pane = std::make_unique<EmailSettings>(prefs, keychain);
        pane->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(pane.get()));
    }
    void TearDown() override
    {
        pane.reset();
        prefs.removePersistentDomain();
    }
    void type(QLineEdit *field, const QString &text)
    {
        field->setFocus();
        field->selectAll();
        QTest::keyClicks(field, text);
    }
};

} // namespace

// Nothing listens on these ports: the connection fails at once, after the pane has read
// the server string into the session it begins.
TEST_F(AccountPane, TheServerStringSelectsPortAndSecurity)
{
    const struct {
        QString server;
        int port;
        MCOIMAPSession::ConnectionType type;
    } rows[] = {
        {"127.0.0.1:143:starttls", 143, MCOIMAPSession::ConnectionTypeStartTLS},
        {"127.0.0.1:143", 143, MCOIMAPSession::ConnectionTypeTLS},
        {"127.0.0.1::clear", 0, MCOIMAPSession::ConnectionTypeClear},
        {"127.0.0.1:993:SSL", 993, MCOIMAPSession::ConnectionTypeTLS},
        {"127.0.0.1", 993, MCOIMAPSession::ConnectionTypeTLS},
    };
    type(pane->emailField(), "ann@example.org");
    type(pane->passwordField(), "secret");
    for (const auto &row : rows) {
        type(pane->serverField(), row.server);
        QTest::mouseClick(pane->saveButton(), Qt::LeftButton);
        const auto settings = pane->lastSessionSettings();
        ASSERT_TRUE(settings) << row.server.toStdString();
        EXPECT_EQ(settings->hostname, "127.0.0.1");
        EXPECT_EQ(settings->port, row.port) << row.server.toStdString();
        EXPECT_EQ(settings->connectionType, row.type) << row.server.toStdString();
        EXPECT_TRUE(settings->password.isEmpty()) << "kept out of what the pane remembers";
    }
    WAIT_EXPECT_EQ(!pane->errorText()->isHidden(), true, 5000);
    EXPECT_FALSE(pane->errorText()->text().isEmpty());
    EXPECT_TRUE(prefs.stringListForKey("EmailAccounts").isEmpty()) << "a failed test saves nothing";
}

TEST_F(AccountPane, FieldsAreTrimmedLookedUpAndCheckedBeforeAnyConnection)
{
    // Provider lookup when the address field is left: not at 9 characters, at 10.
    type(pane->emailField(), "a@gmx.net");
    QTest::keyClick(pane->emailField(), Qt::Key_Return);
    EXPECT_TRUE(pane->serverField()->text().isEmpty());
    type(pane->emailField(), "ab@gmx.net");
    QTest::keyClick(pane->emailField(), Qt::Key_Return);
    EXPECT_EQ(pane->serverField()->text(), "imap.gmx.net");

    pane->emailField()->setText("  ann@example.org\n");
    EXPECT_EQ(pane->emailField()->text(), "ann@example.org");
    // Tab goes down the form.
    pane->activateWindow();
    pane->emailField()->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), pane->serverField());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), pane->passwordField());

    // Implausible fields: no connection at all.
    const struct {
        QString email, server, password;
        bool attempted;
    } rows[] = {
        {"ann@example.org", "127.0.0.1:1", "pw", false},
        {"ann@example.org", "127.0.0.1:1", "pwd", true},
        {"a@b", "127.0.0.1:1", "pwd", false},
        {"ann@example.org", "h:1", "pwd", false},
    };
    for (const auto &row : rows) {
        pane->populateEmailSettings(QString());
        type(pane->emailField(), row.email);
        type(pane->serverField(), row.server);
        type(pane->passwordField(), row.password);
        const int before = pane->connectionAttempts();
        QTest::keyClick(pane->passwordField(), Qt::Key_Return); // Enter tests, as "Add" does
        EXPECT_EQ(pane->connectionAttempts() - before, row.attempted ? 1 : 0) << row.password.toStdString();
    }
}

TEST_F(AccountPane, GoogleSignInIsAHookOfItsOwn)
{
    EXPECT_FALSE(pane->googleKindButton()->isHidden());
    QTest::mouseClick(pane->googleKindButton(), Qt::LeftButton);
    EXPECT_FALSE(pane->googleSignInButton()->isHidden());
    EXPECT_TRUE(pane->passwordField()->isHidden());
    QTest::mouseClick(pane->googleSignInButton(), Qt::LeftButton);
    EXPECT_TRUE(pane->errorText()->text().contains("not available")) << pane->errorText()->text().toStdString();

    QString asked;
    pane->setGoogleSignInHandler([&](EmailSettings *p, const QString &email) {
        asked = p->addingTokenName();
        EXPECT_TRUE(email.isEmpty());
    });
    QTest::mouseClick(pane->googleSignInButton(), Qt::LeftButton);
    ASSERT_FALSE(asked.isEmpty());
    pane->googleSignInGranted("someone@gmail.com", asked);
    EXPECT_EQ(prefs.stringListForKey("EmailAccounts"), QStringList{"someone@gmail.com"});
    EXPECT_EQ(prefs.stringForKey("someone@gmail.com__authSystem"), "kauth_google_oauth");
    EXPECT_EQ(prefs.stringForKey("someone@gmail.com__googleOAuthKey"), asked);
    EXPECT_EQ(pane->serverField()->text(), "imap.gmail.com");
    EXPECT_TRUE(pane->saveButton()->isHidden());
}

namespace {

QByteArray message(const QString &subject, int i)
{
    return QStringLiteral("From: Carla <carla@example.org>\r\nTo: Bert <bert@example.org>\r\nSubject: %1 %2\r\n"
                          "Date: Tue, 1 Dec 2026 08:00:0%2 +0100\r\nMessage-ID: <%2.%1@pane.test>\r\n\r\nText %2\r\n")
        .arg(subject)
        .arg(i)
        .toUtf8();
}

QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next().mid(dir.size() + 1);
    files.sort();
    return files;
}

QListWidgetItem *itemNamed(QListWidget *list, const QString &text)
{
    const auto found = list->findItems(text, Qt::MatchExactly);
    return found.isEmpty() ? nullptr : found.first();
}

Qt::CheckState stateOf(QListWidget *list, const QString &text)
{
    QListWidgetItem *item = itemNamed(list, text);
    return item ? item->checkState() : Qt::PartiallyChecked;
}

// Answers the certificate question with the button of this text, once it is shown.
bool answerCertificate(const QString &button, QString *shown)
{
    QMessageBox *box = nullptr;
    const bool appeared = QTest::qWaitFor([&] {
        for (QWidget *w : QApplication::topLevelWidgets())
            if (w->objectName() == "certificateTrust" && w->isVisible())
                box = qobject_cast<QMessageBox *>(w);
        return box != nullptr;
    }, 20000);
    if (!appeared)
        return false;
    *shown = box->text() + "\n" + box->informativeText();
    for (QAbstractButton *b : box->buttons())
        if (b->text() == button)
            QTest::mouseClick(b, Qt::LeftButton);
    return true;
}

} // namespace

TEST(AccountPaneDovecot, AnAccountAddedInThePaneIsArchivedWithoutItsSwitchedOffMailbox)
{
    REQUIRE_SECRET_SERVICE(keyring);
    QString whyNot, failure;
    std::unique_ptr<DovecotServer> server = DovecotServer::startNew(&whyNot, &failure);
    if (!failure.isEmpty())
        FAIL() << failure.toStdString();
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    server->addUser(kUser, kPassword);
    server->createMailbox(kUser, "Spam");
    server->writeMessage(kUser, "INBOX", message("Inbox", 1));
    server->writeMessage(kUser, "Spam", message("Spam", 2));

    Preferences &prefs = Preferences::shared();
    prefs.removePersistentDomain();
    QTemporaryDir dest;
    ASSERT_TRUE(FolderAccess::setDestinationDirectory(dest.path(), prefs));
    CustomPath::setFormat("pdf", CustomPath::generalAccount(), "none");
    CustomPath::setFormat("eml", CustomPath::generalAccount(), "%Y/__subject__.eml");
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    ArchiveScheduler scheduler(prefs, keychain);
    MainWindowController window(scheduler, prefs);
    window.resize(900, 640);
    window.showView(2);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    SettingsViewController &view = *window.settingsView();
    QListWidget *list = view.sourcesList()->listWidget();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(3)).center());
    EmailSettings *pane = view.emailPane();
    ASSERT_EQ(view.currentPane(), pane);

    QTest::keyClicks(pane->emailField(), kUser);
    QTest::keyClicks(pane->serverField(), QStringLiteral("127.0.0.1:%1").arg(server->tlsPort()));
    QTest::keyClicks(pane->passwordField(), kPassword);
    EXPECT_EQ(pane->saveButton()->text(), "Add");
    QTest::mouseClick(pane->saveButton(), Qt::LeftButton);

    // The test server's certificate is self-signed: its fingerprint is shown first, and
    // nothing reaches the server before it is trusted.
    QString shown;
    ASSERT_TRUE(answerCertificate("Trust", &shown));
    EXPECT_TRUE(shown.contains("SHA-256")) << shown.toStdString();
    EXPECT_EQ(server->countLogLines("Login: user=<" + kUser), 0);
    WAIT_EXPECT_EQ(pane->mailboxTable()->count(), 2, 20000);
    EXPECT_EQ(prefs.stringListForKey("EmailAccounts"), QStringList{kUser});
    EXPECT_EQ(keychain.objectForKey(kUser + "__PASS").toString(), kPassword);
    EXPECT_FALSE(TestSupport::readAll(prefs.filePath()).contains(kPassword.toUtf8()));
    EXPECT_FALSE(prefs.stringForKey(PreferenceRegister::certificatePinKey(kUser)).isEmpty());
    EXPECT_EQ(pane->saveButton()->text(), "Save");
    EXPECT_EQ(view.sourcesList()->selectedRow(), 3) << "the new account's row";

    // A changed password hides the list fetched with the old one.
    QTest::keyClick(pane->passwordField(), Qt::Key_X);
    EXPECT_EQ(pane->mailboxTable()->count(), 0);
    QTest::keyClick(pane->passwordField(), Qt::Key_Backspace);
    EXPECT_EQ(pane->mailboxTable()->count(), 2);

    QListWidgetItem *spam = itemNamed(pane->mailboxTable(), "Spam");
    ASSERT_NE(spam, nullptr);
    EXPECT_EQ(spam->checkState(), Qt::Checked);
    QTest::mouseClick(pane->mailboxTable()->viewport(), Qt::LeftButton, {},
                      pane->mailboxTable()->visualItemRect(spam).center());
    EXPECT_EQ(prefs.stringListForKey(kUser + "__IgnoreFolders"), QStringList{"Spam"});
    WAIT_EXPECT_EQ(stateOf(pane->mailboxTable(), "Spam"), Qt::Unchecked, 5000);
    EXPECT_EQ(stateOf(pane->mailboxTable(), "INBOX"), Qt::Checked);
    EXPECT_EQ(view.currentPane(), pane);
    // For README (scripts/screenshots.sh): the window as it is now.
    if (const QString shot = qEnvironmentVariable("TARNWICK_SCREENSHOT_ACCOUNT"); !shot.isEmpty())
        window.grab().save(shot);

    QProcess run;
    QProcessEnvironment env = keyring->environmentFor(qEnvironmentVariable("XDG_CONFIG_HOME"));
    env.insert("TZ", "UTC");
    run.setProcessEnvironment(env);
    run.start(TestSupport::tarnwickBinary(), {"archive", "--source", kUser});
    ASSERT_TRUE(run.waitForFinished(120000));
    EXPECT_EQ(run.exitCode(), 0) << run.readAllStandardError().toStdString();
    EXPECT_EQ(filesBelow(dest.path()), QStringList{kUser + "/INBOX/2026/Inbox 1.eml"});

    // A new certificate on the server: shown as changed; Cancel leaves the reason in the pane.
    ASSERT_TRUE(server->renewCertificate(&failure)) << failure.toStdString();
    view.switchViewToEmailEdit(kUser);
    ASSERT_TRUE(answerCertificate("Cancel", &shown));
    EXPECT_TRUE(shown.contains("has changed")) << shown.toStdString();
    EXPECT_TRUE(pane->errorText()->text().contains("has changed")) << pane->errorText()->text().toStdString();

    // Removing the account removes its password too.
    QTest::mouseClick(pane->removeButton(), Qt::LeftButton);
    EXPECT_TRUE(prefs.stringListForKey("EmailAccounts").isEmpty());
    EXPECT_FALSE(keychain.objectForKey(kUser + "__PASS").isValid());
    EXPECT_EQ(keyring->countItems(FXKeychain::applicationIdentifier(), kUser + "__PASS"), 0);
    prefs.removePersistentDomain();
}
