#include "openmeta/MetaTestSupport.h"
#include "openmeta/PdfInfo.h"

#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <unistd.h>

using namespace MetaTestSupport;

namespace {

struct MergeRow {
    const char *name;
    QVariantList one;
    QVariantList two;
    QStringList expected;
};

class PdfInfoMerge : public ::testing::TestWithParam<MergeRow> {};

TEST_P(PdfInfoMerge, CombineArraysSkipDuplicatesLowercase)
{
    EXPECT_EQ(PdfInfo::combineArraysSkipDuplicatesLowercase(GetParam().one, GetParam().two), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    PdfInfo, PdfInfoMerge,
    ::testing::Values(
        MergeRow{"BothEmpty", {}, {}, {}},
        MergeRow{"LowerCasedOnce", {"Anna@Example.com", "x@y.z"}, {"anna@example.com", "B@c.d"},
                 {"anna@example.com", "x@y.z", "b@c.d"}},
        MergeRow{"NonStringsSkipped", {42, "a"}, {QVariant(), "A"}, {"a"}},
        MergeRow{"OneSideEmpty", {}, {"Q"}, {"q"}}),
    [](const auto &info) { return std::string(info.param.name); });

const QByteArray ExistingInfo =
    "/Producer (Hand Press) /Keywords (Old, Shared@Example.org) /X-Archive (keep me) /Title (Old title)";

PdfInfoFields sampleFields()
{
    PdfInfoFields f;
    f.keywords = {"shared@example.org", "Anna@Example.com"};
    f.author = QStringLiteral("Anna@Example.com");
    f.title = QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln");
    f.subject = f.title;
    f.creator = PdfInfo::creatorString();
    f.creationDate = QDateTime(QDate(2023, 5, 6), QTime(7, 8, 9), QTimeZone::utc());
    f.modDate = QDateTime::currentDateTimeUtc();
    return f;
}

// What pdfinfo shows of a rewritten PDF, one row per entry.
struct EntryRow {
    const char *entry;
    QString expected; // null: the entry must be absent
};

class PdfInfoRewrite : public ::testing::TestWithParam<EntryRow> {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new QTemporaryDir;
        s_path = s_dir->filePath(QStringLiteral("message.pdf"));
        ASSERT_TRUE(writeFile(s_path, onePagePdf(ExistingInfo)));
        ASSERT_TRUE(PdfInfo::rewrite(s_path, sampleFields()));
        s_info = pdfinfo(s_path);
    }
    static void TearDownTestSuite()
    {
        delete s_dir;
        s_dir = nullptr;
    }
    static QTemporaryDir *s_dir;
    static QString s_path;
    static QMap<QString, QString> s_info;
};
QTemporaryDir *PdfInfoRewrite::s_dir = nullptr;
QString PdfInfoRewrite::s_path;
QMap<QString, QString> PdfInfoRewrite::s_info;

TEST_P(PdfInfoRewrite, PdfinfoShowsEntry)
{
    const EntryRow &row = GetParam();
    if (row.expected.isNull())
        EXPECT_FALSE(s_info.contains(QString::fromLatin1(row.entry)));
    else
        EXPECT_EQ(s_info.value(QString::fromLatin1(row.entry)), row.expected) << row.entry;
}

INSTANTIATE_TEST_SUITE_P(
    PdfInfo, PdfInfoRewrite,
    ::testing::Values(
        EntryRow{"Title", QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln")},
        EntryRow{"Subject", QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln")},
        EntryRow{"Author", QStringLiteral("Anna@Example.com")},
        EntryRow{"Keywords", QStringLiteral("old, shared@example.org, anna@example.com")},
        EntryRow{"Creator", QStringLiteral("org.tarnwick.Tarnwick  version:" TARNWICK_VERSION)},
        EntryRow{"Producer", QStringLiteral("Hand Press")},
        EntryRow{"CreationDate", QStringLiteral("2023-05-06T07:08:09Z")},
        EntryRow{"Pages", QStringLiteral("1")}),
    [](const auto &info) { return std::string(info.param.entry); });

TEST_F(PdfInfoRewrite, QpdfCheckPasses)
{
    const ToolRun run = runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), s_path});
    EXPECT_EQ(run.exitCode, 0) << run.out.toStdString() << run.err.toStdString();
}

