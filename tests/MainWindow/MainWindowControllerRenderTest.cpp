// The desktop window on the offscreen platform: its views, its keyboard access, and a
// folder source started from its row until the row shows the run's result.

#include "ArchiveView/ArchiveScheduler.h"
#include "ArchiveView/ArchiveViewController.h"
#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MainWindow/FirstRunIntroduction.h"
#include "MainWindow/MainWindowController.h"
#include "MainWindow/TarnwickAppDelegate.h"
#include "RenderEngine/RemoteRender.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "DovecotServer.h"
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QProcess>
#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

namespace {

class Window : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Preferences &prefs = Preferences::shared();
    QString folder;

    void SetUp() override
    {
        prefs.removePersistentDomain();
        QDir().mkpath(dir.filePath("archive"));
        ASSERT_TRUE(FolderAccess::setDestinationDirectory(dir.filePath("archive"), prefs));
        // .eml copies only: the window's job runs without renderboxes.
        CustomPath::setFormat("pdf", CustomPath::generalAccount(), "none");
        CustomPath::setFormat("eml", CustomPath::generalAccount(), "%Y/__subject__.eml");
        folder = dir.filePath("Inbox");
        QDir().mkpath(folder);
        for (int i = 0; i < 4; ++i) {
            QFile f(QStringLiteral("%1/%2.eml").arg(folder).arg(i));
            ASSERT_TRUE(f.open(QIODevice::WriteOnly));
            f.write(QStringLiteral("From: a@example.org\nTo: b@example.org\nSubject: Window note %1\n"
                                   "Date: Tue, 14 Feb 2023 09:30:00 +0000\n\n%2")
                        .arg(i)
                        .arg(QString("Some text.\n").repeated(10))
                        .toUtf8());
        }
        SourcesList::addSourcePathToPrefs(folder, prefs);
    }
    void TearDown() override { prefs.removePersistentDomain(); }
};

} // namespace

TEST_F(Window, ViewsAndKeyboard)
{
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    MainWindowController window(scheduler, prefs);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(window.currentView(), 0);
    QTest::keyClick(&window, Qt::Key_3, Qt::ControlModifier);
    EXPECT_EQ(window.currentView(), 2);
    QTest::keyClick(&window, Qt::Key_1, Qt::ControlModifier);
    EXPECT_EQ(window.currentView(), 0);
    bool quitBound = false;
    for (QAction *action : window.findChildren<QAction *>())
        quitBound = quitBound || action->shortcut() == QKeySequence(QKeySequence::Quit);
    EXPECT_TRUE(quitBound);
    // A sensible size at first, kept for the next launch.
    EXPECT_GE(window.width(), 600);
    window.resize(900, 600);
    window.close();
    EXPECT_FALSE(prefs.stringForKey("TWMainWindow").isEmpty());
}

TEST_F(Window, AFolderStartedFromItsRowEndsWithItsLastArchivedLine)
{
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    MainWindowController window(scheduler, prefs);
    window.show();
    ArchiveViewController *view = window.archiveView();
    QPushButton *start = view->buttonForRow(folder);
    ASSERT_NE(start, nullptr);
    EXPECT_EQ(view->statusLineForRow(folder), "Not Archived");
    EXPECT_EQ(start->text(), "Start");
    QTest::mouseClick(start, Qt::LeftButton);
    EXPECT_NE(scheduler.renderToolForjobName(folder), nullptr);
    EXPECT_EQ(start->text(), "Stop");
    WAIT_EXPECT_TRUE(view->statusLineForRow(folder).startsWith("Last Archived: "), 30000);
    EXPECT_EQ(start->text(), "Start");
    EXPECT_TRUE(prefs.dateForKey(folder + "__LastFinished").isValid());
}

// Files opened with the application: the folder is asked for (at the one chosen last
// time), remembered, and a one-off job over the files runs there and leaves its row.
TEST_F(Window, OpenedFilesAreArchivedWhereTheUserChooses)
{
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    MainWindowController window(scheduler, prefs);
    const QString out = dir.filePath("Out");
    QDir().mkpath(out);
    QStringList askedAt;
    window.setFolderChooser([&](const QString &startAt) {
        askedAt << startAt;
        return out;
    });
    const QStringList files{folder + "/0.eml", folder + "/1.eml"};
    window.handleEMLFilesUI(files);
    ASSERT_EQ(askedAt.size(), 1);
    EXPECT_TRUE(askedAt.first().endsWith("/Desktop"));
    EXPECT_EQ(prefs.stringForKey("DraggedFilesDestination"), out);
    RenderTool *job = scheduler.renderToolForjobName("2 EML files to Out");
    ASSERT_NE(job, nullptr);
    EXPECT_NE(window.archiveView()->buttonForRow("2 EML files to Out"), nullptr);
    WAIT_EXPECT_TRUE(scheduler.renderJobs().isEmpty() && (window.archiveView()->reloadRows(), true), 30000);
    window.archiveView()->reloadRows();
    EXPECT_EQ(window.archiveView()->buttonForRow("2 EML files to Out"), nullptr);
    EXPECT_FALSE(QDir(out).isEmpty());
    window.handleEMLFilesUI(files);
    EXPECT_EQ(askedAt.last(), out);
}

