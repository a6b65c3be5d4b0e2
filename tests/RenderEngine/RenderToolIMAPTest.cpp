// IMAP jobs against a real Dovecot: folders of 0, 1, 5000 and 12000 messages archived as
// .eml copies exactly once, switched-off and \Noselect folders, re-runs that download
// nothing, and the faults that must end a job as failed (refused login, no server,
// a changed certificate, a connection dropped in the middle of a header chunk).
#include "DovecotServer.h"
#include "TestSupport.h"

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RenderTool.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "mailadapter/MCOIMAPMailboxName.h"
#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOIMAPSession.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDirIterator>
#include <QEventLoop>
#include <QRegularExpression>
#include <QFile>
#include <QSet>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QTest>

namespace {

const QString kUser = QStringLiteral("anna@example.org");
const QString kPassword = QStringLiteral("correct horse");
// .eml copies only: no renderbox, no HTML engine.
const QString kEmlFormat = QStringLiteral("%Y/%m/__subject__.eml");

QByteArray fixtureMessage(const QString &folder, int i)
{
    return QStringLiteral("From: Sender Person <sender@example.org>\r\n"
                          "To: Anna <anna@example.org>\r\n"
                          "Subject: %1 message %2\r\n"
                          "Date: Mon, 7 Dec 2026 %3:%4:%5 +0000\r\n"
                          "Message-ID: <%2.%1@fixture.test>\r\n"
                          "\r\n"
                          "Body of message %2 in %1.\r\n")
        .arg(folder)
        .arg(i)
        .arg(i / 3600 % 24, 2, 10, QLatin1Char('0'))
        .arg(i / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(i % 60, 2, 10, QLatin1Char('0'))
        .toUtf8();
}

// Two attachments whose bytes survive only if the transfer encodings are undone.
const QByteArray kBinary = QByteArray::fromHex("00ff10803d0d0a2e2e2f");
const QByteArray kPartsMessage =
    "From: Sender Person <sender@example.org>\r\nTo: anna@example.org\r\nSubject: Parts\r\n"
    "Date: Mon, 7 Dec 2026 10:00:00 +0000\r\nMessage-ID: <parts@fixture.test>\r\nMIME-Version: 1.0\r\n"
    "Content-Type: multipart/mixed; boundary=\"b\"\r\n\r\n"
    "--b\r\nContent-Type: text/plain\r\n\r\nSee the attachments.\r\n"
    "--b\r\nContent-Type: application/octet-stream; name=\"data.bin\"\r\nContent-Disposition: attachment; "
    "filename=\"data.bin\"\r\nContent-Transfer-Encoding: base64\r\n\r\n" + kBinary.toBase64() + "\r\n"
    "--b\r\nContent-Type: text/plain; charset=utf-8; name=\"notes.txt\"\r\nContent-Disposition: attachment; "
    "filename=\"notes.txt\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"
    "Gr=C3=BC=C3=9Fe, a long line that is soft=\r\n broken.\r\n"
    "--b--\r\n";

JobOptions optionsFor(const DovecotServer &server, const QString &dest, int transport = 4)
{
    JobOptions o;
    o[JobKey::destFolder] = dest;
    o[JobKey::pdfFormat] = QStringLiteral("none");
    o[JobKey::attachmentFormat] = QStringLiteral("none");
    o[JobKey::emlFormat] = kEmlFormat;
    o[JobKey::emailUsername] = kUser;
    o[JobKey::imapServer] = QStringLiteral("127.0.0.1");
    o[JobKey::imapPort] = transport == 4 ? server.tlsPort() : server.plainPort();
    o[JobKey::imapTransport] = transport;
    o[JobKey::authSystem] = QStringLiteral("kauth_user_pass");
    o[JobKey::password] = kPassword;
    o[JobKey::windowsFilenames] = false;
    return o;
}

RenderTool::Result runJob(const JobOptions &options)
{
    auto *job = new RenderTool(options);
    job->setJobName(options.value(JobKey::emailUsername).toString());
    job->setFolderListDelayMs(0);
    job->setNotificationPoster([](const QString &, const QString &) {});
    QEventLoop loop;
    QObject::connect(job, &RenderTool::finished, &loop, &QEventLoop::quit);
    job->renderPDFs();
    if (!job->allFinished())
        loop.exec();
    const RenderTool::Result result = job->result();
    delete job;
    return result;
}

QStringList filesBelow(const QString &dir)
{
    QStringList files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files << it.next();
    return files;
}

// A loopback proxy to Dovecot's plain port that cuts a connection in the middle of the
// answer to its first FETCH by message number, for the first `cuts` such connections:
// what a connection that drops in the middle of a header chunk looks like to the client.
class CuttingProxy : public QObject {
public:
    CuttingProxy(int target, int cuts) : m_target(target), m_cuts(cuts)
    {
        m_server.listen(QHostAddress::LocalHost, 0);
        connect(&m_server, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *client = m_server.nextPendingConnection())
                relay(client);
        });
    }
    int port() const { return m_server.serverPort(); }
    int cutsDone() const { return m_cutsDone; }

private:
    void relay(QTcpSocket *client)
    {
        auto *upstream = new QTcpSocket(client);
        auto *armed = new bool(false);
        auto *sent = new qint64(0);
        connect(client, &QObject::destroyed, [armed, sent] { delete armed; delete sent; });
        upstream->connectToHost(QHostAddress::LocalHost, quint16(m_target));
        connect(client, &QTcpSocket::readyRead, upstream, [this, client, upstream, armed] {
            const QByteArray data = client->readAll();
            if (!*armed && m_cuts > 0 && data.contains(" FETCH ") && !data.contains("UID FETCH")) {
                *armed = true;
                --m_cuts;
            }
            upstream->write(data);
        });
        connect(upstream, &QTcpSocket::readyRead, client, [this, client, upstream, armed, sent] {
            QByteArray data = upstream->readAll();
            if (*armed) {
                // A little of the answer, then nothing: the connection is gone.
                if (*sent < 0)
                    return; // cut already
                const qint64 keep = qMax<qint64>(0, 100 - *sent);
                client->write(data.left(keep));
                *sent += qMin<qint64>(keep, data.size());
                if (*sent >= 100) {
                    ++m_cutsDone;
                    *sent = -1;
                    upstream->abort();
                    client->disconnectFromHost();
                }
                return;
            }
            client->write(data);
        });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        connect(upstream, &QTcpSocket::disconnected, client, [client] { client->disconnectFromHost(); });
    }

