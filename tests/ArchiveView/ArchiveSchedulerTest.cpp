#include "ArchiveView/ArchiveScheduler.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "MailCoreGTM/FXKeychain.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "TestSupport.h"

#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

namespace {

// A private configuration: a main destination, two folder sources of .eml files whose
// jobs write .eml copies only (no renderboxes), and whatever a test adds.
class Scheduling : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Preferences *prefs = nullptr;
    std::unique_ptr<ArchiveScheduler> scheduler;
    QStringList folders;

    void SetUp() override
    {
        // The test process has a configuration of its own (see TestSupport); each test
        // starts from an empty store.
        prefs = &Preferences::shared();
        prefs->removePersistentDomain();
        QDir().mkpath(dir.filePath("archive"));
        ASSERT_TRUE(FolderAccess::setDestinationDirectory(dir.filePath("archive"), *prefs));
        CustomPath::setFormat("pdf", CustomPath::generalAccount(), "none");
        CustomPath::setFormat("eml", CustomPath::generalAccount(), "%Y/__subject__.eml");
        for (const char *name : {"work", "home"}) {
            const QString folder = dir.filePath(name);
            for (int i = 0; i < 3; ++i)
                write(QStringLiteral("%1/%2.eml").arg(folder).arg(i), i);
            folders << folder;
            SourcesList::addSourcePathToPrefs(folder, *prefs);
        }
        scheduler = std::make_unique<ArchiveScheduler>(*prefs, FXKeychain::defaultKeychain());
    }
    void TearDown() override
    {
        scheduler.reset();
        prefs->removePersistentDomain();
    }
    static void write(const QString &path, int n)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QStringLiteral("From: a@example.org\nTo: b@example.org\nSubject: Note %1 %2\n"
                               "Date: Tue, 14 Feb 2023 09:30:00 +0000\n\n%3")
                    .arg(n)
                    .arg(path.section('/', -2, -2))
                    .arg(QString("Some text.\n").repeated(10))
                    .toUtf8());
    }
    // Runs the event loop until no job is left (rows() removes the finished ones).
    bool runUntilIdle(int timeoutMs = 30000)
    {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            scheduler->rows();
            if (scheduler->renderJobs().isEmpty())
                loop.quit();
        });
        poll.start(20);
        QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
        loop.exec();
        return scheduler->renderJobs().isEmpty();
    }
};

} // namespace

TEST_F(Scheduling, SlotsAndIntervalsAreClamped)
{
    const std::pair<qint64, int> jobLimits[] = {{0, 1}, {-3, 1}, {1, 1}, {4, 4}, {10, 10}, {25, 10}};
    for (const auto &[stored, limit] : jobLimits)
        EXPECT_EQ(ArchiveScheduler::clampedMaxJobs(stored), limit) << stored;
    const std::pair<const char *, qint64> intervals[] = {{"0.001", 60}, {"1000", 2592000}, {"24", 86400}, {"0", 0}};
    for (const auto &[hours, secs] : intervals) {
        prefs->setValue("hoursBetweenUpdates", QString::fromLatin1(hours));
        EXPECT_EQ(scheduler->autoJobIntervalSecs(), secs) << hours;
    }
    prefs->setValue("hoursBetweenUpdates", "0");
    scheduler->startAutoJobTimer();
    EXPECT_FALSE(scheduler->autoJobTimerActive());
    prefs->setValue("hoursBetweenUpdates", "1");
    scheduler->startAutoJobTimer();
    EXPECT_TRUE(scheduler->autoJobTimerActive());
    // Once started up, the timer follows the preference by itself, once typing settles.
    scheduler->startUp();
    for (const char *typed : {"4", "48"})
        prefs->setValue("hoursBetweenUpdates", QString::fromLatin1(typed));
    EXPECT_EQ(scheduler->autoJobTimerIntervalMs(), 3600 * 1000);
    WAIT_EXPECT_EQ(scheduler->autoJobTimerIntervalMs(), 48 * 3600 * 1000, 5000);
}

