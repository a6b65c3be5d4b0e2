// The renderer's tagging step and PDF information step, checked with getfattr and pdfinfo.

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"
#include "openmeta/MetaTestSupport.h"

#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

using namespace MetaTestSupport;

namespace {

struct HeaderOnlyMessage : MCOAbstractMessage {};

std::shared_ptr<MCOMessageParser> parse(const QByteArray &headerLines)
{
    const QByteArray raw = "From: Anna <anna@example.com>\r\n"
                           "To: bob@example.org\r\n"
                           "Subject: hello\r\n"
                           "Date: Tue, 02 Jan 2024 03:04:05 +0000\r\n"
                           + headerLines + "\r\nbody\r\n";
    return MCOMessageParser::messageParserWithData(raw);
}

// One message header set per row; the file starts with the tags "old".
struct TagRow {
    const char *name;
    QByteArray headers;
    QString expectedTags; // user.xdg.tags as getfattr shows it
    QString logLine;      // a line that must be logged, or null
};

class TagsFromMessage : public ::testing::TestWithParam<TagRow> {};

TEST_P(TagsFromMessage, SetsFileTags)
{
    const TagRow &row = GetParam();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("attachment.txt"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_EQ(runTool(QStringLiteral("setfattr"), {"-n", "user.xdg.tags", "-v", "old", file}).exitCode, 0);

    const auto message = parse(row.headers);
    ASSERT_TRUE(message);
    Log::captureStart();
    MessageToHTMLToPDF::addAppleTags(*message, file);
    const QStringList lines = Log::captureTake();

    EXPECT_EQ(xdgTags(file), row.expectedTags);
    if (!row.logLine.isNull()) {
        ASSERT_EQ(lines.size(), 1);
        EXPECT_TRUE(lines[0].startsWith(row.logLine)) << lines[0].toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tags, TagsFromMessage,
    ::testing::Values(
        TagRow{"Commas", "X-Keywords: work,urgent\r\n", "work,urgent", {}},
        TagRow{"SpacesAndUnderscores", "X-Keywords: $label1 Needs_Reply\r\n", "$label1,Needs Reply", {}},
        TagRow{"CommaSpaceKeepsLeadingSpace", "X-Keywords: a, b\r\n", "a, b", {}},
        TagRow{"MailtagsJson", "X-Mailtags: {\"mailTagsKeyWords\":[\"alpha\",\"Beta\"]}\r\n", "alpha,Beta", {}},
        TagRow{"HeaderThenMailtags",
               "X-Keywords: work\r\nX-Mailtags: {\"mailTagsKeyWords\":[\"alpha\",\"WORK\"]}\r\n", "work,alpha", {}},
        TagRow{"MailtagsWithoutKey", "X-Mailtags: {\"other\":[\"x\"]}\r\n", "old", {}},
        TagRow{"BadJsonKeepsHeaderKeywords", "X-Keywords: work\r\nX-Mailtags: {not json\r\n", "work",
               QStringLiteral("jsonStringWithPrettyPrint: error: ")},
        TagRow{"NeitherHeaderLeavesTags", "", "old", {}},
        TagRow{"NonStringMailtagRefused", "X-Mailtags: {\"mailTagsKeyWords\":[\"a\",3]}\r\n", "old", {}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(TagsAddresses, MixedCaseFromAndToGiveTwoLowerCasedKeywords)
{
    HeaderOnlyMessage message;
    message.header().setFrom(MCOAddress(QStringLiteral("Anna"), QStringLiteral("Anna@Example.COM")));
    message.header().setTo({MCOAddress({}, QStringLiteral("anna@example.com"))});
    message.header().setCc({MCOAddress({}, QStringLiteral("Carl@Example.org")), MCOAddress(QStringLiteral("No box"), {})});
    QStringList addresses = MessageToHTMLToPDF::emailAddressesForMessage(message);
    addresses.sort();
    EXPECT_EQ(addresses, (QStringList{"anna@example.com", "carl@example.org"}));

    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
    ASSERT_TRUE(writeFile(pdf, onePagePdf("/Keywords (Carl@example.ORG, kept)")));
    MessageToHTMLToPDF::addEmailsAsKeywords(pdf, message);
    EXPECT_EQ(pdfinfo(pdf).value(QStringLiteral("Keywords")),
              QStringLiteral("carl@example.org, kept, anna@example.com"));
}

TEST(TagsPdfInfo, RewrittenPdfShowsMessageFields)
{
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
    ASSERT_TRUE(writeFile(pdf, onePagePdf("/Producer (Hand Press) /X-Archive (keep me)")));
    const QByteArray raw = "From: Anna Schmidt <Anna.Schmidt@Example.COM>\r\n"
                           "To: Bob <BOB@example.org>, anna.schmidt@example.com\r\n"
                           "Cc: carl@example.net\r\n"
                           "Subject: =?UTF-8?Q?Gr=C3=BC=C3=9Fe_aus_K=C3=B6ln?=\r\n"
                           "Date: Tue, 02 Jan 2024 03:04:05 +0000\r\n"
                           "X-Keywords: work,urgent\r\n"
                           "\r\nbody\r\n";
    const auto message = MCOMessageParser::messageParserWithData(raw);
    ASSERT_TRUE(message);
    MessageToHTMLToPDF::addEmailsAsKeywords(pdf, *message);
    MessageToHTMLToPDF::addAppleTags(*message, pdf);

    const QMap<QString, QString> info = pdfinfo(pdf);
    EXPECT_EQ(info.value(QStringLiteral("Title")), QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln"));
    EXPECT_EQ(info.value(QStringLiteral("Subject")), QStringLiteral("Gr\u00fc\u00dfe aus K\u00f6ln"));
    EXPECT_EQ(info.value(QStringLiteral("Author")), QStringLiteral("Anna.Schmidt@Example.COM"));
    QStringList keywords = info.value(QStringLiteral("Keywords")).split(QStringLiteral(", "));
    keywords.sort();
    EXPECT_EQ(keywords, (QStringList{"anna.schmidt@example.com", "bob@example.org", "carl@example.net"}));
    EXPECT_EQ(info.value(QStringLiteral("CreationDate")), QStringLiteral("2024-01-02T03:04:05Z"));
    EXPECT_EQ(info.value(QStringLiteral("Producer")), QStringLiteral("Hand Press"));
    EXPECT_TRUE(info.value(QStringLiteral("Creator")).startsWith(QStringLiteral("org.tarnwick.Tarnwick  version:")));

    const ToolRun check = runTool(QStringLiteral("qpdf"), {QStringLiteral("--check"), pdf});
    EXPECT_EQ(check.exitCode, 0) << check.out.toStdString();
    // The tags come after the rewrite, which replaces the file and its attributes.
    EXPECT_EQ(getfattr(pdf).value(QStringLiteral("user.xdg.tags")), QStringLiteral("\"work,urgent\""));
}

TEST(TagsPdfInfo, NoSubjectAndNoPlausibleDateLeaveEntriesOut)
{
    QTemporaryDir dir;
    const QString pdf = dir.filePath(QStringLiteral("m.pdf"));
    ASSERT_TRUE(writeFile(pdf, onePagePdf("/Producer (P)")));
    HeaderOnlyMessage message;
    message.header().setFrom(MCOAddress({}, QStringLiteral("a@b.c")));
    message.header().setDate(QDateTime::fromSecsSinceEpoch(5, QTimeZone::utc())); // too close to 1970
    MessageToHTMLToPDF::addEmailsAsKeywords(pdf, message);

    const QMap<QString, QString> info = pdfinfo(pdf);
    EXPECT_EQ(info.value(QStringLiteral("Author")), QStringLiteral("a@b.c"));
    EXPECT_FALSE(info.contains(QStringLiteral("Title")));
    EXPECT_FALSE(info.contains(QStringLiteral("Subject")));
    EXPECT_FALSE(info.contains(QStringLiteral("CreationDate")));
    EXPECT_TRUE(info.contains(QStringLiteral("ModDate")));
}

} // namespace
