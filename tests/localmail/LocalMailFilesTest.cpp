#include "localmail/LocalMailFiles.h"

#include "TestSupport.h"
#include "localmail/MboxSplitter.h"
#include "mailadapter/MCOAttachment.h"
#include "mailadapter/MCOMessageParser.h"
#include "Utils/Log.h"

#include <QDirIterator>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

using TestSupport::writeFile;
using TestSupport::readAll;

TEST(LocalMailFiles, CommonAncestorOfSeveralPaths)
{
    struct Row {
        QStringList paths;
        QString expected;
    };
    const Row rows[] = {
        {{}, QString()},
        {{"/a/b/c/x.eml", "/a/b/d/y.eml"}, "/a/b"},
        {{"/a/b/x.eml", "/a/b/y.eml", "/a/z.eml"}, "/a"},
        {{"/a/x.eml", "/b/y.eml"}, "/"},
        {{"/A/x.eml", "/a/y.eml"}, "/"}, // case-sensitive
    };
    for (const Row &row : rows)
        EXPECT_EQ(LocalMailFiles::commonAncestorEMLPaths(row.paths), row.expected) << row.paths.join(',').toStdString();
}

TEST(LocalMailFiles, CommonAncestorOfOnePath)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("m.eml");
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    EXPECT_EQ(LocalMailFiles::commonAncestorEMLPaths({dir.path()}), dir.path());
    EXPECT_EQ(LocalMailFiles::commonAncestorEMLPaths({file}), dir.path());
    // Missing paths: a long "extension" means a folder name with a dot, kept whole.
    EXPECT_EQ(LocalMailFiles::commonAncestorEMLPaths({"/nowhere/box/m.eml"}), "/nowhere/box");
    EXPECT_EQ(LocalMailFiles::commonAncestorEMLPaths({"/nowhere/Work.mailbox"}), "/nowhere/Work.mailbox");
}

TEST(LocalMailFiles, MailFolderBelowTheBase)
{
    const QString uuid = "0A1B2C3D-0000-1111-2222-333344445555";
    ASSERT_EQ(uuid.size(), 36);
    struct Row {
        QString path, base, jobName, expected;
    };
    const Row rows[] = {
        {"/m/Work/Projects/x.eml", "/m/Work", "3 EML files to /a", "Work/Projects"},
        {"/m/Work/x.eml", "/m/Work", "3 EML files to /a", "EML"},
        {"/m/Work/x.eml", "/m/Work", "/home/u/Mail Folder", "Mail Folder"},
        {"/Mail/V2/Work.mbox/" + uuid + "/Data/1/2/Messages/9.emlx", "/Mail/V2", "j", "V2/Work.mbox"},
        {"/elsewhere/m/Work/Sub/x.eml", "/m/Work", "j", "Work/Sub"}, // base found inside the path
    };
    for (const Row &row : rows)
        EXPECT_EQ(LocalMailFiles::emlSubFolder(row.path, row.base, row.jobName), row.expected) << row.path.toStdString();
}

TEST(LocalMailFiles, MboxPieceLiesAtItsMboxPath)
{
    const QString piece = LocalMailFiles::mboxPieceFolder("/home/u/Archive/old.mbox") + "/m_120.eml";
    EXPECT_EQ(LocalMailFiles::emlSubFolder(piece, "/home/u/Archive", "j"), "Archive/old.mbox");
}

TEST(LocalMailFiles, MainFolder)
{
    EXPECT_EQ(LocalMailFiles::mainFolderForBasePath("/home/u/Mail"), "Mail");
    EXPECT_EQ(LocalMailFiles::mainFolderForBasePath("/"), "PDFs");
    EXPECT_EQ(LocalMailFiles::mainFolderForBasePath(""), "PDFs");
}



QByteArray messageOf(int n, int bodyBytes)
{
    return "From sender" + QByteArray::number(n) + "@example.org Sat Jan 18 08:16:20 2014\n"
           "Subject: message " + QByteArray::number(n) + "\nFrom: a@example.org\n\n" + QByteArray(bodyBytes, 'x') + "\n";
}

TEST(LocalMailScan, LineEndCleanUp)
{
    const std::pair<QByteArray, QByteArray> rows[] = {
        {QByteArray("a\rb\r\nc\n\rd"), QByteArray("a\nb\nc\nd")},
        {QByteArray("\rx\r"), QByteArray("\nx\n")},
        {QByteArray("no carriage returns\n"), QByteArray("no carriage returns\n")},
        {QByteArray("\r\r\n"), QByteArray("\n\n")},
    };
    for (const auto &[in, out] : rows)
        EXPECT_EQ(LocalMailFiles::cleanUpLineEndings(in), out) << in.toStdString();
}