TEST_F(PdfInfoRewrite, OtherEntriesAndKeywordArray)
{
    // The QDF form is plain text, so the Info dictionary can be read as written.
    const ToolRun run = runTool(QStringLiteral("qpdf"),
                                {"--qdf", "--object-streams=disable", s_path, QStringLiteral("-")});
    EXPECT_TRUE(run.out.contains(QStringLiteral("/X-Archive (keep me)")));
    EXPECT_TRUE(run.out.contains(QStringLiteral("/AAPL:Keywords [")));
    EXPECT_EQ(PdfInfo::presentKeywords(s_path), (QStringList{"old", "shared@example.org", "anna@example.com"}));
}

TEST_F(PdfInfoRewrite, ModDateIsNow)
{
    const QDateTime mod = QDateTime::fromString(s_info.value(QStringLiteral("ModDate")), Qt::ISODate);
    ASSERT_TRUE(mod.isValid());
    EXPECT_LT(qAbs(mod.secsTo(QDateTime::currentDateTimeUtc())), 120);
}

TEST(PdfInfo, EmptyFieldsLeftOutAndPdfWithoutInfoGetsOne)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("bare.pdf"));
    QByteArray pdf = onePagePdf("");
    pdf.replace(" /Info 6 0 R", "");
    ASSERT_TRUE(writeFile(path, pdf));
    PdfInfoFields f;
    f.keywords = {"B@x.org"};
    ASSERT_TRUE(PdfInfo::rewrite(path, f));
    const QMap<QString, QString> info = pdfinfo(path);
    EXPECT_EQ(info.value(QStringLiteral("Keywords")), QStringLiteral("b@x.org"));
    for (const char *absent : {"Title", "Subject", "Author", "CreationDate", "ModDate"})
        EXPECT_FALSE(info.contains(QString::fromLatin1(absent))) << absent;
    EXPECT_EQ(runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), path}).exitCode, 0);
}

TEST(PdfInfo, NotAPdfIsLeftUnchanged)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("broken.pdf"));
    ASSERT_TRUE(writeFile(path, "this is no PDF"));
    EXPECT_FALSE(PdfInfo::rewrite(path, sampleFields()));
    EXPECT_EQ(readFile(path), QByteArray("this is no PDF"));
    EXPECT_FALSE(PdfInfo::rewrite(dir.filePath(QStringLiteral("missing.pdf")), sampleFields()));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("missing.pdf"))));
}

TEST(PdfInfo, UnwritableFolderFallsBackAndLogs)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind root";
    QTemporaryDir dir;
    const QString sub = dir.filePath(QStringLiteral("locked"));
    ASSERT_TRUE(QDir().mkdir(sub));
    const QString path = sub + QStringLiteral("/m.pdf");
    ASSERT_TRUE(writeFile(path, onePagePdf("/Producer (P)")));
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::ExeOwner);

    // The folder refuses the temporary file and the delete, but the PDF stays writable.
    Log::captureStart();
    EXPECT_TRUE(PdfInfo::rewrite(path, sampleFields()));
    QStringList lines = Log::captureTake();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].contains(QStringLiteral("Could not delete the file: ") + path));
    EXPECT_EQ(pdfinfo(path).value(QStringLiteral("Author")), QStringLiteral("Anna@Example.com"));

    // Now the PDF itself is read-only too: both attempts fail and the second line names
    // the dictionary and the path.
    QFile::setPermissions(path, QFileDevice::ReadOwner);
    Log::captureStart();
    EXPECT_FALSE(PdfInfo::rewrite(path, sampleFields()));
    lines = Log::captureTake();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("adding keywords did not work, even after trying to delete the "
                                                   "file first: ")));
    EXPECT_TRUE(lines[1].contains(QStringLiteral("/Author")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(",  into ") + path));
    QFile::setPermissions(sub, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace
