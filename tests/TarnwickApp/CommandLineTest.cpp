#include "TestSupport.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

namespace {

struct CliRun {
    int status = -1;
    QByteArray out, err;
};

CliRun tarnwick(const QStringList &args, const QString &configHome = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("TZ", "UTC");
    if (!configHome.isEmpty())
        env.insert("XDG_CONFIG_HOME", configHome);
    p.setProcessEnvironment(env);
    p.start(TestSupport::tarnwickBinary(), args);
    p.waitForFinished(120000);
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, p.readAllStandardOutput(),
            p.readAllStandardError()};
}

TEST(CommandLine, PreviewFormatPrintsOnlyThePreview)
{
    struct Row {
        const char *format, *preview;
    };
    const Row rows[] = {
        {"%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf", "2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf"},
        {"-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf", "2014/2014-01-18 04.16.20  Typical Email Subject.pdf"},
        {"%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__",
         "2014/01/2014-01-18 08.16.20Z  Typical Email Subject (attachments)/My Great Word Doc.docx"},
        {"%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml", "2014/01/2014-01-18 08.16.20  Typical Email Subject.eml"},
        {"localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.pdf",
         "2014-01-18_081620 Smith-Doe_Typical Email Subject.pdf"},
        {"localTZ__%Y-%m-%d_%H%M%S___filename__", "2014-01-18_081620_My Great Word Doc.docx"},
        {"", ""},
        {"%Y/TZ__%m", "01"},
        {"5.5TZ__%H:%M", "13:46"},
        {"%%%B %D", "%January 01/18/14"},
    };
    for (const Row &row : rows) {
        const CliRun r = tarnwick({"preview-format", QString::fromUtf8(row.format)});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(QString::fromUtf8(r.out), QString::fromUtf8(row.preview) + "\n") << row.format;
    }
}

TEST(CommandLine, BadUsageFailsWithAMessage)
{
    const QStringList cases[] = {{"no-such-command"}, {"paths"}, {"paths", "--dest"}, {"paths", "--bogus", "x.eml"},
                                 {"preview-format"}};
    for (const QStringList &args : cases) {
        const CliRun r = tarnwick(args);
        EXPECT_NE(r.status, 0) << args.join(' ').toStdString();
        EXPECT_FALSE(r.err.isEmpty()) << args.join(' ').toStdString();
    }
    EXPECT_EQ(tarnwick({"--version"}).status, 0);
    EXPECT_EQ(tarnwick({"paths", "--help"}).status, 0);
}

TEST(CommandLine, PathsOfTheSampleMessageWriteNothing)
{
    QTemporaryDir dest, config;
    const QString sample = QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/2014-quarterly-report.eml";
    const CliRun r = tarnwick({"paths", "--json", "--dest", dest.path(), sample}, config.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(all.size(), 1) << r.out.toStdString();
    const QJsonObject m = all[0].toObject();
    EXPECT_EQ(m["source"].toString(), sample);
    EXPECT_EQ(m["subject"].toString(), QString::fromUtf8("Quarterly report – Grüße aus München"));
    EXPECT_EQ(m["date"].toString(), "2014-01-18T08:16:20Z");
    EXPECT_EQ(m["mailFolder"].toString(), "EML"); // a file directly in the base folder of a dropped-files job
    const QString stem = dest.path() + "/mailbox/EML/2014/01/2014-01-18 08.16.20Z  " +
                         QString::fromUtf8("Quarterly report – Grüße aus München").normalized(QString::NormalizationForm_C);
    EXPECT_EQ(m["pdf"].toString(), stem + ".pdf");
    EXPECT_TRUE(m["eml"].isNull());
    const QJsonArray attachments = m["attachments"].toArray();
    ASSERT_EQ(attachments.size(), 2);
    EXPECT_EQ(attachments[0].toString(), stem + " (attachments)/figures.csv");
    EXPECT_EQ(attachments[1].toString(),
              stem + " (attachments)/" + QString::fromUtf8("Bericht über Q4.txt").normalized(QString::NormalizationForm_C));
    EXPECT_TRUE(QDir(dest.path()).isEmpty()) << "paths must not create folders";
}

TEST(CommandLine, PathsOverEveryFixtureMessageStayBelowTheDestination)
{
    REQUIRE_FIXTURES();
    int files = 0;
    QDirIterator it(TestSupport::fixturesDir(), {"*.eml", "*.emlx"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        ++files;
    }
    QTemporaryDir dest, config;
    const CliRun r = tarnwick({"paths", "--json", "--dest", dest.path(), "--eml-format", "__emailFrom__/__subject__.eml",
                               TestSupport::fixturesDir()},
                              config.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out).array();
    ASSERT_GE(all.size(), files);
    int made = 0;
    for (const QJsonValue &v : all) {
        const QJsonObject m = v.toObject();
        if (m.contains("error")) {
            // Skipped exactly as a job skips them: messages of 64 bytes or fewer.
            EXPECT_LE(QFileInfo(m["source"].toString()).size(), 64) << m["source"].toString().toStdString();
            continue;
        }
        ++made;
        const QString pdf = m["pdf"].toString();
        EXPECT_TRUE(pdf.startsWith(dest.path() + "/") && pdf.endsWith(".pdf")) << m["source"].toString().toStdString();
        for (const QString key : {"pdf", "eml"})
            EXPECT_EQ(QDir::cleanPath(m[key].toString()), m[key].toString()) << m["source"].toString().toStdString();
        for (const QJsonValue &a : m["attachments"].toArray())
            EXPECT_TRUE(QDir::cleanPath(a.toString()).startsWith(dest.path() + "/")) << a.toString().toStdString();
    }
    EXPECT_GE(made, files - 2);
}

TEST(CommandLine, PathsScanFoldersAndMboxFilesLikeAJob)
{
    QTemporaryDir in, dest, config;
    const QByteArray sample = [] {
        QFile f(QString(TARNWICK_SOURCE_DIR) + "/samples/mailbox/2014-quarterly-report.eml");
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    ASSERT_FALSE(sample.isEmpty());
    const auto write = [&](const QString &rel, const QByteArray &bytes) {
        QDir().mkpath(QFileInfo(in.filePath(rel)).path());
        QFile f(in.filePath(rel));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write("Work/a.eml", sample);
    write("Work/Old/box.mbox", "From x Sat Jan 18 08:16:20 2014\n" + sample + "\nFrom y Sat Jan 18 08:16:20 2014\n" + sample);
    const CliRun r = tarnwick({"paths", "--json", "--dest", dest.path(), in.filePath("Work")}, config.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(all.size(), 3);
    QStringList folders;
    int pieces = 0;
    for (const QJsonValue &v : all) {
        const QJsonObject m = v.toObject();
        folders << m["mailFolder"].toString();
        pieces += QFileInfo(m["source"].toString()).fileName().startsWith("m_") ? 1 : 0;
        EXPECT_TRUE(m["pdf"].toString().startsWith(dest.path() + "/Work/")) << m["pdf"].toString().toStdString();
    }
    folders.sort();
    // A file lying directly in the folder of a dropped-files job files under "EML".
    EXPECT_EQ(folders, (QStringList{"EML", "Work/Old/box.mbox", "Work/Old/box.mbox"}));
    EXPECT_EQ(pieces, 2);
    EXPECT_TRUE(QDir(dest.path()).isEmpty());
}

} // namespace
