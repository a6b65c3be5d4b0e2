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
                         QString::fromUtf8("Quarterly report – Grüße aus München").normalized(QString::NormalizationForm_D);
    EXPECT_EQ(m["pdf"].toString(), stem + ".pdf");
    EXPECT_TRUE(m["eml"].isNull());
    const QJsonArray attachments = m["attachments"].toArray();
    ASSERT_EQ(attachments.size(), 2);
    EXPECT_EQ(attachments[0].toString(), stem + " (attachments)/figures.csv");
    EXPECT_EQ(attachments[1].toString(),
              stem + " (attachments)/" + QString::fromUtf8("Bericht über Q4.txt").normalized(QString::NormalizationForm_D));
    EXPECT_TRUE(QDir(dest.path()).isEmpty()) << "paths must not create folders";
}

TEST(CommandLine, PathsOverEveryFixtureMessageStayBelowTheDestination)
{
    REQUIRE_FIXTURES();
    QStringList files;
    QDirIterator it(TestSupport::fixturesDir(), {"*.eml", "*.msg"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(it.next());
    ASSERT_GT(files.size(), 50);
    QTemporaryDir dest, config;
    const CliRun r = tarnwick(QStringList{"paths", "--json", "--dest", dest.path(), "--eml-format",
                                       "__emailFrom__/__subject__.eml"} + files,
                           config.path());
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    const QJsonArray all = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(all.size(), files.size());
    for (const QJsonValue &v : all) {
        const QJsonObject m = v.toObject();
        const QString pdf = m["pdf"].toString();
        EXPECT_TRUE(pdf.startsWith(dest.path() + "/") && pdf.endsWith(".pdf")) << m["source"].toString().toStdString();
        for (const QString key : {"pdf", "eml"})
            EXPECT_EQ(QDir::cleanPath(m[key].toString()), m[key].toString()) << m["source"].toString().toStdString();
        for (const QJsonValue &a : m["attachments"].toArray())
            EXPECT_TRUE(QDir::cleanPath(a.toString()).startsWith(dest.path() + "/")) << a.toString().toStdString();
    }
}

} // namespace