TEST_F(Scheduling, StartingAllTwiceMakesEachJobOnceAndOneRunsAtATime)
{
    prefs->setValue("maxNumRenderJobs", 1);
    scheduler->startArchiving();
    scheduler->startArchiving();
    ASSERT_EQ(scheduler->renderJobs().size(), 2);
    EXPECT_FALSE(scheduler->renderJobs()[0]->waiting());
    EXPECT_TRUE(scheduler->renderJobs()[1]->waiting());
    ASSERT_TRUE(runUntilIdle());
    // Both finished: their dates and PDF counts are recorded and shown.
    for (const QString &folder : folders) {
        EXPECT_TRUE(prefs->dateForKey(PreferenceRegister::lastFinishedKey(folder)).isValid()) << folder.toStdString();
        EXPECT_EQ(QDir(dir.filePath("archive")).entryList().isEmpty(), false);
    }
    const QList<ArchiveScheduler::Row> rows = scheduler->rows();
    ASSERT_EQ(rows.size(), 2);
    EXPECT_TRUE(rows[0].statusLine.startsWith("Last Archived: ")) << rows[0].statusLine.toStdString();
    EXPECT_TRUE(rows[0].job.isNull());
}

TEST_F(Scheduling, CancelKeepsTheLastDateAndAFinishedRunRecordsItsCount)
{
    const QString work = folders.first();
    scheduler->startArchiving(work);
    scheduler->stopArchiving(work);
    EXPECT_TRUE(scheduler->renderJobs().isEmpty());
    EXPECT_FALSE(prefs->dateForKey(PreferenceRegister::lastFinishedKey(work)).isValid());
    EXPECT_EQ(scheduler->rows().first().statusLine, "Not Archived");

    scheduler->startArchiving(work);
    for (int i = 0; i < 3; ++i)
        scheduler->anotherPDFMade(work);
    ASSERT_TRUE(runUntilIdle());
    EXPECT_TRUE(prefs->dateForKey(PreferenceRegister::lastFinishedKey(work)).isValid());
    EXPECT_TRUE(scheduler->rows().first().statusLine.endsWith("  (3 PDFs added)"))
        << scheduler->rows().first().statusLine.toStdString();
}

TEST_F(Scheduling, OpenedFilesMakeANamedOneOffJobThatLeavesWhenDone)
{
    const QString out = dir.filePath("Archive");
    QDir().mkpath(out);
    QStringList files;
    for (int i = 0; i < 3; ++i) {
        files << dir.filePath(QStringLiteral("dropped/%1.eml").arg(i));
        write(files.last(), 10 + i);
    }
    RenderTool *job = scheduler->startEMLJob(files, out, QString());
    ASSERT_NE(job, nullptr);
    EXPECT_EQ(job->jobName(), "3 EML files to Archive");
    QList<ArchiveScheduler::Row> rows = scheduler->rows();
    ASSERT_EQ(rows.size(), 3);
    EXPECT_EQ(rows.last().name, "3 EML files to Archive");
    ASSERT_TRUE(runUntilIdle());
    EXPECT_EQ(scheduler->rows().size(), 2);
}

TEST_F(Scheduling, AnAccountWithoutAPasswordSaysWhyInItsRow)
{
    // No password is stored for the account (whether or not a password store is
    // reachable from the test, it holds nothing under this name).
    const QString account = "anna@example.org";
    QStringList accounts{account};
    prefs->setValue("EmailAccounts", accounts);
    prefs->setValue(PreferenceRegister::imapKey(account), "mail.example.org");
    EXPECT_FALSE(scheduler->startArchiving(account));
    EXPECT_EQ(scheduler->renderToolForjobName(account), nullptr);
    const QString why = scheduler->rows().first().statusLine;
    EXPECT_EQ(why, "No password stored — open the account's settings") << why.toStdString();
}

TEST_F(Scheduling, AGoogleAccountWaitsForItsTokenUntilTheSignInFails)
{
    // No saved sign-in and no front end to ask: the start waits, then says why.
    const QString account = "gina@example.org";
    prefs->setValue("EmailAccounts", QStringList{account});
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), account, *prefs);
    QSignalSpy failed(&AccountOAuth::shared(), &AccountOAuth::OAuthFailed);
    EXPECT_FALSE(scheduler->startArchiving(account));
    EXPECT_EQ(scheduler->whyNoJob(account), "waiting for the Google sign-in");
    EXPECT_FALSE(scheduler->startArchiving(account)) << "one wait per account";
    ASSERT_TRUE(failed.wait(5000));
    EXPECT_EQ(scheduler->renderToolForjobName(account), nullptr);
    EXPECT_TRUE(scheduler->whyNoJob(account).contains("the Google sign-in failed"))
        << scheduler->whyNoJob(account).toStdString();
    AccountOAuth::shared().reset();
}