// The split must not depend on where the read blocks end: every block size gives the
// pieces that the whole-file rule gives.
TEST(LocalMailScan, MboxPiecesAreNamedByTheirEndOffsetWhateverTheBlockSize)
{
    QTemporaryDir dir;
    const QByteArray m1 = messageOf(1, 150), m2 = messageOf(2, 300), m3 = messageOf(3, 120);
    // CR LF line ends and a NUL: cleaned before offsets are counted.
    QByteArray raw = m1 + m2 + m3;
    raw.replace("\n", "\r\n");
    raw.insert(20, '\0');
    writeFile(dir.filePath("box.mbox"), raw);
    const QByteArray clean = m1 + m2 + m3;
    const qsizetype end1 = m1.size() - 1, end2 = end1 + m2.size(), end3 = clean.size();

    for (qsizetype block : {qsizetype(1), qsizetype(3), qsizetype(7), qsizetype(64), qsizetype(1 << 20)}) {
        const QString out = dir.filePath("out" + QString::number(block));
        QDir().mkpath(out);
        QStringList pieces;
        ASSERT_TRUE(MboxSplitter::split(dir.filePath("box.mbox"), out, [&](const QString &p) { pieces << p; }, block));
        ASSERT_EQ(pieces, (QStringList{out + QString("/m_%1.eml").arg(end1), out + QString("/m_%1.eml").arg(end2),
                                       out + QString("/m_%1.eml").arg(end3)}))
            << "block " << block;
        EXPECT_EQ(readAll(pieces[0]), m1.mid(m1.indexOf('\n') + 1).chopped(1));
        EXPECT_EQ(readAll(pieces[1]), m2.mid(m2.indexOf('\n') + 1).chopped(1));
        EXPECT_EQ(readAll(pieces[2]), m3.mid(m3.indexOf('\n') + 1));
        EXPECT_TRUE(readAll(pieces[1]).startsWith("Subject: message 2"));
        EXPECT_EQ(QFileInfo(pieces[0]).permissions() & (QFile::ReadGroup | QFile::ReadOther), 0);
    }
}

TEST(LocalMailScan, TinyLastMessageIsNotExtracted)
{
    QTemporaryDir dir;
    const QByteArray big = messageOf(1, 200);
    QByteArray tiny = "\nFrom x\nSubject: t\n\n";
    tiny += QByteArray(99 - tiny.size(), 'y');
    ASSERT_EQ(tiny.size(), 99);
    writeFile(dir.filePath("a.mbox"), big.chopped(1) + tiny);
    QStringList pieces;
    MboxSplitter::split(dir.filePath("a.mbox"), dir.path(), [&](const QString &p) { pieces << p; });
    EXPECT_EQ(pieces.size(), 1);
}

TEST(LocalMailScan, MboxWithoutLineFeedsLogsAndStops)
{
    QTemporaryDir dir;
    writeFile(dir.filePath("a.mbox"), "From " + QByteArray(300, 'z'));
    QStringList pieces;
    Log::captureStart();
    MboxSplitter::split(dir.filePath("a.mbox"), dir.path(), [&](const QString &p) { pieces << p; }, 16);
    EXPECT_TRUE(Log::captureTake().contains("cant find the start of an EML, returning"));
    EXPECT_TRUE(pieces.isEmpty());
}

