#include "RenderEngine/MessageToHTMLToPDF.h"

#include "RenderEngine/RenderTool.h"
#include "TestSupport.h"
#include "mailadapter/MCOMessageParser.h"
#include "localmail/LocalMailFiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

QByteArray part(const QByteArray &disposition, const QByteArray &body, const QByteArray &type = "application/octet-stream")
{
    return "--b\nContent-Type: " + type + "\nContent-Disposition: " + disposition +
           "\nContent-Transfer-Encoding: base64\n\n" + body.toBase64() + "\n";
}

QByteArray message(const QList<QByteArray> &parts)
{
    QByteArray m = "From: Anna <anna@example.org>\nTo: john@example.net\nSubject: files\n"
                   "Date: Sat, 18 Jan 2014 08:16:20 +0000\nMIME-Version: 1.0\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\n\n--b\nContent-Type: text/plain\n\nsee attached\n";
    for (const QByteArray &p : parts)
        m += p;
    return m + "--b--\n";
}

QStringList filesBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        out << QDir(folder).relativeFilePath(it.next());
    out.sort();
    return out;
}

class Attachments : public ::testing::Test {
protected:
    QTemporaryDir dest;
    JobOptions options() const
    {
        return {{JobKey::destFolder, dest.path()},
                {JobKey::pdfFormat, "x.pdf"},
                {JobKey::attachmentFormat, "files/__filename__"},
                {JobKey::emlFormat, ""}};
    }
    QStringList save(const QByteArray &raw)
    {
        MessageToHTMLToPDF renderer(options());
        auto parsed = MCOMessageParser::messageParserWithData(raw);
        renderer.startOnAttachmentsFolder(parsed, "", "", nullptr, QString());
        return filesBelow(dest.path());
    }
};

TEST_F(Attachments, NamesAreDeduplicatedAndKeptInsideTheFolder)
{
    const QStringList files = save(message({
        part("attachment; filename=\"report.pdf\"", "one"),
        part("attachment; filename=\"report.pdf\"", "two"),
        part("attachment; filename=\"report.pdf\"", "three"),
        part("attachment; filename=\"README\"", "r1"),
        part("attachment; filename=\"README\"", "r2"),
        part("attachment; filename=\"x/y/z.txt\"", "z"),
        part("attachment; filename=\"../../../evil.txt\"", "evil"),
        part("attachment; filename=\"C:\\\\Temp\\\\win.txt\"", "win"),
        part("attachment; filename=\"=?utf-8?q?a=01b.txt?=\"", "ctl"),
        part("attachment; filename=\"..\"", "dots"),
        part("attachment; filename=\"empty.bin\"", ""),
    }));
    // "README 2." loses its trailing dot to the file-name cleaning of the path format.
    EXPECT_EQ(files.join('|').toStdString(),
              QStringList({"files/README", "files/README 2", "files/a b.txt", "files/evil.txt", "files/noname 4",
                           "files/report 2.pdf", "files/report 3.pdf", "files/report.pdf", "files/win.txt", "files/z.txt"})
                  .join('|')
                  .toStdString());
    QFile second(dest.filePath("files/report 2.pdf"));
    ASSERT_TRUE(second.open(QIODevice::ReadOnly));
    EXPECT_EQ(second.readAll(), "two");
    EXPECT_EQ(QFileInfo(dest.filePath("files/z.txt")).lastModified().toUTC(),
              QDateTime(QDate(2014, 1, 18), QTime(8, 16, 20), Qt::UTC));
}

TEST_F(Attachments, ExistingFilesAreNeverReplaced)
{
    const QByteArray raw = message({part("attachment; filename=\"a.txt\"", "new bytes")});
    QDir().mkpath(dest.filePath("files"));
    QFile existing(dest.filePath("files/a.txt"));
    ASSERT_TRUE(existing.open(QIODevice::WriteOnly));
    existing.write("old bytes");
    existing.close();
    save(raw);
    ASSERT_TRUE(existing.open(QIODevice::ReadOnly));
    EXPECT_EQ(existing.readAll(), "old bytes");
}

TEST_F(Attachments, NoAttachmentFormatWritesNothing)
{
    MessageToHTMLToPDF renderer({{JobKey::destFolder, dest.path()}, {JobKey::attachmentFormat, "none"}});
    renderer.startOnAttachmentsFolder(MCOMessageParser::messageParserWithData(
                                          message({part("attachment; filename=\"a.txt\"", "x")})),
                                      "", "", nullptr, QString());
    EXPECT_TRUE(filesBelow(dest.path()).isEmpty());
}

TEST_F(Attachments, NamelessPartsGoThroughTheExtractionEngine)
{
    const QStringList files = save(message({part("attachment", "nameless content"),
                                            part("attachment; filename=\"named.txt\"", "named")}));
    EXPECT_FALSE(files.isEmpty());
    EXPECT_FALSE(files.contains("files/tempRipMime.dat"));
    for (const QString &f : files)
        EXPECT_TRUE(f.startsWith("files/")) << f.toStdString();
}

TEST_F(Attachments, MailAttachmentsFolderIsCopiedInsteadOfTheParts)
{
    REQUIRE_FIXTURES();
    const QString data = TestSupport::fixturesDir() + "/emlx/hoover/lists.mbox/F2D0D67E-7B19-4C30-B2E9-B58FE4789D51/Data/1";
    QString folder;
    const auto parsed = LocalMailFiles::makeMCOMessage(data + "/Messages/1498.partial.emlx", &folder);
    ASSERT_TRUE(parsed);
    MessageToHTMLToPDF renderer(options());
    renderer.startOnAttachmentsFolder(parsed, "", "", nullptr, folder);
    EXPECT_EQ(filesBelow(dest.path()), (QStringList{"files/Legea-299-2015-informatiile-publice.odt",
                                                   "files/Legea-299-2015-informatiile-publice.pdf"}));
}

} // namespace

// The extraction engine reads the message from a file: that file lives in the engine's
// private folder and goes with the extraction, never among the user's files.
TEST_F(Attachments, ExtractionInputStaysInThePrivateFolder)
{
    QTemporaryDir privateFolder;
    MessageToHTMLToPDF renderer(options());
    renderer.setPrivateFolder(privateFolder.path());
    auto parsed = MCOMessageParser::messageParserWithData(
        message({part("attachment", "nameless bytes"), part("attachment; filename=\"named.txt\"", "named")}));
    renderer.startOnAttachmentsFolder(parsed, "", "", nullptr, QString());
    const QStringList files = filesBelow(dest.path());
    EXPECT_TRUE(files.contains("files/named.txt")) << files.join('|').toStdString();
    for (const QString &file : files)
        EXPECT_TRUE(file.startsWith("files/") && !file.contains("RipMime") && !file.contains("extract-"))
            << file.toStdString();
    EXPECT_TRUE(filesBelow(privateFolder.path()).isEmpty());
}
