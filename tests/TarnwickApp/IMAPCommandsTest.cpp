// The IMAP commands as a user runs them: the built executable with a configuration
// folder of its own, the password in a real keyring on a private bus, a real Dovecot.
#include "DovecotServer.h"
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>

namespace {

const QString kUser = QStringLiteral("bert@example.org");
const QString kPassword = QStringLiteral("tr0ub4dor&3");

struct CliRun {
    int status = -1;
    QString out, err;
};

QByteArray message(const QString &subject, int i)
{
    return QStringLiteral("From: Carla <carla@example.org>\r\nTo: Bert <bert@example.org>\r\nSubject: %1 %2\r\n"
                          "Date: Tue, 1 Dec 2026 08:00:%3 +0100\r\nMessage-ID: <%2.%1@cli.test>\r\n\r\nText %2\r\n")
        .arg(subject)
        .arg(i)
        .arg(i % 60, 2, 10, QLatin1Char('0'))
        .toUtf8();
}

QSet<QString> filesBelow(const QString &dir)
{
    QSet<QString> files;
    QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.insert(it.next());
    return files;
}

class IMAPCommands : public ::testing::Test {
protected:
    QTemporaryDir config, dest;
    QProcessEnvironment env;
    std::unique_ptr<DovecotServer> server;

    void SetUp() override
    {
        REQUIRE_SECRET_SERVICE(keyring);
        QString whyNot, failure;
        server = DovecotServer::startNew(&whyNot, &failure);
        if (!failure.isEmpty())
            FAIL() << failure.toStdString();
        if (!server)
            GTEST_SKIP() << whyNot.toStdString();
        server->addUser(kUser, kPassword);
        for (const char *box : {"Archiv", "Spam", "Listen.Qt", "Entw&APw-rfe"})
            server->createMailbox(kUser, QString::fromLatin1(box));
        for (int i = 1; i <= 3; ++i) {
            server->writeMessage(kUser, "INBOX", message("Inbox", i));
            server->writeMessage(kUser, "Listen.Qt", message("Qt list", i));
            server->writeMessage(kUser, "Spam", message("Spam", i));
        }
        server->writeMessage(kUser, "Entw&APw-rfe", message("Draft", 1));
        env = keyring->environmentFor(config.path());
        env.insert("TZ", "UTC");
        ASSERT_EQ(run({"config", "set-destination", dest.path()}).status, 0);
        const CliRun added = run({"sources", "add-account", kUser, "--server",
                                  QStringLiteral("127.0.0.1:%1:tls").arg(server->tlsPort()), "--password-stdin"},
                                 kPassword.toUtf8() + "\n");
        ASSERT_EQ(added.status, 0) << added.err.toStdString();
        ASSERT_EQ(run({"sources", "set-format", kUser, "pdf", "none"}).status, 0);
        ASSERT_EQ(run({"sources", "set-format", kUser, "eml", "%Y/__subject__.eml"}).status, 0);
    }

    CliRun run(const QStringList &args, const QByteArray &input = QByteArray()) const
    {
        QProcess p;
        p.setProcessEnvironment(env);
        p.start(TestSupport::tarnwickBinary(), args);
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(300000);
        return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, QString::fromUtf8(p.readAllStandardOutput()),
                QString::fromUtf8(p.readAllStandardError())};
    }
    QJsonArray json(const QStringList &args) const
    {
        const CliRun r = run(args);
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return QJsonDocument::fromJson(r.out.toUtf8()).array();
    }
    QJsonObject source() const { return json({"sources", "list", "--json"})[0].toObject(); }
};

