#include "localmail/EmlxConverter.h"

#include "TestSupport.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

using TestSupport::writeFile;
using TestSupport::readAll;



QByteArray emlx(const QByteArray &message, qsizetype declared = -1)
{
    return QByteArray::number(declared < 0 ? message.size() : declared) + "      \n" + message +
           "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict/></plist>\n";
}

TEST(EmlxConverter, MessageBytesByTheCountLine)
{
    QTemporaryDir dir;
    const QByteArray message = "Subject: hi\nFrom: a@b.c\n\nbody text of the message\n";
    struct Row {
        const char *name;
        QByteArray file;
        std::optional<QByteArray> expected;
        const char *log;
    };
    const Row rows[] = {
        {"ok.emlx", emlx(message), message, nullptr},
        {"short.emlx", QByteArray(24, 'x'), std::nullopt, nullptr},
        {"truncated.emlx", "500\n" + QByteArray(300, 'm'), QByteArray(299, 'm'), "found corrupt emlx file??"},
        {"nocount.emlx", "\n" + QByteArray(40, 'm'), QByteArray(), nullptr},
    };
    for (const Row &row : rows) {
        writeFile(dir.filePath(row.name), row.file);
        Log::captureStart();
        const auto got = EmlxConverter::emlxFileToEMLData(dir.filePath(row.name));
        const QStringList log = Log::captureTake();
        EXPECT_EQ(got, row.expected) << row.name;
        if (row.log) {
            EXPECT_TRUE(log.contains(row.log)) << row.name;
        }
    }
}

TEST(EmlxConverter, PartsArePutBackByRelativeSizeInExaminationOrder)
{
    QTemporaryDir dir;
    const QString base = dir.filePath("Messages/77");
    // Three places; the sizes recorded by Mail are the part sizes times 1.0129870129.
    const QByteArray message = "Subject: parts\n\n--b\nX-Apple-Content-Length: 1013\n\n\n--b\n"
                               "X-Apple-Content-Length: 203\n\n\n--b\nX-Apple-Content-Length: 5065\n\n\n--b--\n";
    writeFile(base + ".partial.emlx", emlx(message));
    writeFile(base + ".1.emlxpart", QByteArray(200, 'A'));
    writeFile(base + ".2.emlxpart", QByteArray(1000, 'B'));
    writeFile(base + ".2.1.emlxpart", QByteArray(5000, 'C'));
    writeFile(base + ".0.emlxpart", QByteArray(10, 'Z')); // numbering starts at 1

    const auto parts = EmlxConverter::emlxparts(base + ".partial.emlx");
    ASSERT_TRUE(parts);
    EXPECT_EQ(*parts, (QStringList{base + ".1.emlxpart", base + ".2.emlxpart", base + ".2.1.emlxpart"}));

    const auto merged = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(base + ".partial.emlx", nullptr);
    ASSERT_TRUE(merged);
    const QByteArray expected = "Subject: parts\n\n--b\nX-Apple-Content-Length: 1013\n\n" + QByteArray(1000, 'B') +
                                "\n--b\nX-Apple-Content-Length: 203\n\n" + QByteArray(200, 'A') +
                                "\n--b\nX-Apple-Content-Length: 5065\n\n" + QByteArray(5000, 'C') + "\n--b--\n";
    EXPECT_EQ(*merged, expected);
}

TEST(EmlxConverter, PartsThatCannotBePlaced)
{
    QTemporaryDir dir;
    struct Row {
        QByteArray message;
        const char *log;
    };
    const Row rows[] = {
        {"Subject: none\n\nno place for the part at all\n", "Could not place a part in an emlx file"},
        {"Subject: far\n\nX-Apple-Content-Length: 10\n" + QByteArray(400, 'x') + "\n\n",
         "could not find location to put attachment"},
    };
    int n = 0;
    for (const Row &row : rows) {
        const QString base = dir.filePath(QString::number(++n));
        writeFile(base + ".partial.emlx", emlx(row.message));
        writeFile(base + ".1.emlxpart", QByteArray(10, 'P'));
        Log::captureStart();
        const auto merged = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(base + ".partial.emlx", nullptr);
        const QStringList log = Log::captureTake();
        EXPECT_EQ(merged, row.message);
        EXPECT_TRUE(log.contains(row.log)) << log.join('|').toStdString();
    }
}