// The crash-report question comes at the third launch, once; reset asks, removes the
// settings and keeps the archive's files.
TEST_F(Window, ConsentFromTheThirdLaunchAndResetKeepsTheArchive)
{
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    MainWindowController window(scheduler, prefs);
    QStringList asked;
    bool answer = true;
    window.setQuestionAnswerer([&](const QString &title, const QString &) {
        asked << title;
        return answer;
    });
    for (int launch = 1; launch <= 4; ++launch) {
        window.countLaunchAndAskForCrashReports();
        EXPECT_EQ(asked.size(), launch >= 3 ? 1 : 0) << "launch " << launch;
    }
    EXPECT_EQ(asked, QStringList{"Crash Reports"});
    EXPECT_TRUE(prefs.boolForKey("bugsnagHaveAsked"));
    EXPECT_TRUE(prefs.boolForKey("bugsnagCanSendReports"));

    const QString kept = dir.filePath("archive/kept.pdf");
    QFile file(kept);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.close();
    answer = false;
    window.resetAllPrefsAsk(); // "Cancel": nothing changes
    EXPECT_FALSE(SourcesList::folderItems(prefs).isEmpty());
    answer = true;
    window.resetAllPrefsAsk();
    EXPECT_EQ(asked.last(), "Reset Tarnwick?");
    EXPECT_TRUE(SourcesList::folderItems(prefs).isEmpty());
    EXPECT_EQ(prefs.integerForKey("launchCount"), 0);
    EXPECT_TRUE(QFileInfo::exists(kept));
}

// The first three launches of a new user: the walk-through starts while no destination is
// set (and goes on where the user left it), the consent question comes at the third.
TEST(FirstRun, IntroductionUntilADestinationAndConsentAtTheThirdLaunch)
{
    Preferences &prefs = Preferences::shared();
    prefs.removePersistentDomain();
    QTemporaryDir dir;
    const struct {
        QString chosen; // what the user picks in the destination chooser ("" cancels)
        QStringList notes;
        bool consentAsked;
    } launches[] = {
        {"", {"Please choose a destination directory for your archive."}, false},
        {dir.path(),
         {"Please choose a destination directory for your archive.", "Add an Email Account (or a few)",
          "Next task: start archiving"},
         false},
        {dir.path(), {}, true},
    };
    for (const auto &launch : launches) {
        SCOPED_TRACE(prefs.integerForKey("launchCount") + 1);
        ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
        MainWindowController window(scheduler, prefs);
        QStringList notes, asked;
        int accountDialogs = 0;
        window.setNoteShower([&](const QString &title, const QString &, std::function<void()> ok) {
            notes << title;
            EXPECT_EQ(window.currentView(), 2) << "the notes point at the settings view";
            ok();
        });
        window.setQuestionAnswerer([&](const QString &title, const QString &) {
            asked << title;
            return false;
        });
        window.setDestinationChooser([&] {
            if (!launch.chosen.isEmpty())
                FolderAccess::setDestinationDirectory(launch.chosen, prefs);
        });
        window.setAddAccountAction([&] { ++accountDialogs; });
        window.introduction()->setTimeScale(0.01);
        window.show();
        window.countLaunchAndAskForCrashReports();
        window.introduction()->startIfNeeded();
        QTest::qWait(500);
        EXPECT_EQ(notes, launch.notes);
        EXPECT_EQ(accountDialogs, launch.notes.size() > 1 ? 1 : 0);
        EXPECT_EQ(asked, launch.consentAsked ? QStringList{"Crash Reports"} : QStringList{});
    }
    prefs.removePersistentDomain();
}