    QTcpServer m_server;
    int m_target;
    int m_cuts;
    int m_cutsDone = 0;
};

class IMAPJob : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        QString failure;
        s_server = DovecotServer::startNew(&s_whyNot, &failure).release();
        if (!s_server && !failure.isEmpty())
            s_whyNot = QStringLiteral("FAIL ") + failure;
        if (!s_server)
            return;
        s_server->addUser(kUser, kPassword);
        s_counts = {{QStringLiteral("INBOX"), 1},  {QStringLiteral("Empty"), 0},
                    {QStringLiteral("Five"), 5000}, {QStringLiteral("Big"), 12000},
                    {QStringLiteral("Skipped"), 3}, {QStringLiteral("Entw&APw-rfe"), 2},
                    {QStringLiteral("a.b"), 1}};
        s_server->createMailbox(kUser, QStringLiteral("Parts"));
        s_server->writeMessage(kUser, QStringLiteral("Parts"), kPartsMessage);
        for (auto it = s_counts.cbegin(); it != s_counts.cend(); ++it) {
            s_server->createMailbox(kUser, it.key());
            for (int i = 1; i <= it.value(); ++i)
                s_server->writeMessage(kUser, it.key(), fixtureMessage(QString(it.key()).replace('.', '-'), i));
        }
    }
    static void TearDownTestSuite()
    {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override
    {
        if (!s_server) {
            if (s_whyNot.startsWith(QLatin1String("FAIL ")))
                FAIL() << qPrintable(s_whyNot);
            GTEST_SKIP() << qPrintable(s_whyNot);
        }
        if (!s_server->isRunning()) {
            QString failure;
            ASSERT_TRUE(s_server->start(&failure)) << qPrintable(failure);
        }
        Preferences::shared().removeObjectForKey(PreferenceRegister::certificatePinKey(kUser));
    }

    static inline DovecotServer *s_server = nullptr;
    static inline QString s_whyNot;
    static inline QMap<QString, int> s_counts;
    QTemporaryDir dest;
};

