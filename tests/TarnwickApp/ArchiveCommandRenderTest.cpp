// `tarnwick archive` end to end: the real executable, its renderboxes (Qt WebEngine,
// offscreen) and its private D-Bus bus.

#include "DovecotServer.h"
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>

#include <csignal>

namespace {

// One isolated run environment: its own configuration, temporary folder and archive.
struct Sandbox {
    QTemporaryDir dir;
    QString config() const { return dir.filePath("config"); }
    QString tmp() const { return dir.filePath("tmp"); }
    QString archive() const { return dir.filePath("archive"); }
    Sandbox()
    {
        QDir().mkpath(config());
        QDir().mkpath(tmp());
    }
    void setUp(QProcess &p) const
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", "UTC");
        env.insert("XDG_CONFIG_HOME", config());
        env.insert("TMPDIR", tmp());
        env.insert("HOME", dir.filePath("home"));
        env.remove("XDG_DATA_HOME");
        env.remove("XDG_CACHE_HOME");
        env.remove("XDG_STATE_HOME");
        p.setProcessEnvironment(env);
    }
};

struct Outcome {
    int status = -1;
    QString out, err;
};

Outcome finish(QProcess &p, int timeoutMs = 300000)
{
    p.waitForFinished(timeoutMs);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

Outcome archive(const Sandbox &box, const QStringList &args)
{
    QProcess p;
    box.setUp(p);
    p.start(TestSupport::tarnwickBinary(), QStringList{"archive"} + args);
    return finish(p);
}

// Message outputs below `root` (attachments folders left out), path -> (size, mtime).
QMap<QString, QPair<qint64, qint64>> outputs(const QString &root, const QString &suffix)
{
    QMap<QString, QPair<qint64, qint64>> found;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        if (info.path().endsWith("(attachments)") || !info.fileName().endsWith(suffix))
            continue;
        found.insert(info.filePath(), {info.size(), info.lastModified().toMSecsSinceEpoch()});
    }
    return found;
}

// Whether the process has its crash handlers in place (SIGSEGV caught).
bool catchesSegv(qint64 pid)
{
    const QByteArray status = TestSupport::readAll(QStringLiteral("/proc/%1/status").arg(pid));
    const qsizetype at = status.indexOf("SigCgt:");
    return at >= 0 && (status.mid(at + 7, 18).trimmed().toULongLong(nullptr, 16) & (1ull << (SIGSEGV - 1))) != 0;
}

// Renderbox processes whose folder lies below `tmp`: pid -> renderbox folder.
QMap<qint64, QString> renderboxesBelow(const QString &tmp)
{
    QMap<qint64, QString> found;
    for (const QString &pid : QDir("/proc").entryList(QDir::Dirs)) {
        bool ok = false;
        const qint64 n = pid.toLongLong(&ok);
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(pid));
        if (!ok || !cmdline.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> args = cmdline.readAll().split('\0');
        const qsizetype at = args.indexOf("--jsonArgs");
        if (at < 0 || at + 1 >= args.size())
            continue;
        const QString folder = QJsonDocument::fromJson(args[at + 1]).object()["renderboxFolder"].toString();
        if (folder.startsWith(tmp))
            found.insert(n, folder);
    }
    return found;
}

bool waitFor(const std::function<bool()> &condition, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!condition()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

QString samples() { return QStringLiteral(TARNWICK_SOURCE_DIR "/samples/mailbox"); }

} // namespace

