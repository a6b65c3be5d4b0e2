#include "RenderEngine/RenderTool.h"
#include "RenderEngine/RemoteRender.h"
#include "mailadapter/MCOMessageParser.h"

#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

namespace {

using TestSupport::writeFile;


QByteArray message(int n)
{
    return QStringLiteral("From: Anna <anna@example.org>\nTo: bob@example.org\n"
                          "Date: Tue, 14 Feb 2023 09:30:%1 +0000\nSubject: Note %2\n\nBody %2\n")
        .arg(n % 60, 2, 10, QLatin1Char('0'))
        .arg(n)
        .toUtf8();
}

JobOptions jobOptions(const QString &dest, const QStringList &files)
{
    return {{JobKey::destFolder, dest},
            {JobKey::pdfFormat, "%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf"},
            {JobKey::attachmentFormat, "%Y/%m/__subject__ (attachments)/__filename__"},
            {JobKey::emlFormat, ""},
            {JobKey::emlFiles, files}};
}

// Runs the job until it finishes, recording each distinct status text; false on timeout.
bool runToEnd(RenderTool &job, QStringList *statuses, int timeoutMs = 60000)
{
    QEventLoop loop;
    const auto record = [&] {
        if (statuses && (statuses->isEmpty() || statuses->last() != job.operationDescription()))
            statuses->append(job.operationDescription());
    };
    QObject::connect(&job, &RenderTool::progressChanged, &loop, record);
    QObject::connect(&job, &RenderTool::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    job.renderPDFs();
    loop.exec();
    if (statuses && (statuses->isEmpty() || statuses->last() != job.operationDescription()))
        statuses->append(job.operationDescription());
    return job.allFinished();
}

} // namespace

TEST(RenderTool, StatusTextFillsPlaceholdersInOrder)
{
    struct Row {
        const char *description;
        QList<qint64> numbers;
        const char *text;
    };
    const Row rows[] = {
        {"Archiving\u2026 %d of %d, %d new", {5, 80, 2}, "Archiving\u2026 5 of 80, 2 new"},
        {"%d of %d (scanning for files)", {0, 311, 0}, "0 of 311 (scanning for files)"},
        {"Done", {1, 2, 3}, "Done"},
        {"100%", {1}, "100%"},
        {"%d%d%d%d", {1, 2}, "1200"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(RenderTool::statusText(QString::fromUtf8(row.description), row.numbers), QString::fromUtf8(row.text));
}

TEST(RenderTool, ErrorsFileKeepsEarlierRunsBlocks)
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Archive/PDFs/Errors.txt");
    auto parsed = MCOMessageParser::messageParserWithData(message(7));
    const QList<FailureRecord> records{{parsed, "INBOX", QString()}, {nullptr, "Sent", "/mail/Attachments/3"}};
    const QDateTime first(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC);
    ASSERT_TRUE(RenderTool::appendAbandonedMessages(path, records, first));
    ASSERT_TRUE(RenderTool::appendAbandonedMessages(path, records.mid(0, 1), first.addDays(1)));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    EXPECT_TRUE(text.startsWith("2026-01-02 03:04:05 UTC\n\n\n\nSubject: Note 7\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("Mail folder: INBOX\n\n(no message)\nMail folder: Sent\nAttachments folder: /mail/Attachments/3\n\n"
                              "2026-01-03 03:04:05 UTC\n\n\n\nSubject: Note 7\n"));
    EXPECT_TRUE(text.endsWith("Mail folder: INBOX\n\n"));
    EXPECT_EQ(text.count("Subject: Note 7"), 2);
}

// Files too short to be a message are skipped at once: the job must still hand out every
// one of them before it calls itself done.
TEST(RenderTool, LocalJobIsDoneOnlyWhenEveryFileWasHandedOut)
{
    QTemporaryDir dir;
    for (int i = 0; i < 400; ++i)
        writeFile(dir.filePath(QStringLiteral("in/%1.eml").arg(i)), "Subject: x\n\ntoo short");
    RenderTool job(jobOptions(dir.filePath("out"), {dir.filePath("in")}));
    job.setJobName("400 EML files to out");
    EXPECT_TRUE(job.waiting());
    EXPECT_EQ(job.operationDescription(), "Waiting");
    EXPECT_EQ(int(job.renderEngines().size()), RenderTool::defaultEngineCount());
    EXPECT_GE(job.renderEngines().size(), 16u);
    QStringList statuses;
    ASSERT_TRUE(runToEnd(job, &statuses));
    EXPECT_EQ(job.operationDescription(), "Done");
    EXPECT_EQ(job.numEmailsArchived(), 400);
    EXPECT_EQ(job.totalEmailCount(), 400);
    EXPECT_DOUBLE_EQ(job.fractionDone(), 1.0);
    EXPECT_FALSE(job.wasCancelled());
    EXPECT_EQ(statuses.first(), "%d of %d (scanning for files)");
    EXPECT_FALSE(QFileInfo::exists(job.errorsFilePath()));
}

TEST(RenderTool, ArchivedMessagesAreSkippedWithoutRenderboxes)
{
    QTemporaryDir dir;
    const QString in = dir.filePath("Mail");
    const QString out = dir.filePath("out");
    for (int i = 0; i < 50; ++i)
        writeFile(QStringLiteral("%1/%2.eml").arg(in).arg(i), message(i));
    // Good PDFs (7000 bytes or more) where the messages' PDFs go.
    const JobOptions options = jobOptions(out, {in});
    for (int i = 0; i < 50; ++i) {
        auto parsed = MCOMessageParser::messageParserWithData(message(i));
        const QString pdf = MessageToHTMLToPDF::destinationPath(*parsed, "Mail", "Mail", JobKey::pdfFormat, QString(),
                                                                options);
        writeFile(pdf, QByteArray(7000, 'x'));
    }
    RenderTool job(options);
    job.setJobName(in);
    ASSERT_TRUE(runToEnd(job, nullptr));
    EXPECT_EQ(job.operationDescription(), "Done");
    EXPECT_EQ(job.numEmailsArchived(), 50);
    EXPECT_EQ(RemoteRender::liveRenderboxCount(), 0);
}

TEST(RenderTool, EmptySourceEndsDoneAndCancelIsFinal)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("empty"));
    RenderTool empty(jobOptions(dir.filePath("out"), {dir.filePath("empty")}));
    ASSERT_TRUE(runToEnd(empty, nullptr));
    EXPECT_EQ(empty.operationDescription(), "Done");
    EXPECT_EQ(empty.totalEmailCount(), 0);