TEST_F(IMAPJob, EveryMessageIsWrittenOnceAndARerunDownloadsNothing)
{
    JobOptions options = optionsFor(*s_server, dest.path());
    options[JobKey::foldersToSkip] = QStringList{QStringLiteral("Skipped"), QStringLiteral("Parts")};
    const int fetchesBefore = s_server->countLogLines(QStringLiteral("(BODY.PEEK[])"));

    const RenderTool::Result first = runJob(options);
    ASSERT_EQ(first.outcome, RenderTool::Result::Outcome::Done) << qPrintable(first.reason);
    const qint64 expected = 1 + 5000 + 12000 + 2 + 1;
    EXPECT_EQ(first.total, expected); // the chunks' shared boundaries are listed once
    EXPECT_EQ(first.unlisted, 0);

    const QStringList files = filesBelow(dest.path());
    EXPECT_EQ(files.size(), expected);
    QSet<QString> ids;
    QMap<QString, int> perFolder;
    for (const QString &file : files) {
        QFile f(file);
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        const auto parsed = MCOMessageParser::messageParserWithData(f.readAll());
        ids.insert(parsed->header().messageID());
        perFolder[file.mid(dest.path().size() + 1).section(QLatin1Char('/'), 1, -4)] += 1;
    }
    EXPECT_EQ(ids.size(), expected) << "a message was written twice or lost";
    // Folder levels as the hierarchy gives them, readable names.
    const QMap<QString, int> wanted{{QStringLiteral("INBOX"), 1},
                                    {QStringLiteral("Five"), 5000},
                                    {QStringLiteral("Big"), 12000},
                                    {QStringLiteral("Entwürfe"), 2},
                                    {QStringLiteral("a/b"), 1}};
    EXPECT_EQ(perFolder, wanted);
    // A switched-off folder is never opened; \Noselect "a" is not opened either.
    EXPECT_EQ(s_server->countLogLines(QStringLiteral("Command finished: EXAMINE Skipped")), 0);
    EXPECT_FALSE(s_server->log().contains(QRegularExpression(QStringLiteral("EXAMINE a\\s*$"),
                                                             QRegularExpression::MultilineOption)));
    EXPECT_GT(s_server->countLogLines(QStringLiteral("Command finished: EXAMINE Big")), 0);
    // Read only: no flag changed, nothing saved, moved or deleted.
    for (const char *change : {": flag_change:", ": expunge:", ": delete:", ": copy:", ": save:"})
        EXPECT_EQ(s_server->countLogLines(QString::fromLatin1(change)), 0) << change;
    // The fingerprint of the self-signed certificate is pinned on first use.
    EXPECT_EQ(Preferences::shared().stringForKey(PreferenceRegister::certificatePinKey(kUser)).size(), 95);

    const int fetchesAfterFirst = s_server->countLogLines(QStringLiteral("(BODY.PEEK[])"));
    EXPECT_EQ(fetchesAfterFirst - fetchesBefore, expected);
    options[JobKey::imapCertificateSHA256] =
        Preferences::shared().stringForKey(PreferenceRegister::certificatePinKey(kUser));
    const RenderTool::Result second = runJob(options);
    ASSERT_EQ(second.outcome, RenderTool::Result::Outcome::Done) << qPrintable(second.reason);
    EXPECT_EQ(second.total, expected);
    EXPECT_EQ(s_server->countLogLines(QStringLiteral("(BODY.PEEK[])")), fetchesAfterFirst) << "a re-run downloaded a body";
    EXPECT_EQ(filesBelow(dest.path()).size(), expected);
}