TEST(EmlxConverter, ByteCleanUps)
{
    QByteArray header = "Content-Disposition: attachment; filename*=utf-8''report%20final.pdf\n"
                        "Content-Type: x; name*=UTF-8''Keep%20me.pdf; filename*=utf-8''b.pdf";
    const qsizetype size = header.size();
    EmlxConverter::hackFixForMailCoreFailOnAttachmentFilename(header);
    EXPECT_EQ(header.size(), size);
    EXPECT_EQ(header, "Content-Disposition: attachment;         filename=report%20final.pdf\n"
                      "Content-Type: x; name*=UTF-8''Keep%20me.pdf;         filename=b.pdf");

    const QByteArray clean = "no nul here";
    EXPECT_EQ(EmlxConverter::removeNULLs(clean).constData(), clean.constData()); // same bytes, no copy
    EXPECT_EQ(EmlxConverter::removeNULLs(QByteArray("a\0b\0\0c", 6)), "abc");
}

TEST(EmlxConverterFixtures, PlainMessageMatchesTheOracle)
{
    REQUIRE_FIXTURES();
    const QString root = TestSupport::fixturesDir() + "/emlx/partial-emlx-converter";
    const auto got = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(root + "/input/Messages/114862.emlx", nullptr);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, readAll(root + "/expected_results/114862.eml"));
}

TEST(EmlxConverterFixtures, PartFileGoesBackAndAttachmentsFolderIsFound)
{
    REQUIRE_FIXTURES();
    const QString data = TestSupport::fixturesDir() + "/emlx/hoover/lists.mbox/F2D0D67E-7B19-4C30-B2E9-B58FE4789D51/Data/1";
    QString attachments;
    const auto got =
        EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(data + "/Messages/1498.partial.emlx", &attachments);
    ASSERT_TRUE(got);
    EXPECT_EQ(attachments, data + "/Attachments/1498");
    const QByteArray part = readAll(data + "/Messages/1498.3.emlxpart");
    ASSERT_FALSE(part.isEmpty());
    const qsizetype at = got->indexOf(part);
    ASSERT_GT(at, 0) << "the part file's bytes are in the message";
    EXPECT_EQ(QByteArray::fromBase64(part), readAll(data + "/Attachments/1498/3/Legea-299-2015-informatiile-publice.pdf"));
    // ...right after the blank line that ends its part header.
    EXPECT_TRUE(got->left(at).endsWith("X-Apple-Content-Length: 76502\n\n"));

    // The same message without its part file and without an Attachments folder.
    const QString missing = TestSupport::fixturesDir() + "/emlx/hoover/missing-part/1498.partial.emlx";
    QString none = "unset";
    const auto alone = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(missing, &none);
    ASSERT_TRUE(alone);
    EXPECT_TRUE(none.isNull());
    EXPECT_EQ(*alone, *EmlxConverter::emlxFileToEMLData(missing));
}

TEST(EmlxConverterFixtures, ShortCountIsClamped)
{
    REQUIRE_FIXTURES();
    const QString path = TestSupport::fixturesDir() + "/emlx/kigster/763983.emlx";
    const QByteArray file = readAll(path);
    const qsizetype start = file.indexOf('\n') + 1;
    ASSERT_GT(file.left(start).trimmed().toLongLong(), file.size() - start) << "the fixture's count is too large";
    Log::captureStart();
    const auto got = EmlxConverter::emlxFileToEMLData(path);
    EXPECT_TRUE(Log::captureTake().contains("found corrupt emlx file??"));
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, file.mid(start, file.size() - start - 1));
}

} // namespace