TEST(ArchiveCommand, ArchivesTheSampleMailboxThenSkipsIt)
{
    Sandbox box;
    const Outcome first = archive(box, {"--dest", box.archive(), samples()});
    ASSERT_EQ(first.status, 0) << first.out.toStdString() << first.err.toStdString();
    EXPECT_TRUE(first.out.startsWith("Done: 11 of 11 messages handed out, 11 PDFs written in this run, 0 renderbox "
                                     "failures"))
        << first.out.toStdString();
    const auto pdfs = outputs(box.archive(), ".pdf");
    EXPECT_EQ(pdfs.size(), 11);
    for (auto it = pdfs.cbegin(); it != pdfs.cend(); ++it)
        EXPECT_GE(it->first, 7000) << it.key().toStdString();
    EXPECT_TRUE(outputs(box.archive(), ".eml").isEmpty());
    // The renderboxes and their folders are gone with the run.
    EXPECT_TRUE(renderboxesBelow(box.tmp()).isEmpty());
    QDirIterator left(box.tmp(), QDir::Dirs | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (left.hasNext()) {
        const QString name = QFileInfo(left.next()).fileName();
        EXPECT_FALSE(name.count('-') == 4 || name.startsWith("engine-")) << name.toStdString();
    }
    // Nothing of the HTML engine lands in the user's home.
    EXPECT_FALSE(QFileInfo::exists(box.dir.filePath("home")));

    const Outcome second = archive(box, {"--dest", box.archive(), samples()});
    ASSERT_EQ(second.status, 0);
    EXPECT_TRUE(second.out.startsWith("Done: 11 of 11 messages handed out, 0 PDFs written in this run"))
        << second.out.toStdString();
    EXPECT_EQ(outputs(box.archive(), ".pdf"), pdfs);
}

TEST(ArchiveCommand, RefusesToStartWithoutWhatItNeeds)
{
    Sandbox box;
    QFile blocker(box.dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    struct Row {
        QStringList args;
        const char *message;
    };
    const Row rows[] = {
        {{samples()}, "no destination folder"},
        {{"--dest", box.archive(), box.dir.filePath("nothing-here")}, "no such file or folder"},
        {{"--dest", box.dir.filePath("file/sub"), samples()}, "cannot be created or written"},
        {{"--dest", box.archive(), "--bogus", samples()}, "unknown option --bogus"},
        {{"--dest", box.archive()}, "no message files given"},
    };
    for (const Row &row : rows) {
        const Outcome r = archive(box, row.args);
        EXPECT_EQ(r.status, 2) << row.message;
        EXPECT_TRUE(r.err.contains(row.message)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    EXPECT_FALSE(QFileInfo::exists(box.archive() + "/mailbox"));
}

// A renderbox that dies mid-request costs its message a PDF only; with the user's
// consent a crash also leaves a report, marked as the renderbox's.
TEST(ArchiveCommand, KilledRenderboxLeavesTheEmergencyCopyAndTheJobEnds)
{
    const struct {
        int signo;
        bool consent;
    } rows[] = {{SIGKILL, false}, {SIGSEGV, true}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.signo);
        Sandbox box;
        const QString in = box.dir.filePath("in");
        QDir().mkpath(in);
        for (const char *name : {"2014-quarterly-report.eml", "2021-invoice-with-pdf.eml", "2019-sommerfest-einladung.eml"})
            QFile::copy(samples() + "/" + name, in + "/" + name);
        QProcess p;
        box.setUp(p);
        if (row.consent) // as the window's consent question leaves it
            TestSupport::writeFile(box.config() + "/Tarnwick/Tarnwick.conf", "[General]\nbugsnagCanSendReports=true\n");
        p.start(TestSupport::tarnwickBinary(), {"archive", "--dest", box.archive(), in});
        // Kill one renderbox while a request is out in its folder.
        qint64 victim = 0;
        ASSERT_TRUE(waitFor(
            [&] {
                const auto boxes = renderboxesBelow(box.tmp());
                for (auto it = boxes.cbegin(); it != boxes.cend(); ++it) {
                    if (!QDir(it.value()).entryList({"*.json"}, QDir::Files).isEmpty() && catchesSegv(it.key())) {
                        victim = it.key();
                        return true;
                    }
                }
                return false;
            },
            60000));
        ASSERT_EQ(::kill(pid_t(victim), row.signo), 0);
        const Outcome r = finish(p);
        ASSERT_EQ(r.status, 0) << r.out.toStdString();
        EXPECT_TRUE(r.out.contains(", 1 renderbox failures (emergency .eml copies)")) << r.out.toStdString();
        const auto emls = outputs(box.archive(), ".eml");
        ASSERT_EQ(emls.size(), 1);
        EXPECT_EQ(outputs(box.archive(), ".pdf").size(), 2);
        // The copy is the message itself, beside where its PDF would be.
        QFile copy(emls.firstKey());
        ASSERT_TRUE(copy.open(QIODevice::ReadOnly));
        EXPECT_TRUE(copy.readAll().contains("Subject:"));

        const QDir crashes(box.dir.filePath("home/.local/state/Tarnwick/crashes"));
        const QStringList reports = crashes.entryList({"crash-*.txt"}, QDir::Files);
        ASSERT_EQ(reports.size(), row.consent ? 1 : 0);
        if (row.consent) {
            EXPECT_TRUE(TestSupport::readAll(crashes.filePath(reports.first())).contains("\nuser aRenderbox\n"));
        }
    }
}

TEST(ArchiveCommand, InterruptCancelsTheJobAndStopsEveryRenderbox)
{
    Sandbox box;
    QProcess p;
    box.setUp(p);
    p.start(TestSupport::tarnwickBinary(), {"archive", "--dest", box.archive(), samples()});
    ASSERT_TRUE(waitFor([&] { return !renderboxesBelow(box.tmp()).isEmpty(); }, 60000));
    ASSERT_EQ(::kill(pid_t(p.processId()), SIGINT), 0);
    const Outcome r = finish(p, 60000);
    EXPECT_EQ(r.status, 130);
    EXPECT_TRUE(r.out.startsWith("Cancelled: ")) << r.out.toStdString();
    EXPECT_TRUE(waitFor([&] { return renderboxesBelow(box.tmp()).isEmpty(); }, 5000));
}

// Every fixture message ends as a good PDF or an emergency copy; a second run writes
// nothing.
TEST(ArchiveCommand, FixtureMessagesAllEndUpArchived)
{
    REQUIRE_FIXTURES();
    Sandbox box;
    const Outcome first = archive(box, {"--dest", box.archive(), TestSupport::fixturesDir()});
    ASSERT_EQ(first.status, 0) << first.out.toStdString();

    QProcess paths;
    box.setUp(paths);
    paths.start(TestSupport::tarnwickBinary(), {"paths", "--json", "--dest", box.archive(), TestSupport::fixturesDir()});
    const Outcome listed = finish(paths);
    const QJsonArray messages = QJsonDocument::fromJson(listed.out.toUtf8()).array();
    ASSERT_GT(messages.size(), 50);
    int archived = 0;
    for (const QJsonValue &v : messages) {
        const QString pdf = v.toObject()["pdf"].toString();
        if (pdf.isEmpty())
            continue; // too short to be a message: skipped by design
        const QString eml = pdf.left(pdf.size() - 3) + "eml";
        const bool good = QFileInfo(pdf).size() >= 7000 || QFileInfo(eml).size() >= 20;
        EXPECT_TRUE(good) << v.toObject()["source"].toString().toStdString();
        archived += good ? 1 : 0;
    }
    EXPECT_GT(archived, 50);

    const auto before = outputs(box.archive(), "");
    const Outcome second = archive(box, {"--dest", box.archive(), TestSupport::fixturesDir()});
    ASSERT_EQ(second.status, 0);
    EXPECT_TRUE(second.out.contains(" 0 PDFs written in this run")) << second.out.toStdString();
    EXPECT_EQ(outputs(box.archive(), ""), before);
}

namespace {

QByteArray encodedWord(const QString &text) { return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?="; }

QByteArray message(const QByteArray &headers, const QString &subject, const QByteArray &body)
{
    return headers + "Subject: " + encodedWord(subject) +
           "\nFrom: Anna <anna@example.org>\nTo: Bob <bob@example.net>\nMIME-Version: 1.0\n" + body;
}

QByteArray withAttachment(const QByteArray &disposition)
{
    return "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain; charset=utf-8\n\n" +
           QByteArray("Please find the figures attached.\n").repeated(20) +
           "--b\nContent-Type: application/octet-stream\nContent-Transfer-Encoding: base64\n"
           "Content-Disposition: attachment; " +
           disposition + "\n\n" + QByteArray("figures ").repeated(10).toBase64() + "\n--b--\n";
}

QMap<QString, QByteArray> filesBelow(const QString &root)
{
    QMap<QString, QByteArray> found;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile f(path);
        found.insert(path, f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray());
    }
    return found;
}

} // namespace

// Names as Linux tools expect them: at most 255 bytes, composed, decoded attachment
// names, .eml copies that are the messages' own bytes, and different messages that
// share subject and date each archived under a path of its own.
TEST(ArchiveCommand, LinuxNamesAndOneOutputPerMessage)
{
    Sandbox box;
    const QString in = box.dir.filePath("in");
    QDir().mkpath(in);
    const QByteArray text = "Content-Type: text/plain; charset=utf-8\n\n" + QByteArray("Some words of text.\n").repeated(30);
    const QByteArray dated = "Date: Tue, 04 Mar 2014 10:00:00 +0000\n";
    const QMap<QString, QByteArray> inputs = {
        {"cjk.eml", message(dated + "Message-ID: <cjk@x>\n", QString(100, QChar(0x6F22)), text)},
        {"emoji.eml", message(dated + "Message-ID: <emoji@x>\n", QString::fromUtf8("\xf0\x9f\x98\x80").repeated(75), text)},
        {"german.eml", message(dated + "Message-ID: <de@x>\n", QString::fromUtf8("Gru\xcc\x88\xc3\x9f""e aus Mu\xcc\x88nchen"), text)},
        {"utf8-name.eml", message(dated + "Message-ID: <u@x>\n", "Figures UTF-8",
                                  withAttachment("filename*=utf-8''%C3%9Cbersicht%20Q4.pdf"))},
        {"latin1-name.eml", message(dated + "Message-ID: <l@x>\n", "Figures Latin-1",
                                    withAttachment("filename*=iso-8859-1''%DCbersicht%20Q3.txt"))},
        {"notice1.eml", message(dated + "Message-ID: <n1@x>\n", "Automated notice", text)},
        {"notice2.eml", message(dated + "Message-ID: <n2@x>\n", "Automated notice", text + "Second.\n")},
        {"notice3.eml", message(dated, "Automated notice", text + "Third, without a Message-ID.\n")},
    };
    for (auto it = inputs.cbegin(); it != inputs.cend(); ++it) {
        QFile f(in + "/" + it.key());
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(it.value());
    }
    const QStringList args{"--dest", box.archive(), "--eml-format", "%Y/%m/__subject__.eml", in};
    const Outcome first = archive(box, args);
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.startsWith("Done: 8 of 8 messages handed out, 8 PDFs written in this run, 0 renderbox"))
        << first.out.toStdString();

    const auto files = filesBelow(box.archive());
    QList<QByteArray> emls;
    QStringList names;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString rel = QDir(box.archive()).relativeFilePath(it.key());
        EXPECT_EQ(rel, rel.normalized(QString::NormalizationForm_C)) << rel.toStdString();
        for (const QString &level : rel.split('/'))
            EXPECT_LE(level.toUtf8().size(), 255) << rel.toStdString();
        EXPECT_FALSE(rel.contains("/.tarnwick-")) << "print temporaries are gone: " << rel.toStdString();
        if (rel.endsWith(".pdf") && !rel.contains("(attachments)")) {
            EXPECT_GE(it.value().size(), 7000) << rel.toStdString();
        }
        if (rel.endsWith(".eml"))
            emls.append(it.value());
        names.append(QFileInfo(rel).fileName());
    }
    // Every .eml copy is one input, byte for byte, and every input has its copy.
    std::sort(emls.begin(), emls.end());
    QList<QByteArray> expected = inputs.values();
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(emls, expected);
    EXPECT_TRUE(names.contains(QString::fromUtf8("\xc3\x9c""bersicht Q4.pdf"))) << names.join('\n').toStdString();
    EXPECT_TRUE(names.contains(QString::fromUtf8("\xc3\x9c""bersicht Q3.txt"))) << names.join('\n').toStdString();
    EXPECT_TRUE(names.contains(QString::fromUtf8("2014-03-04 10.00.00Z  Gr\xc3\xbc\xc3\x9f""e aus M\xc3\xbcnchen.pdf")));
    for (const char *name : {"2014-03-04 10.00.00Z  Automated notice.pdf", "2014-03-04 10.00.00Z  Automated notice (2).pdf",
                             "2014-03-04 10.00.00Z  Automated notice (3).pdf", "Automated notice (3).eml"})
        EXPECT_TRUE(names.contains(QString::fromUtf8(name))) << name;

    const Outcome second = archive(box, args);
    ASSERT_EQ(second.status, 0);
    EXPECT_TRUE(second.out.startsWith("Done: 8 of 8 messages handed out, 0 PDFs written in this run"))
        << second.out.toStdString();
    EXPECT_EQ(filesBelow(box.archive()), files);
}

namespace {

QString xdgTags(const QString &path)
{
    QProcess p;
    p.start("getfattr", {"--only-values", "-n", "user.xdg.tags", path});
    p.waitForFinished();
    return QString::fromUtf8(p.readAllStandardOutput());
}

} // namespace

// A Thunderbird folder tree, a Maildir and a spool, archived as a user would point
// tarnwick at them: the messages under the folders the clients show, the clients' tags on
// the PDFs, and nothing written by a second run.
TEST(ArchiveCommand, ThunderbirdAndMaildirStores)
{
    Sandbox box;
    const QString root = box.dir.filePath("stores");
    const QByteArray text = "Content-Type: text/plain; charset=utf-8\n\n" + QByteArray("Words of the body.\n").repeated(30);
    const auto mail = [&](int n, const QByteArray &extra = {}) {
        return message(QStringLiteral("Date: Tue, 14 Feb 2023 09:%1:00 +0000\nMessage-ID: <%1@x>\n").arg(n, 2, 10, QChar('0')).toUtf8() +
                           extra,
                       QStringLiteral("Store note %1").arg(n), text);
    };
    const auto write = [](const QString &path, const QByteArray &bytes) {
        QDir().mkpath(QFileInfo(path).path());
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    const QByteArray separator = "From - Tue Feb 14 09:30:00 2023\n";
    write(root + "/Local Folders/Inbox", separator + mail(1, "X-Mozilla-Keys: $label1 projectx\n") + "\n" + separator + mail(2) + "\n");
    write(root + "/Local Folders/Inbox.msf", "// <!-- <mdb:mork:z v=\"1.4\"/> -->\n");
    write(root + "/Local Folders/Archives.sbd/2023", separator + mail(3) + "\n");
    write(root + "/Maildir/cur/1.M1.h:2,FS", mail(4));
    write(root + "/Maildir/tmp/2.M2.h", mail(5));
    write(root + "/Maildir/.Lists.foo/new/3.M3.h", mail(6));
    QDir().mkpath(root + "/Maildir/new");
    QDir().mkpath(root + "/Maildir/.Lists.foo/cur");

    QProcess paths;
    box.setUp(paths);
    paths.start(TestSupport::tarnwickBinary(), {"paths", "--json", "--dest", box.archive(), root});
    const Outcome listed = finish(paths);
    ASSERT_EQ(listed.status, 0) << listed.err.toStdString();
    QMap<QString, QString> folderOf;
    for (const QJsonValue &v : QJsonDocument::fromJson(listed.out.toUtf8()).array())
        folderOf.insert(v.toObject()["subject"].toString(), v.toObject()["mailFolder"].toString());
    const QMap<QString, QString> expected{{"Store note 1", "stores/Local Folders/Inbox"},
                                          {"Store note 2", "stores/Local Folders/Inbox"},
                                          {"Store note 3", "stores/Local Folders/Archives/2023"},
                                          {"Store note 4", "stores/Maildir"},
                                          {"Store note 6", "stores/Maildir/Lists/foo"}};
    EXPECT_EQ(folderOf, expected);

    const Outcome first = archive(box, {"--dest", box.archive(), root});
    ASSERT_EQ(first.status, 0) << first.err.toStdString();
    EXPECT_TRUE(first.out.startsWith("Done: 5 of 5 messages handed out, 5 PDFs written in this run")) << first.out.toStdString();
    const auto files = filesBelow(box.archive());
    QMap<QString, QString> tags;
    for (auto it = files.cbegin(); it != files.cend(); ++it)
        if (it.key().endsWith(".pdf"))
            tags.insert(QFileInfo(it.key()).fileName().section("  ", 1), xdgTags(it.key()));
    EXPECT_EQ(tags.value("Store note 1.pdf"), "Important,projectx");
    EXPECT_EQ(tags.value("Store note 4.pdf"), "Flagged");
    EXPECT_EQ(tags.value("Store note 2.pdf"), "");
    EXPECT_TRUE(QFileInfo::exists(box.archive() + "/stores/Local Folders/Archives/2023/2023/02"));

    const Outcome second = archive(box, {"--dest", box.archive(), root});
    ASSERT_EQ(second.status, 0);
    EXPECT_TRUE(second.out.startsWith("Done: 5 of 5 messages handed out, 0 PDFs written in this run"))
        << second.out.toStdString();
    EXPECT_EQ(filesBelow(box.archive()), files);
}

// The sample mailbox served by Dovecot (the .eml files in INBOX, the mbox's messages in a
// folder of their own) is archived to the same files as the folder itself, mail folder
// levels aside: the IMAP road ends where the local one does.
TEST(ArchiveCommand, AnIMAPAccountHoldingTheSampleMailboxGivesTheSameFiles)
{
    REQUIRE_SECRET_SERVICE(keyring);
    QString whyNot, failure;
    const auto server = DovecotServer::startNew(&whyNot, &failure);
    if (!failure.isEmpty())
        FAIL() << failure.toStdString();
    if (!server)
        GTEST_SKIP() << whyNot.toStdString();
    const QString user = QStringLiteral("sam@example.org"), password = QStringLiteral("sample-pass");
    server->addUser(user, password);
    server->createMailbox(user, QStringLiteral("archive-2023"));
    for (const QFileInfo &file : QDir(samples()).entryInfoList({"*.eml"}, QDir::Files)) {
        QFile f(file.filePath());
        ASSERT_TRUE(f.open(QIODevice::ReadOnly));
        server->writeMessage(user, QStringLiteral("INBOX"), f.readAll());
    }
    QFile mbox(samples() + "/archive-2023.mbox");
    ASSERT_TRUE(mbox.open(QIODevice::ReadOnly));
    QByteArray current;
    const auto flush = [&] {
        if (!current.isEmpty())
            server->writeMessage(user, QStringLiteral("archive-2023"), current);
        current.clear();
    };
    for (const QByteArray &line : mbox.readAll().split('\n')) {
        if (line.startsWith("From ")) {
            flush();
            continue;
        }
        current += (line.startsWith(">From ") ? line.mid(1) : line) + '\n';
    }
    flush();

    Sandbox local;
    const Outcome folderRun = archive(local, {"--dest", local.archive(), samples()});
    ASSERT_EQ(folderRun.status, 0) << folderRun.err.toStdString();

    Sandbox remote;
    QProcessEnvironment env = keyring->environmentFor(remote.config());
    env.insert("TZ", "UTC");
    env.insert("TMPDIR", remote.tmp());
    const auto run = [&](const QStringList &args, const QByteArray &input = QByteArray()) {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TestSupport::tarnwickBinary(), args);
        p.write(input);
        p.closeWriteChannel();
        return finish(p);
    };
    QDir().mkpath(remote.archive());
    ASSERT_EQ(run({"config", "set-destination", remote.archive()}).status, 0);
    const Outcome added = run({"sources", "add-account", user, "--server",
                               QStringLiteral("127.0.0.1:%1").arg(server->tlsPort()), "--password-stdin"},
                              password.toUtf8() + "\n");
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    const Outcome imapRun = run({"archive", "--source", user});
    ASSERT_EQ(imapRun.status, 0) << imapRun.out.toStdString() << imapRun.err.toStdString();
    EXPECT_TRUE(imapRun.out.contains("11 of 11 messages handed out, 11 PDFs written")) << imapRun.out.toStdString();

    // Each output by its path below the mail folder: year, month, file (an attachment
    // also by its attachments folder); attachments with their bytes, which are the same
    // either way but for the line ends of text parts (IMAP serves CRLF, the sample files
    // have LF).
    const auto tail = [](const QString &root) {
        QMap<QString, QByteArray> found;
        QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QFileInfo info(it.next());
            const bool attachment = info.path().endsWith("(attachments)");
            const QString key = info.filePath().section('/', attachment ? -4 : -3);
            QFile f(info.filePath());
            f.open(QIODevice::ReadOnly);
            found.insert(key, attachment ? f.readAll().replace("\r\n", "\n") : QByteArray());
        }
        return found;
    };
    const auto fromFolder = tail(local.archive());
    EXPECT_EQ(fromFolder.size(), tail(remote.archive()).size());
    EXPECT_EQ(fromFolder, tail(remote.archive()));
}