TEST_F(IMAPJob, ThePathOfAListedHeaderIsThePathOfItsDownloadedMessage)
{
    // Over STARTTLS on the plain port.
    const JobOptions options = optionsFor(*s_server, dest.path(), 2);
    std::unique_ptr<MCOIMAPSession> own(RenderTool::sessionForOptions(options, nullptr));
    auto run = [](MCOIMAPOperation *op) {
        MCOIMAPResult out;
        QEventLoop loop;
        op->start([&](const MCOIMAPResult &r) { out = r; loop.quit(); });
        loop.exec();
        return out;
    };
    const MCOIMAPResult headers = run(own->fetchMessagesByNumberOperation(QStringLiteral("Five"), 4981, 5020));
    ASSERT_FALSE(headers.error.isError()) << qPrintable(headers.error.description);
    ASSERT_EQ(headers.messages.size(), 20); // a range past the end lists what there is
    for (const auto &header : headers.messages) {
        const MCOIMAPResult raw = run(own->fetchMessageOperation(QStringLiteral("Five"), header->uid()));
        ASSERT_FALSE(raw.error.isError());
        const auto parsed = LocalMailFiles::messageWithRawData(raw.data);
        for (const QString &format : {JobKey::pdfFormat, JobKey::emlFormat}) {
            JobOptions o = options;
            o[JobKey::pdfFormat] = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ __fromLast__ __toLast__.pdf");
            EXPECT_EQ(MessageToHTMLToPDF::destinationPath(*header, kUser, QStringLiteral("Five"), format, QString(), o,
                                                          MessageToHTMLToPDF::FolderCreation::No),
                      MessageToHTMLToPDF::destinationPath(*parsed, kUser, QStringLiteral("Five"), format, QString(), o,
                                                          MessageToHTMLToPDF::FolderCreation::No));
        }
        EXPECT_EQ(MessageToHTMLToPDF::messageIdentity(*header), MessageToHTMLToPDF::messageIdentity(*parsed));
    }
}

TEST_F(IMAPJob, AttachmentPartsAreFetchedFromTheServerDecoded)
{
    JobOptions options = optionsFor(*s_server, dest.path());
    options[JobKey::attachmentFormat] = QStringLiteral("%Y/__subject__ (attachments)/__filename__");
    std::unique_ptr<MCOIMAPSession> session(RenderTool::sessionForOptions(options, nullptr));
    MCOIMAPResult listed;
    QEventLoop loop;
    session->fetchMessagesByNumberOperation(QStringLiteral("Parts"), 1, 1)->start([&](const MCOIMAPResult &r) {
        listed = r;
        loop.quit();
    });
    loop.exec();
    ASSERT_EQ(listed.messages.size(), 1) << qPrintable(listed.error.description);
    const auto message = listed.messages[0];
    ASSERT_EQ(message->attachments().size(), 2);
    MessageToHTMLToPDF engine(options);
    for (const MCOAbstractPartPtr &part : message->attachments())
        EXPECT_TRUE(engine.downloadAttachment(part, session.get(), *message, kUser, QStringLiteral("Parts"), QString()));
    const QString folder = dest.filePath(kUser + QStringLiteral("/Parts/2026/Parts (attachments)/"));
    EXPECT_TRUE(QTest::qWaitFor([&] { return QDir(folder).entryList(QDir::Files).size() == 2; }, 30000))
        << qPrintable(filesBelow(dest.path()).join(QLatin1Char('\n')));
    QFile bin(folder + QStringLiteral("data.bin")), txt(folder + QStringLiteral("notes.txt"));
    ASSERT_TRUE(bin.open(QIODevice::ReadOnly));
    EXPECT_EQ(bin.readAll(), kBinary);
    ASSERT_TRUE(txt.open(QIODevice::ReadOnly));
    // The line break before the boundary belongs to the boundary.
    EXPECT_EQ(txt.readAll(), QStringLiteral("Grüße, a long line that is soft broken.").toUtf8());
    // Only the parts were fetched, never the whole message.
    EXPECT_EQ(s_server->countLogLines(QStringLiteral("Command finished: UID FETCH %1 (BODY.PEEK[2])").arg(message->uid())), 1);
}

TEST_F(IMAPJob, HandlersRunOnceOnTheMainThreadAndNeverAfterCancel)
{
    const JobOptions options = optionsFor(*s_server, dest.path());
    auto *session = RenderTool::sessionForOptions(options, nullptr);
    int cancelledCalls = 0, calls = 0, orphanCalls = 0;
    QThread *handlerThread = nullptr;
    MCOIMAPOperation *cancelled = session->fetchMessagesByNumberOperation(QStringLiteral("Big"), 1, 5000);
    cancelled->start([&](const MCOIMAPResult &) { ++cancelledCalls; });
    cancelled->cancel();
    QEventLoop loop;
    session->fetchAllFoldersOperation()->start([&](const MCOIMAPResult &r) {
        ++calls;
        handlerThread = QThread::currentThread();
        EXPECT_FALSE(r.error.isError()) << qPrintable(r.error.description);
        loop.quit();
    });
    loop.exec();
    // An operation in flight when its session goes: no handler, no crash.
    session->fetchMessagesByNumberOperation(QStringLiteral("Big"), 1, 5000)->start([&](const MCOIMAPResult &) {
        ++orphanCalls;
    });
    delete session;
    QTest::qWait(500); // a late delivery would land here
    EXPECT_EQ(cancelledCalls, 0);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(orphanCalls, 0);
    EXPECT_EQ(handlerThread, QThread::currentThread());
}