TEST(LocalMailScan, FolderScanListsMessagesAndSplitsMboxFiles)
{
    QTemporaryDir dir;
    const QString root = dir.filePath("Mail");
    writeFile(root + "/a.eml", "x");
    writeFile(root + "/Sub/B.EML", "x");
    writeFile(root + "/.hidden/c.eml", "x");
    writeFile(root + "/Mail.app/1.emlx", "x");
    writeFile(root + "/Old.mbox/mbox", messageOf(1, 200) + messageOf(2, 200));
    writeFile(root + "/notes.txt", "x");
    QDir().mkpath(root + "/Folder.eml"); // a folder named like a message counts as one
    ASSERT_EQ(symlink(root.toLocal8Bit().constData(), (root + "/Sub/loop").toLocal8Bit().constData()), 0);

    QStringList emlxs;
    std::atomic<qint64> count{-1};
    const QStringList emls = LocalMailFiles::explodeFilesAndFolders({root}, &emlxs, &count);
    EXPECT_EQ(emlxs, QStringList{root + "/Mail.app/1.emlx"});
    QStringList names;
    for (const QString &p : emls)
        names << (p.startsWith(LocalMailFiles::temporaryDirectory()) ? "piece:" + QFileInfo(p).path().section('/', -2)
                                                                 : QDir(root).relativeFilePath(p));
    names.sort();
    EXPECT_EQ(names, (QStringList{".hidden/c.eml", "Folder.eml", "Sub/B.EML", "a.eml", "piece:Old.mbox/mbox",
                                  "piece:Old.mbox/mbox"}));
    EXPECT_EQ(count.load(), emls.size() + emlxs.size());

    const QString pieces = LocalMailFiles::mboxPieceFolder(root + "/Old.mbox/mbox");
    EXPECT_EQ(QFileInfo(pieces).permissions() & (QFile::ReadOther | QFile::ExeOther | QFile::ReadGroup), 0);
    EXPECT_EQ(LocalMailFiles::emlSubFolder(emls.filter("m_").first(), root, "1 EML files to /x"), "Mail/Old.mbox/mbox");
}

TEST(LocalMailScan, RenderListPrefersAMailStore)
{
    const auto list = [](int emls, int emlxs) {
        QStringList e, x;
        for (int i = 0; i < emls; ++i)
            e << QString("%1.eml").arg(i);
        for (int i = 0; i < emlxs; ++i)
            x << QString("%1.emlx").arg(i);
        return LocalMailFiles::renderList(e, x).size();
    };
    EXPECT_EQ(list(5, 51), 51);
    EXPECT_EQ(list(5, 50), 55);
    EXPECT_EQ(list(5, 0), 5);
    EXPECT_EQ(list(0, 3), 3);
}

TEST(LocalMailScanFixtures, Mime4jMboxSplitsLikeItsOracle)
{
    REQUIRE_FIXTURES();
    const QString dir = TestSupport::fixturesDir() + "/mbox/mime4j-rlug";
    QStringList pieces;
    LocalMailFiles::Scan scan;
    LocalMailFiles::explodeMBox(scan, dir + "/mbox.rlug", pieces);
    ASSERT_EQ(pieces.size(), 5);
    for (int i = 0; i < 5; ++i) {
        const QByteArray expected = readAll(dir + QString("/mbox.rlug-%1").arg(i));
        QByteArray got = readAll(pieces[i]);
        while (got.endsWith('\n'))
            got.chop(1);
        QByteArray want = LocalMailFiles::cleanUpLineEndings(expected);
        while (want.endsWith('\n'))
            want.chop(1);
        EXPECT_EQ(got, want) << "piece " << i;
    }
}

TEST(LocalMailHeaderRepair, RepairsHeaderLinesOnly)
{
    const QByteArray body = "line 1\n(kept) words here\n: colon\nA B\n" + QByteArray("ellipsis\x85", 9) + "end\n";
    const QByteArray in = "Date: Sat, 18 Jan 2014 08:16:20 +0000 (UTC)\n"
                          "Subject  with space: x\n"
                          ": leading colon\n"
                          "two words\n"
                          "oneword\n"
                          "X-Key:value\n"
                          "\tcontinued\n"
                          "\n" + body;
    const auto out = LocalMailFiles::fixHeaderLinesInData(in);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "Date: Sat, 18 Jan 2014 08:16:20 +0000  UTC \n"
                    " Subject  with space: x\n"
                    " : leading colon\n"
                    " oneword\n"
                    "X-Key:value\n"
                    "\tcontinued\n"
                    "\n" + body);
    EXPECT_FALSE(LocalMailFiles::fixHeaderLinesInData("a: 1\nb: 2\nc: 3\nd: 4\ne: 5\nf: 6\ng: 7\n\nx"));
}

} // namespace

