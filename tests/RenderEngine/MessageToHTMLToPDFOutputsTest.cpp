#include "RenderEngine/MessageToHTMLToPDF.h"

#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>


namespace {

// A message known only by its header, as an IMAP listing gives it.
struct HeaderOnlyMessage : MCOAbstractMessage {};

QDateTime utc(int y, int mo, int d, int h = 0, int mi = 0, int s = 0)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s), QTimeZone::utc());
}

HeaderOnlyMessage sampleMessage()
{
    HeaderOnlyMessage m;
    m.header().setSubject(QStringLiteral("Quarterly report"));
    m.header().setDate(utc(2014, 1, 18, 8, 16, 20));
    m.header().setFrom(MCOAddress(QStringLiteral("Anna Maria Schmidt"), QStringLiteral("anna@example.org")));
    m.header().setTo({MCOAddress(QStringLiteral("John Doe"), QStringLiteral("john@example.net"))});
    return m;
}

class Destinations : public ::testing::Test {
protected:
    QTemporaryDir dir;
    JobOptions options() const
    {
        return {{JobKey::destFolder, dir.path() + "/Archive"},
                {JobKey::pdfFormat, "%Y/__fromLast__-__toLast__ __subject__.pdf"},
                {JobKey::emlFormat, ""},
                {JobKey::attachmentFormat, "%Y/__subject__ (attachments)/__filename__"}};
    }
    QString path(MCOAbstractMessage &m, const JobOptions &o, const QString &mainFolder = "Work",
                 const QString &mailFolder = "INBOX", const QString &key = JobKey::pdfFormat,
                 const QString &fileName = QString())
    {
        return MessageToHTMLToPDF::destinationPath(m, mainFolder, mailFolder, key, fileName, o);
    }
    QString rel(const QString &full) const { return QDir(dir.path() + "/Archive").relativeFilePath(full); }
};

TEST_F(Destinations, ExpandsBelowRootAndCreatesTheFolder)
{
    auto m = sampleMessage();
    const QString p = path(m, options());
    EXPECT_EQ(rel(p), "Work/INBOX/2014/Schmidt-Doe Quarterly report.pdf");
    EXPECT_TRUE(QFileInfo(QFileInfo(p).path()).isDir());
    EXPECT_FALSE(QFileInfo::exists(p));
}

TEST_F(Destinations, FormatLengthDecidesWhetherAnOutputIsMade)
{
    auto m = sampleMessage();
    JobOptions o = options();
    o[JobKey::pdfFormat] = "%Y/x"; // four characters: no output
    EXPECT_TRUE(path(m, o).isEmpty());
    o[JobKey::pdfFormat] = "%Y/xy";
    EXPECT_EQ(rel(path(m, o)), "Work/INBOX/2014/xy");
    EXPECT_TRUE(path(m, o, "Work", "INBOX", JobKey::emlFormat).isEmpty());
}

TEST_F(Destinations, WindowsReplacementsFollowTheOption)
{
    auto m = sampleMessage();
    m.header().setSubject(QStringLiteral("a<b>c\"d|e?f*g^h"));
    JobOptions o = options();
    o[JobKey::pdfFormat] = "__subject__.pdf";
    EXPECT_EQ(QFileInfo(path(m, o)).fileName(), "a-b-cd ef g h.pdf"); // absent option: on
    o[JobKey::windowsFilenames] = false;
    EXPECT_EQ(QFileInfo(path(m, o)).fileName(), "a<b>c\"d|e?f*g^h.pdf");
}

TEST_F(Destinations, SubFolderAndRootOverlapAreFolded)
{
    struct Row {
        QString mainFolder, mailFolder, expectedSub;
    };
    const Row rows[] = {
        {"Work", "Work/Projects", "Work/Projects"},
        {"Work", "INBOX/Projects", "Work/INBOX/Projects"},
        {"a/b", "c", "a b/c"}, // the main folder is one level whatever it holds
        {"", "INBOX", "INBOX"},
        {"Work", "", "Work"},
        {"", "", ""},
    };
    for (const Row &r : rows)
        EXPECT_EQ(MessageToHTMLToPDF::destinationSubFolder(r.mainFolder, r.mailFolder), r.expectedSub)
            << r.mainFolder.toStdString() << " + " << r.mailFolder.toStdString();

    auto m = sampleMessage();
    JobOptions o = options();
    o[JobKey::destFolder] = dir.path() + "/Archive/Work";
    o[JobKey::pdfFormat] = "x.pdf";
    EXPECT_EQ(path(m, o, "Work", ""), dir.path() + "/Archive/Work/x.pdf");
}