TEST_F(IMAPJob, RefusalsEndTheJobAsFailedWithNothingWritten)
{
    struct Row {
        const char *name;
        std::function<void(JobOptions &)> change;
        const char *reasonContains;
    };
    const Row rows[] = {
        {"wrong password", [](JobOptions &o) { o[JobKey::password] = QStringLiteral("wrong"); }, "login as"},
        {"nobody listening",
         [](JobOptions &o) {
             QTcpServer probe;
             probe.listen(QHostAddress::LocalHost, 0);
             o[JobKey::imapPort] = probe.serverPort(); // closed again when the probe goes
         },
         "cannot connect"},
        {"another certificate pinned",
         [](JobOptions &o) { o[JobKey::imapCertificateSHA256] = QString(QStringLiteral("AB:").repeated(31) + "AB"); },
         "has changed"},
        {"plain connection, wrong password",
         [](JobOptions &o) {
             o[JobKey::imapTransport] = 1;
             o[JobKey::imapPort] = s_server->plainPort();
             o[JobKey::password] = QStringLiteral("wrong");
         },
         "login as"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        JobOptions options = optionsFor(*s_server, dest.path());
        row.change(options);
        Log::captureStart();
        const RenderTool::Result result = runJob(options);
        const QString logged = Log::captureTake().join(QLatin1Char('\n'));
        EXPECT_FALSE(logged.contains(options.value(JobKey::password).toString())) << qPrintable(logged);
        for (const char *command : {" LOGIN ", "AUTHENTICATE "})
            EXPECT_FALSE(logged.contains(QLatin1String(command))) << qPrintable(logged);
        EXPECT_EQ(result.outcome, RenderTool::Result::Outcome::Failed);
        EXPECT_TRUE(result.reason.contains(QLatin1String(row.reasonContains))) << qPrintable(result.reason);
        EXPECT_FALSE(result.reason.contains(kPassword));
        EXPECT_TRUE(filesBelow(dest.path()).isEmpty());
    }
}

TEST_F(IMAPJob, AChangedCertificateIsRefusedNamingBothFingerprints)
{
    JobOptions options = optionsFor(*s_server, dest.path());
    options[JobKey::foldersToSkip] = QStringList{QStringLiteral("Big"), QStringLiteral("Five"), QStringLiteral("Parts")};
    ASSERT_EQ(runJob(options).outcome, RenderTool::Result::Outcome::Done);
    const QString pinned = Preferences::shared().stringForKey(PreferenceRegister::certificatePinKey(kUser));
    ASSERT_FALSE(pinned.isEmpty());
    QString failure;
    ASSERT_TRUE(s_server->renewCertificate(&failure)) << qPrintable(failure);
    const int loginsBefore = s_server->countLogLines(QStringLiteral("Login: user=<anna@example.org>"));
    options[JobKey::imapCertificateSHA256] = pinned;
    QTemporaryDir second;
    options[JobKey::destFolder] = second.path();
    const RenderTool::Result result = runJob(options);
    EXPECT_EQ(result.outcome, RenderTool::Result::Outcome::Failed);
    EXPECT_TRUE(result.reason.contains(pinned)) << qPrintable(result.reason);
    EXPECT_EQ(result.reason.count(QStringLiteral("SHA-256")), 1);
    EXPECT_EQ(QRegularExpression(QStringLiteral("([0-9A-F]{2}:){31}[0-9A-F]{2}")).globalMatch(result.reason).hasNext(), true);
    // The password never went to the new certificate's server.
    EXPECT_EQ(s_server->countLogLines(QStringLiteral("Login: user=<anna@example.org>")), loginsBefore);
    EXPECT_TRUE(filesBelow(second.path()).isEmpty());
}

TEST_F(IMAPJob, AHeaderChunkCutOffIsTriedOnceMoreThenCounted)
{
    struct Row {
        int cuts;
        RenderTool::Result::Outcome outcome;
        qint64 unlisted;
        qint64 written;
    };
    // "Five" is two chunks; the one past the end asks nothing of the server. With one cut
    // the retry lists everything; with cuts that never stop, INBOX's and Five's messages
    // stay unlisted and the run is not complete.
    const Row rows[] = {
        {1, RenderTool::Result::Outcome::Done, 0, 5000 + 1},
        {100, RenderTool::Result::Outcome::Failed, 5000 + 1, 0},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.cuts);
        QTemporaryDir out;
        CuttingProxy proxy(s_server->plainPort(), row.cuts);
        JobOptions options = optionsFor(*s_server, out.path(), 1);
        options[JobKey::imapPort] = proxy.port();
        options[JobKey::foldersToSkip] =
            QStringList{QStringLiteral("Big"), QStringLiteral("Skipped"), QStringLiteral("Entw&APw-rfe"),
                        QStringLiteral("a.b"), QStringLiteral("Empty"), QStringLiteral("Parts")};
        const RenderTool::Result result = runJob(options);
        EXPECT_EQ(result.outcome, row.outcome) << qPrintable(result.reason);
        EXPECT_EQ(result.unlisted, row.unlisted);
        EXPECT_GE(proxy.cutsDone(), 1);
        EXPECT_EQ(filesBelow(out.path()).size(), row.written);
    }
}