TEST_F(IMAPCommands, FoldersAreListedSwitchedAndSkipped)
{
    QMap<QString, bool> listed;
    QMap<QString, QString> names;
    for (const QJsonValue &v : json({"sources", "folders", kUser, "--json"})) {
        listed[v["path"].toString()] = v["on"].toBool();
        names[v["path"].toString()] = v["mailFolder"].toString();
    }
    // "Listen" is only the parent of "Listen.Qt" (\Noselect): not a folder to switch.
    const QMap<QString, bool> all{{"INBOX", true}, {"Archiv", true}, {"Spam", true}, {"Listen.Qt", true},
                                  {"Entw&APw-rfe", true}};
    EXPECT_EQ(listed, all);
    EXPECT_EQ(names["Entw&APw-rfe"], QStringLiteral("Entwürfe"));
    EXPECT_EQ(names["Listen.Qt"], QStringLiteral("Listen/Qt"));

    const CliRun off = run({"sources", "folders", kUser, "--off", "Spam", "Archiv", "--on", "Archiv"});
    ASSERT_EQ(off.status, 0) << off.err.toStdString();
    EXPECT_EQ(source()["switchedOff"].toArray(), QJsonArray{"Spam"});

    // `paths --source` lists the paths from the headers alone; the run writes exactly
    // those files, and a second run downloads nothing.
    QSet<QString> expected;
    for (const QJsonValue &v : json({"paths", "--source", kUser, "--json"}))
        expected.insert(v["eml"].toString());
    EXPECT_EQ(expected.size(), 7);
    CliRun r = run({"archive", "--source", kUser});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dest.path()), expected);
    for (const QString &path : expected)
        EXPECT_FALSE(path.contains("Spam")) << path.toStdString();
    EXPECT_TRUE(expected.contains(dest.filePath(kUser + "/Entwürfe/2026/Draft 1.eml")));
    EXPECT_TRUE(expected.contains(dest.filePath(kUser + "/Listen/Qt/2026/Qt list 2.eml")));
    EXPECT_FALSE(source()["lastRun"].isNull());
    const int bodies = server->countLogLines("BODY.PEEK[]");
    r = run({"archive", "--all"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(server->countLogLines("BODY.PEEK[]"), bodies);
    EXPECT_TRUE(r.out.contains("Done: 7 of 7 messages handed out, 0 PDFs written")) << r.out.toStdString();
}

TEST_F(IMAPCommands, AllSourcesRunTwoAtATime)
{
    // Two folder sources beside the account: three jobs, two slots.
    QTemporaryDir folders;
    const QStringList samples{"2014-quarterly-report.eml", "2019-sommerfest-einladung.eml"};
    for (int i = 0; i < 2; ++i) {
        const QString folder = folders.filePath(QStringLiteral("mail%1").arg(i));
        QDir().mkpath(folder);
        ASSERT_TRUE(QFile::copy(QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/" + samples[i], folder + "/m.eml"));
        ASSERT_EQ(run({"sources", "add-folder", folder}).status, 0);
    }
    ASSERT_EQ(run({"config", "set", "maxNumRenderJobs", "2"}).status, 0);
    const CliRun r = run({"archive", "--all"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    for (const QString &key : {kUser, folders.filePath("mail0"), folders.filePath("mail1")})
        EXPECT_TRUE(r.out.contains(key + ": Done: ")) << r.out.toStdString();
    int pdfs = 0, emls = 0;
    for (const QString &file : filesBelow(dest.path())) {
        pdfs += file.endsWith(".pdf");
        emls += file.endsWith(".eml");
    }
    EXPECT_EQ(pdfs, 2);
    EXPECT_EQ(emls, 10);
}

TEST_F(IMAPCommands, ARefusedLoginFailsTheRunWithTheServersWords)
{
    const CliRun added = run({"sources", "add-account", kUser, "--server",
                              QStringLiteral("127.0.0.1:%1:starttls").arg(server->plainPort()), "--password-stdin"},
                             "not the password\n");
    ASSERT_EQ(added.status, 0) << added.err.toStdString();
    const CliRun r = run({"archive", "--source", kUser});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.contains("Authentication failed")) << r.err.toStdString();
    EXPECT_TRUE(r.out.contains("Failed")) << r.out.toStdString();
    EXPECT_FALSE((r.out + r.err).contains("not the password"));
    EXPECT_TRUE(source()["lastRun"].isNull()) << "a failed run does not count as finished";
    EXPECT_TRUE(filesBelow(dest.path()).isEmpty());
}

TEST_F(IMAPCommands, ANewCertificateIsRefusedUntilTrusted)
{
    ASSERT_EQ(run({"sources", "folders", kUser}).status, 0); // pins the first certificate
    QString failure;
    ASSERT_TRUE(server->renewCertificate(&failure)) << failure.toStdString();
    CliRun r = run({"archive", "--source", kUser});
    EXPECT_EQ(r.status, 3);
    EXPECT_TRUE(r.err.contains("has changed")) << r.err.toStdString();
    EXPECT_TRUE(r.err.contains("sources trust")) << r.err.toStdString();
    EXPECT_TRUE(filesBelow(dest.path()).isEmpty());

    r = run({"sources", "trust", kUser});
    EXPECT_EQ(r.status, 2) << "not without --yes or a terminal";
    r = run({"sources", "trust", kUser, "--yes"});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QStringList fingerprints = r.out.split("SHA-256 ").mid(1);
    ASSERT_EQ(fingerprints.size(), 3) << r.out.toStdString(); // seen, stored, now trusted
    EXPECT_NE(fingerprints[0].left(95), fingerprints[1].left(95));
    EXPECT_EQ(fingerprints[0].left(95), fingerprints[2].left(95));
    r = run({"archive", "--source", kUser});
    EXPECT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(filesBelow(dest.path()).size(), 10);
}

} // namespace