TEST_F(Destinations, OverrideWinsAndEmptyRootFallsBackToTheEmergencyRoot)
{
    auto m = sampleMessage();
    JobOptions o = options();
    o[JobKey::destFolderOverride] = dir.path() + "/Other";
    EXPECT_TRUE(path(m, o).startsWith(dir.path() + "/Other/Work/"));

    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", dir.path().toUtf8());
    o.remove(JobKey::destFolderOverride);
    o.remove(JobKey::destFolder);
    Log::captureStart();
    const QString p = path(m, o);
    const QStringList log = Log::captureTake();
    qputenv("HOME", home);
    EXPECT_TRUE(p.startsWith(dir.path() + "/Desktop/Tarnwick/Work/")) << p.toStdString();
    EXPECT_TRUE(log.contains("Emergency!! destinationFolder path is now " + dir.path() + "/Desktop/Tarnwick"));
}

TEST_F(Destinations, NamesFallBackWhenTheHeaderLacksThem)
{
    struct Row {
        MCOAddress from, sender;
        MCOAddressList to;
        QString expected;
    };
    const Row rows[] = {
        {{"", "anna@x.org"}, {"Bea Sender", "s@x.org"}, {{"", "john@y.net"}}, "Sender-john@y.net anna@x.org john@y.net"},
        {{"", "anna@x.org"}, {}, {}, "anna@x.org-na anna@x.org toEmailNA"},
        {{}, {}, {{"Jo Doe", ""}}, "-Doe fromEmailNA toEmailNA"},
    };
    for (const Row &r : rows) {
        HeaderOnlyMessage m;
        m.header().setDate(utc(2014, 1, 18));
        m.header().setFrom(r.from);
        m.header().setSender(r.sender);
        m.header().setTo(r.to);
        JobOptions o = options();
        o[JobKey::pdfFormat] = "__fromLast__-__toLast__ __emailFrom__ __emailTo__";
        EXPECT_EQ(QFileInfo(path(m, o, "", "")).fileName(), r.expected);
    }
}

TEST_F(Destinations, NoExpansionLeavesTheRoot)
{
    const QString root = dir.path() + "/Archive";
    struct Row {
        QString format, subject, from, mailFolder;
    };
    const Row rows[] = {
        {"__emailFrom__/x.pdf", "s", "../../../etc/passwd", "INBOX"},
        {"__emailFrom__/x.pdf", "s", "/etc/x@y", "INBOX"},
        {"../../__subject__.pdf", "s", "a@b", "INBOX"},
        {"%Y/__subject__.pdf", "..", "a@b", "../.."},
        {"__emailFrom__", "s", "..", ""},
    };
    for (const Row &r : rows) {
        HeaderOnlyMessage m;
        m.header().setSubject(r.subject);
        m.header().setDate(utc(2014, 1, 18));
        m.header().setFrom(MCOAddress("", r.from));
        JobOptions o = options();
        o[JobKey::pdfFormat] = r.format;
        const QString p = path(m, o, "", r.mailFolder);
        EXPECT_TRUE(QDir::cleanPath(p).startsWith(root + "/")) << r.format.toStdString() << " -> " << p.toStdString();
        EXPECT_FALSE(p.contains("/../")) << p.toStdString();
    }
}

TEST(MessageNames, StripFirstName)
{
    const std::pair<QString, QString> rows[] = {
        {"Anna Maria Schmidt", "Schmidt"}, {"Anna Schmidt", "Schmidt"}, {"A B C D", "A B C D"},
        {"Schmidt", "Schmidt"},           {"Anna  Schmidt", "Schmidt"}, // two spaces: three pieces
        {"", ""},
    };
    for (const auto &[name, expected] : rows)
        EXPECT_EQ(MessageToHTMLToPDF::stripFirstName(name), expected) << name.toStdString();
    EXPECT_TRUE(MessageToHTMLToPDF::stripFirstName(QString()).isNull());
}