// The application as a user has it: a folder source and an IMAP account (a real Dovecot,
// its password in a real keyring), both started with File ▸ Start All in the window, run
// to their last-archived lines with their PDFs on disk.
TEST(Desktop, StartAllArchivesAFolderAndAnAccount)
{
    const QByteArray renderboxBus = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    REQUIRE_SECRET_SERVICE(keyring);
    QString whyNot, failure;
    const auto server = DovecotServer::startNew(&whyNot, &failure);
    if (!failure.isEmpty())
        FAIL() << failure.toStdString();
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    const QString user = QStringLiteral("dora@example.org"), password = QStringLiteral("window-pass");
    server->addUser(user, password);
    for (const char *name : {"2014-quarterly-report.eml", "2023-japanese-meeting-minutes.eml"})
        server->writeMessage(user, "INBOX", TestSupport::readAll(QStringLiteral(TARNWICK_SOURCE_DIR "/samples/mailbox/") + name));

    // Set up as a user would, from the command line, in this process's configuration.
    QTemporaryDir dir;
    const QString dest = dir.filePath("archive"), folder = dir.filePath("Inbox");
    QDir().mkpath(dest);
    TestSupport::writeFile(folder + "/note.eml", TestSupport::readAll(QStringLiteral(TARNWICK_SOURCE_DIR
                                                                                     "/samples/mailbox/2021-invoice-with-pdf.eml")));
    const QProcessEnvironment env = keyring->environmentFor(qEnvironmentVariable("XDG_CONFIG_HOME"));
    const auto cli = [&](const QStringList &args, const QByteArray &input = {}) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TestSupport::tarnwickBinary(), args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(60000);
        return p.exitCode();
    };
    Preferences::shared().removePersistentDomain();
    ASSERT_EQ(cli({"config", "set-destination", dest}), 0);
    ASSERT_EQ(cli({"sources", "add-folder", folder}), 0);
    ASSERT_EQ(cli({"sources", "add-account", user, "--server", QStringLiteral("127.0.0.1:%1:tls").arg(server->tlsPort()),
                   "--password-stdin"},
                  password.toUtf8() + "\n"),
              0);
    // Passwords from the keyring's bus, renderboxes on this process's own.
    FXKeychain::keepUsersSessionBus();
    qputenv("DBUS_SESSION_BUS_ADDRESS", renderboxBus);
    RemoteRender::setRenderboxProgram(TestSupport::tarnwickBinary());
    Preferences &prefs = Preferences::shared();
    // The window's store sees what the commands wrote as it sees any other writer's.
    WAIT_EXPECT_EQ(SourcesList::allSourceKeys(prefs).size(), 2, 10000);

    TarnwickAppDelegate delegate(prefs, FXKeychain::defaultKeychain(), QString());
    delegate.applicationDidFinishLaunching({}, false);
    MainWindowController &window = *delegate.mainWindowController();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    QAction *startAll = nullptr;
    for (QAction *action : window.findChildren<QAction *>())
        if (action->text() == "&Start All")
            startAll = action;
    ASSERT_NE(startAll, nullptr);
    startAll->trigger();
    ArchiveViewController *view = window.archiveView();
    for (const QString &row : {user, folder})
        WAIT_EXPECT_TRUE(view->statusLineForRow(row).startsWith("Last Archived: "), 120000);
    EXPECT_TRUE(view->statusLineForRow(user).endsWith("(2 PDFs added)")) << view->statusLineForRow(user).toStdString();
    EXPECT_TRUE(view->statusLineForRow(folder).endsWith("(1 PDFs added)")) << view->statusLineForRow(folder).toStdString();
    int pdfs = 0;
    QDirIterator it(dest, {"*.pdf"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        pdfs += it.next().contains("(attachments)") ? 0 : 1;
    EXPECT_EQ(pdfs, 3);
    delegate.applicationWillTerminate();
    prefs.removePersistentDomain();
}

// One application per user: a second launch hands over to the first and ends.
TEST(SingleInstance, ASecondLaunchHandsOverAndEnds)
{
    PrivateTestBus bus;
    QString error;
    if (!bus.start(&error))
        GTEST_SKIP() << error.toStdString();
    QTemporaryDir home;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("TMPDIR", home.path());
    QProcess first;
    first.setProcessEnvironment(env);
    first.start(TestSupport::tarnwickBinary(), {"gui"});
    QDBusConnection watch = QDBusConnection::connectToBus(bus.address(), "single-instance-watch");
    WAIT_EXPECT_TRUE(watch.interface()->isServiceRegistered("org.tarnwick.Tarnwick"), 30000);
    QProcess second;
    second.setProcessEnvironment(env);
    second.start(TestSupport::tarnwickBinary(), {"gui"});
    ASSERT_TRUE(second.waitForFinished(30000));
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running);
    first.terminate();
    first.waitForFinished(10000);
    QDBusConnection::disconnectFromBus("single-instance-watch");
}