TEST(IMAPMailboxNames, BecomeFoldersBelowTheDestination)
{
    struct Row {
        const char *path;
        char delimiter;
        const char *folder;
    };
    const Row rows[] = {
        {"Entw&APw-rfe", '.', "Entwürfe"},
        {"INBOX.Projects.2024", '.', "INBOX/Projects/2024"},
        {"INBOX/Projects/2024", '/', "INBOX/Projects/2024"},
        {"Sent/A/B", '.', "Sent_A_B"},
        {"&-Co", '/', "&Co"},
        {"&ZeVnLIqe-", '/', "日本語"},
        {"&AB", '/', "&AB"},   // unterminated shift: kept as written
        {"&Jjo!-", '/', "&Jjo!-"}, // not base64: kept as written
        {"..", '/', "__"},
        {"../x", '/', "__/x"},
        {"/", '/', "_"},
        {"/etc/passwd", '/', "etc/passwd"},
        {"a\x01\x1f" "b", '.', "ab"},
        {"a..b", '.', "a/b"},
        {"INBOX", 0, "INBOX"},
    };
    for (const Row &row : rows) {
        const QString got = MCOIMAPMailboxName::mailFolderForPath(QString::fromUtf8(row.path),
                                                                   row.delimiter ? QChar::fromLatin1(row.delimiter) : QChar());
        EXPECT_EQ(got, QString::fromUtf8(row.folder)) << row.path;
        // Whatever the name, the folder stays below the account's folder in the root.
        const QString folder = MessageToHTMLToPDF::destinationFolder(QStringLiteral("/tmp/tarnwick-root-never-made"),
                                                                     kUser, got);
        EXPECT_TRUE(folder.startsWith(QStringLiteral("/tmp/tarnwick-root-never-made/") + kUser + QLatin1Char('/')))
            << qPrintable(folder);
    }
    QDir(QStringLiteral("/tmp/tarnwick-root-never-made")).removeRecursively();
}

TEST(IMAPHeaderChunks, CoverEveryMessageNumber)
{
    struct Row {
        quint32 count;
        QList<QPair<quint32, quint32>> chunks; // start, numToFetch
    };
    const Row rows[] = {
        {0, {}},
        {1, {{1, 0}}},
        {5000, {{1, 4999}, {5001, 0}}},
        {5001, {{1, 5000}, {5001, 0}}},
        {12000, {{1, 5000}, {5001, 5000}, {10001, 1999}}},
    };
    for (const Row &row : rows) {
        QList<QPair<quint32, quint32>> got;
        for (const RenderTool::HeaderChunk &c : RenderTool::headerChunksForFolder(MCOIMAPFolder{}, row.count))
            got.append({c.start, c.numToFetch});
        EXPECT_EQ(got, row.chunks) << row.count;
    }
}

} // namespace