namespace {

TEST(LocalMailLoading, MessagesAreCleanedAndRepairedBeforeUse)
{
    QTemporaryDir dir;
    const QByteArray headers = "From: Anna <anna@example.org>\nTo: John <john@example.net>\n"
                               "Subject: no date\n";
    // No usable date: the header-repaired bytes are parsed once more.
    const QByteArray undated = headers + "Date: sometime last week\nX-A: 1\nX-B: 2\nX-C: 3\nX-D: 4\n\nbody\n";
    writeFile(dir.filePath("undated.eml"), undated);
    writeFile(dir.filePath("tiny.eml"), QByteArray(64, 'x'));
    writeFile(dir.filePath("nul.eml"), headers + "Date: Sat, 18 Jan 2014 08:16:20 +0000\n\nbo" + QByteArray(1, '\0') + "dy\n");

    Log::captureStart();
    const auto reparsed = LocalMailFiles::makeMCOMessage(dir.filePath("undated.eml"), nullptr);
    const QStringList log = Log::captureTake();
    ASSERT_TRUE(reparsed);
    EXPECT_FALSE(reparsed->header().date().isValid());
    EXPECT_EQ(reparsed->header().subject(), "no date");
    EXPECT_TRUE(log.contains("found 1970 reparse will happen on next line, no date")) << log.join('|').toStdString();
    EXPECT_EQ(log.filter("Fixed date is ").size(), 1);

    Log::captureStart();
    EXPECT_EQ(LocalMailFiles::makeMCOMessage(dir.filePath("tiny.eml"), nullptr), nullptr);
    EXPECT_TRUE(Log::captureTake().contains("Email could not be made " + dir.filePath("tiny.eml")));

    const auto cleaned = LocalMailFiles::makeMCOMessage(dir.filePath("nul.eml"), nullptr);
    ASSERT_TRUE(cleaned);
    EXPECT_FALSE(cleaned->data().contains('\0'));
}

TEST(LocalMailLoadingFixtures, EmlxMessageReportsItsAttachmentsFolder)
{
    REQUIRE_FIXTURES();
    const QString data = TestSupport::fixturesDir() + "/emlx/hoover/lists.mbox/F2D0D67E-7B19-4C30-B2E9-B58FE4789D51/Data/1";
    QString folder;
    const auto message = LocalMailFiles::makeMCOMessage(data + "/Messages/1498.partial.emlx", &folder);
    ASSERT_TRUE(message);
    EXPECT_EQ(folder, data + "/Attachments/1498");
    EXPECT_EQ(message->header().subject(), "Re: promulgare lege");
    // The part file put back decodes to the PDF that Mail keeps in its Attachments folder.
    QByteArray pdf;
    for (const MCOAbstractPartPtr &part : message->attachments())
        if (part->filename().endsWith(".pdf"))
            pdf = std::static_pointer_cast<MCOAttachment>(part)->data();
    EXPECT_EQ(pdf, readAll(data + "/Attachments/1498/3/Legea-299-2015-informatiile-publice.pdf"));
}

} // namespace

namespace {

// The converter that made this oracle wrote the files of Mail's Attachments folder back
// into the message; here the message keeps its emptied parts and the folder is reported,
// to be copied beside the PDF. Either way the archive ends with the same files.
TEST(LocalMailLoadingFixtures, PartialMessageWithAttachmentsFolderMatchesTheOracleFiles)
{
    REQUIRE_FIXTURES();
    const QString root = TestSupport::fixturesDir() + "/emlx/partial-emlx-converter";
    QString folder;
    const auto message = LocalMailFiles::makeMCOMessage(root + "/input/Messages/114892.partial.emlx", &folder);
    ASSERT_TRUE(message);
    EXPECT_EQ(folder, root + "/input/Attachments/114892");
    const auto oracle = MCOMessageParser::messageParserWithData(readAll(root + "/expected_results/114892.eml"));
    EXPECT_EQ(message->header().subject(), oracle->header().subject());
    int compared = 0;
    for (const MCOAbstractPartPtr &part : oracle->attachments() + oracle->htmlInlineAttachments()) {
        QDirIterator it(folder, {part->filename()}, QDir::Files, QDirIterator::Subdirectories);
        if (part->filename().isEmpty() || !it.hasNext())
            continue;
        // Text parts travel with canonical CR LF line ends; the files keep LF.
        QByteArray fromOracle = std::static_pointer_cast<MCOAttachment>(part)->data();
        QByteArray fromFolder = readAll(it.next());
        if (part->mimeType().startsWith("text/")) {
            fromOracle.replace("\r\n", "\n");
            fromFolder.replace("\r\n", "\n");
        }
        EXPECT_EQ(fromOracle, fromFolder) << part->filename().toStdString();
        ++compared;
    }
    EXPECT_EQ(compared, 4);
}

} // namespace