TEST(MessageDates, PlausibilityBounds)
{
    // Bounds around 1970 are only reachable with a clock in the 1970s and 1990s.
    const qint64 now = 900'000'000; // 1998
    const std::pair<qint64, bool> rows[] = {
        {0, false},
        {9'999'999, false},
        {10'000'000, true},
        {-10'000'000, true},
        {-9'999'999, false},
        {now + 1'000'000'000, true},
        {now + 1'000'000'001, false},
        {now - 1'000'000'000, true},
        {now - 1'000'000'001, false},
    };
    for (const auto &[secs, ok] : rows)
        EXPECT_EQ(MessageToHTMLToPDF::dateOKForEmail(QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc()),
                                                     QDateTime::fromSecsSinceEpoch(now, QTimeZone::utc())),
                  ok)
            << secs;
    EXPECT_FALSE(MessageToHTMLToPDF::dateOKForEmail(QDateTime()));
    EXPECT_TRUE(MessageToHTMLToPDF::dateOKForEmail(QDateTime::currentDateTimeUtc().addYears(-31)));
    EXPECT_FALSE(MessageToHTMLToPDF::dateOKForEmail(QDateTime::currentDateTimeUtc().addYears(-32)));
}

TEST(MessageDates, RepairFromHeaderLines)
{
    struct Row {
        QDateTime parsed;
        QList<QPair<QString, QString>> lines; // extra header lines
        QDateTime expected;
        bool headerChanged;
    };
    const QDateTime epoch = QDateTime::fromSecsSinceEpoch(0, QTimeZone::utc());
    const Row rows[] = {
        {utc(2014, 1, 18), {{"Delivery-date", "Mon, 2 Feb 2015 10:00:00 +0000"}}, utc(2014, 1, 18), false},
        {epoch, {{"Delivery-date", "Mon, 2 Feb 2015 10:00:00 +0000"}}, utc(2015, 2, 2, 10), true},
        {QDateTime(), {{"Received", "from a by b; Mon, 2 Feb 2015 11:00:00 +0100"}}, utc(2015, 2, 2, 10), true},
        {epoch, {{"Received", "from a by b with id 1"}}, epoch, false},
        {epoch, {{"Delivery-date", "garbage"}, {"Received", "x; Mon, 2 Feb 2015 10:00:00 +0000"}}, epoch, false},
        {QDateTime(), {}, QDateTime(), false},
    };
    for (const Row &r : rows) {
        MCOMessageHeader h;
        h.setDate(r.parsed);
        for (const auto &[name, value] : r.lines)
            h.addHeader(name, value);
        const QDateTime got = MessageToHTMLToPDF::dateFromMailCoreHeaderAndFixTheHeaderToo(h);
        EXPECT_EQ(got, r.expected) << got.toString(Qt::ISODate).toStdString();
        EXPECT_EQ(h.date() != r.parsed, r.headerChanged);
    }
}

TEST(MessageDates, CalendarFieldsAreUtcAndOptional)
{
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    const QDateTime date = QDateTime(QDate(2014, 1, 18), QTime(9, 16, 20, 900), QTimeZone(3600));
    MessageToHTMLToPDF::time(date, &y, &mo, &d, &h, &mi, &s);
    EXPECT_EQ((std::vector<int>{y, mo, d, h, mi, s}), (std::vector<int>{2014, 1, 18, 8, 16, 20}));
    int onlyYear = 0;
    MessageToHTMLToPDF::time(date, &onlyYear, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(onlyYear, 2014);
}

TEST(MessageFiles, EmergencyCopyNeverReplaces)
{
    QTemporaryDir dir;
    const QString pdf = dir.filePath("2014 report.pdf");
    EXPECT_TRUE(MessageToHTMLToPDF::saveEMLData("first copy", pdf));
    EXPECT_FALSE(MessageToHTMLToPDF::saveEMLData("second copy", pdf));
    QFile f(dir.filePath("2014 report.eml"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "first copy");
}

TEST(MessageFiles, UndersizedOutputsAreRemoved)
{
    QTemporaryDir dir;
    const auto write = [&](const QString &name, qsizetype size) {
        QFile f(dir.filePath(name));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(size, 'x'));
        return dir.filePath(name);
    };
    EXPECT_TRUE(MessageToHTMLToPDF::pdfFilelooksOK(write("good.pdf", 7000)));
    const QString small = write("small.pdf", 6999);
    EXPECT_FALSE(MessageToHTMLToPDF::pdfFilelooksOK(small));
    EXPECT_FALSE(QFileInfo::exists(small));
    EXPECT_TRUE(MessageToHTMLToPDF::emlFilelooksOK(write("good.eml", 20)));
    EXPECT_FALSE(MessageToHTMLToPDF::emlFilelooksOK(write("small.eml", 19)));
    EXPECT_FALSE(MessageToHTMLToPDF::pdfFilelooksOK(dir.filePath("missing.pdf")));
}

TEST(MessageFiles, UnwritableProbeAlertsOnTheFifthFailureOnly)
{
    QTemporaryDir dir;
    // A path below a regular file cannot be written, not even by root.
    QFile blocker(dir.filePath("file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const QString target = dir.filePath("file/x.pdf");
    int alerts = 0;
    const MessageToHTMLToPDF::AlertHandler alert = [&](const QString &message, const QString &informative) {
        EXPECT_EQ(message, "PDF failed to write.");
        EXPECT_TRUE(informative.startsWith("The path " + target + " failed to write.\n\n The error was "));
        ++alerts;
    };
    ASSERT_EQ(MessageToHTMLToPDF::unwritablePathCount(), 0) << "no other test may fail the probe";
    QString reason;
    for (int i = 1; i <= 6; ++i) {
        EXPECT_FALSE(MessageToHTMLToPDF::testDestinationFilePath(target, &reason, alert));
        EXPECT_EQ(alerts, i >= 5 ? 1 : 0) << "failure " << i;
    }
    EXPECT_TRUE(reason.startsWith("PDF path " + target + ", ")) << reason.toStdString();
}

TEST(MessageFiles, WritableProbeLeavesNothing)
{
    QTemporaryDir dir;
    EXPECT_TRUE(MessageToHTMLToPDF::testDestinationFilePath(dir.filePath("x.pdf")));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
}

TEST(MessageFiles, CreationDateStampsTheModificationTime)
{
    QTemporaryDir dir;
    QFile f(dir.filePath("a.pdf"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    MessageToHTMLToPDF renderer({});
    renderer.setCreationDate(f.fileName(), utc(2014, 1, 18, 8, 16, 20));
    EXPECT_EQ(QFileInfo(f.fileName()).lastModified().toUTC(), utc(2014, 1, 18, 8, 16, 20));
    renderer.setCreationDate(f.fileName(), QDateTime()); // no date: unchanged
    EXPECT_EQ(QFileInfo(f.fileName()).lastModified().toUTC(), utc(2014, 1, 18, 8, 16, 20));
}

} // namespace

// Different messages that expand to one path: the output index tells their outputs apart.
TEST_F(Destinations, OutputIndexSuffixesTheSubjectOrTheFileName)
{
    auto m = sampleMessage();
    struct Row {
        QString key, format, fileName, expected;
    };
    const Row rows[] = {
        {JobKey::pdfFormat, "%Y/__subject__.pdf", "", "Work/INBOX/2014/Quarterly report (3).pdf"},
        {JobKey::attachmentFormat, "%Y/__subject__ (attachments)/__filename__", "a.txt",
         "Work/INBOX/2014/Quarterly report (3) (attachments)/a.txt"},
        {JobKey::emlFormat, "%Y/%m/%d %H%M%S.eml", "", "Work/INBOX/2014/01/18 081620 (3).eml"},
        {JobKey::emlFormat, "%Y/%m/%d %H%M%S", "", "Work/INBOX/2014/01/18 081620 (3)"},
    };
    for (const Row &row : rows) {
        JobOptions o = options();
        o.insert(row.key, row.format);
        EXPECT_EQ(rel(path(m, o, "Work", "INBOX", row.key, row.fileName)), QString(row.expected).remove(" (3)"));
        o.insert(JobKey::outputIndex, 3);
        EXPECT_EQ(rel(path(m, o, "Work", "INBOX", row.key, row.fileName)), row.expected);
    }
}

TEST_F(Destinations, DecomposedLevelsAreWrittenComposedAndWithinTheByteLimit)
{
    auto m = sampleMessage();
    m.header().setSubject(QString::fromUtf8("Gru\xcc\x88\xc3\x9f""e ") + QString(90, QChar(0xAC00)));
    const QString p = path(m, options(), QString::fromUtf8("Ka\xcc\x88se"), QString(120, QChar(0x6F22)));
    EXPECT_EQ(p, p.normalized(QString::NormalizationForm_C));
    EXPECT_TRUE(p.contains(QString::fromUtf8("K\xc3\xa4se/")));
    for (const QString &level : rel(p).split('/'))
        EXPECT_LE(level.toUtf8().size(), 235) << level.toStdString();
    EXPECT_TRUE(QFileInfo(QFileInfo(p).path()).isDir());
}

TEST(MessageIdentity, MessageIdElseDigestOfTheBytesAsReceived)
{
    const QByteArray withId = "Message-ID: <a@b>\nSubject: x\n\nbody\n";
    const QByteArray without = "Subject: x\n\nbody\n";
    const auto parse = [](const QByteArray &raw) {
        auto m = MCOMessageParser::messageParserWithData(raw);
        m->setOriginalData(raw);
        return m;
    };
    EXPECT_EQ(MessageToHTMLToPDF::messageIdentity(*parse(withId)), "a@b");
    const QString digest = MessageToHTMLToPDF::messageIdentity(*parse(without));
    EXPECT_TRUE(digest.startsWith("sha256:"));
    EXPECT_EQ(digest.size(), 7 + 64);
    EXPECT_NE(digest, MessageToHTMLToPDF::messageIdentity(*parse(without + "more\n")));
    HeaderOnlyMessage header;
    EXPECT_TRUE(MessageToHTMLToPDF::messageIdentity(header).isEmpty());
}

// Three different messages and one repeated, all at one path: each different one gets
// its own index, found again on the next pass; the repeat is the archived original.
TEST(MessagePlacement, DifferentMessagesAtOnePathGetStableIndexes)
{
    QTemporaryDir dir;
    const JobOptions options{{JobKey::destFolder, dir.path()},
                             {JobKey::pdfFormat, ""},
                             {JobKey::emlFormat, "%Y/__subject__.eml"}};
    const auto message = [](const char *id) {
        return MCOMessageParser::messageParserWithData(QByteArray("Message-ID: <") + id +
                                                       ">\nDate: Mon, 3 Mar 2014 10:00:00 +0000\nSubject: Notice\n\nx\n");
    };
    const QList<std::shared_ptr<MCOMessageParser>> messages = {message("1@x"), message("2@x"), message("3@x"),
                                                               message("2@x")};
    MessageToHTMLToPDF engine(options);
    const auto place = [&](MCOMessageParser &m, bool *archived) {
        engine.setMainFolder("Main");
        engine.setMailFolder("INBOX");
        return engine.placeMessage(m, JobKey::emlFormat, archived);
    };
    // Four engines of one job, all busy at once: their claims keep the messages apart.
    auto claims = std::make_shared<OutputClaims>();
    std::vector<std::unique_ptr<MessageToHTMLToPDF>> engines;
    int indexes[4] = {};
    bool archived[4] = {};
    for (int i = 0; i < 4; ++i) {
        engines.push_back(std::make_unique<MessageToHTMLToPDF>(options));
        engines.back()->setOutputClaims(claims);
        engines.back()->setMainFolder("Main");
        engines.back()->setMailFolder("INBOX");
        indexes[i] = engines.back()->placeMessage(*messages[i], JobKey::emlFormat, &archived[i]);
    }
    EXPECT_EQ((std::vector<int>{indexes[0], indexes[1], indexes[2], indexes[3]}), (std::vector<int>{1, 2, 3, 2}));
    EXPECT_FALSE(archived[0] || archived[1] || archived[2]);
    EXPECT_TRUE(archived[3]);

    // The outputs are written, each with its identity; a later run finds each one again.
    for (int i = 0; i < 3; ++i) {
        JobOptions o = options;
        o.insert(JobKey::outputIndex, indexes[i]);
        const QString p =
            MessageToHTMLToPDF::destinationPath(*messages[i], "Main", "INBOX", JobKey::emlFormat, QString(), o);
        QFile f(p);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(messages[i]->originalData());
        f.close();
        ASSERT_TRUE(MessageToHTMLToPDF::storeMessageIdentity(p, MessageToHTMLToPDF::messageIdentity(*messages[i])));
    }
    for (int i : {2, 0, 1}) {
        bool done = false;
        EXPECT_EQ(place(*messages[i], &done), indexes[i]);
        EXPECT_TRUE(done);
    }
    bool done = false;
    EXPECT_EQ(place(*message("4@x"), &done), 4);
    EXPECT_FALSE(done);
}