    RenderTool cancelled(jobOptions(dir.filePath("out"), {dir.filePath("empty")}));
    cancelled.cancel();
    EXPECT_TRUE(cancelled.allFinished());
    EXPECT_TRUE(cancelled.wasCancelled());
    EXPECT_EQ(cancelled.operationDescription(), "Cancelled");
    EXPECT_TRUE(cancelled.renderEngines().empty());
    cancelled.renderPDFs(); // a finished job never starts again
    EXPECT_EQ(cancelled.operationDescription(), "Cancelled");
}

// Two jobs in one process, at once: each counts its own scan and its own messages, and
// each reports its own result. (.eml-only jobs: their engines write in this process.)
TEST(RenderTool, TwoLocalJobsSideBySideKeepTheirOwnCounts)
{
    QTemporaryDir dir;
    const int sizes[2] = {300, 120};
    std::unique_ptr<RenderTool> jobs[2];
    QList<RenderTool::Result> results[2];
    qint64 largestTotal[2] = {0, 0};
    int progress[2] = {0, 0};
    for (int j = 0; j < 2; ++j) {
        const QString in = dir.filePath(QStringLiteral("in%1").arg(j));
        for (int i = 0; i < sizes[j]; ++i)
            writeFile(QStringLiteral("%1/%2.eml").arg(in).arg(i), message(1000 * j + i) + QByteArray(80, 'x'));
        JobOptions options = jobOptions(dir.filePath(QStringLiteral("out%1").arg(j)), {in});
        options.insert(JobKey::pdfFormat, "");
        options.insert(JobKey::emlFormat, "%Y/__subject__.eml");
        jobs[j] = std::make_unique<RenderTool>(options);
        jobs[j]->setJobName(in);
        RenderTool *job = jobs[j].get();
        QObject::connect(job, &RenderTool::progressChanged, [&, j, job] {
            ++progress[j];
            largestTotal[j] = qMax(largestTotal[j], job->totalEmailCount());
        });
        QObject::connect(job, &RenderTool::finished, [&, j](const RenderTool::Result &r) { results[j].append(r); });
    }
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (jobs[0]->allFinished() && jobs[1]->allFinished())
            loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    jobs[0]->renderPDFs();
    jobs[1]->renderPDFs();
    loop.exec();

    for (int j = 0; j < 2; ++j) {
        SCOPED_TRACE(j);
        ASSERT_EQ(results[j].size(), 1);
        const RenderTool::Result &r = results[j].first();
        EXPECT_EQ(r.outcome, RenderTool::Result::Outcome::Done);
        EXPECT_EQ(r.handedOut, sizes[j]);
        EXPECT_EQ(r.total, sizes[j]);
        EXPECT_EQ(jobs[j]->numEmailsArchived(), sizes[j]);
        EXPECT_EQ(largestTotal[j], sizes[j]) << "a job's count never shows the other job's scan";
        EXPECT_GT(progress[j], 0);
        QDirIterator it(dir.filePath(QStringLiteral("out%1").arg(j)), {"*.eml"}, QDir::Files,
                        QDirIterator::Subdirectories);
        int written = 0;
        for (; it.hasNext(); it.next())
            ++written;
        EXPECT_EQ(written, sizes[j]);
    }
}

TEST(RenderTool, CancelReportsItsResultOnce)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.filePath("empty"));
    RenderTool job(jobOptions(dir.filePath("out"), {dir.filePath("empty")}));
    QList<RenderTool::Result> results;
    QObject::connect(&job, &RenderTool::finished, [&](const RenderTool::Result &r) { results.append(r); });
    job.cancel();
    job.cancel();
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results.first().outcome, RenderTool::Result::Outcome::Cancelled);
}

TEST(RenderTool, EngineCountFollowsTheMachineWithSixteenAsTheFloor)
{
    constexpr qint64 GiB = 1024LL * 1024 * 1024;
    struct Row {
        int processors;
        qint64 memory;
        int engines;
    };
    const Row rows[] = {
        {1, 24 * GiB, 16},   // one processor: the floor
        {2, 24 * GiB, 20},   // by processors
        {2, 4 * GiB, 16},    // little memory: the floor still
        {8, 24 * GiB, 52},   // by memory: three quarters of 24 GiB at 350 MB each
        {64, 512 * GiB, 128}, // the ceiling
        {4, 0, 16},          // memory unknown
    };
    for (const Row &row : rows)
        EXPECT_EQ(RenderTool::engineCountFor(row.processors, row.memory), row.engines)
            << row.processors << " processors, " << row.memory / GiB << " GiB";
    QTemporaryDir dir;
    JobOptions options = jobOptions(dir.filePath("out"), {dir.path()});
    options.insert(JobKey::renderEngines, 3);
    EXPECT_EQ(RenderTool(options).renderEngines().size(), 3u);
}
