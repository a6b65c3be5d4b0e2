#include "TestSupport.h"

#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"
#include "mailadapter/MCOMessagePart.h"
#include "mailadapter/MCOMultipart.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace {

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

QByteArray readFixture(const QString &relative)
{
    QFile file(TestSupport::fixturesDir() + QLatin1Char('/') + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::shared_ptr<MCOMessageParser> parseFixture(const QString &relative)
{
    const QByteArray bytes = readFixture(relative);
    EXPECT_FALSE(bytes.isEmpty()) << "missing fixture " << relative.toStdString();
    return MCOMessageParser::messageParserWithData(bytes);
}

QByteArray dataOf(const MCOAbstractPartPtr &part)
{
    const auto leaf = std::dynamic_pointer_cast<MCOAttachment>(part);
    return leaf ? leaf->data() : QByteArray();
}

// "1 2.1" or, with names, "2.2=broken.pdf 3=".
template <typename Part>
std::string listed(const QList<std::shared_ptr<Part>> &parts, bool withNames)
{
    QStringList out;
    for (const auto &part : parts)
        out.append(withNames ? part->partID() + QLatin1Char('=') + part->filename() : part->partID());
    return out.join(QLatin1Char(' ')).toStdString();
}

// ---- Which leaves are bodies, inline attachments, attachments: real messages --------

struct ClassRow {
    const char *name;
    const char *fixture;
    const char *bodies;
    const char *inlines;
    const char *attachments; // partID=filename
};

class FixtureClassification : public ::testing::TestWithParam<ClassRow> {};

TEST_P(FixtureClassification, SortsLeaves)
{
    REQUIRE_FIXTURES();
    const ClassRow row = GetParam();
    const auto message = parseFixture(QString::fromUtf8(row.fixture));
    EXPECT_EQ(listed(message->bodyTextParts(), false), row.bodies);
    EXPECT_EQ(listed(message->htmlInlineAttachments(), true), row.inlines);
    EXPECT_EQ(listed(message->attachments(), true), row.attachments);
}

INSTANTIATE_TEST_SUITE_P(
    MCOMessageParserFixtures, FixtureClassification,
    ::testing::Values(
        ClassRow{"htmlWithCidImage", "eml/malformed/enmime/html-only-inline.raw", "1.1", "1.2=favicon.png", ""},
        ClassRow{"relatedImageNotReferenced", "eml/malformed/dovecot/020.eml", "1", "", "2="},
        ClassRow{"forwardedMessageWalkedInto", "eml/nested/attachment_message_rfc822.eml", "1 2.1", "",
                 "2.2=broken.pdf"},
        ClassRow{"bounceWithDeliveryStatus", "eml/nested/bounce.txt", "1 3.1 3.2", "", "2="},
        ClassRow{"digestOfMessages", "eml/python/msg_02.txt", "1 2 3.1.1 3.2.1 3.3.1 3.4.1 3.5.1 4", "", ""},
        ClassRow{"duplicateNames", "mime4j-mimetools/dup-names.msg", "", "",
                 "1=one.gif 2=one.gif 3=two.nice.gif 4=two.nice.gif 5=two.nice.gif"},
        ClassRow{"nestedParallelAndRichtext", "mime4j-mimetools/multi-nested2.msg", "1 2 5.1", "",
                 "3.1=3d-vise.gif 3.2=3d-eye.gif 4="},
        ClassRow{"rfc2047FileName", "eml/cjk/japanese_attachment.eml", "1", "", "2=てすと.txt"},
        ClassRow{"rfc2231ContinuedName", "eml/cjk/japanese_attachment_long_name.eml", "", "",
                 "1=かきくけこかきくけこかきくけこかきくけこかきくけこ.txt"},
        ClassRow{"raw8bitFileName", "eml/rfc2047/attachment_nonascii_filename.eml", "1", "", "2=ciële.txt"},
        ClassRow{"tnefWinmailDat", "tnef/ukr.eml", "1", "", "2=winmail.dat"},
        ClassRow{"singlePartWithName", "mime4j/russian-headers.msg", "", "", "1=Список.doc"},
        ClassRow{"uuencodedWord", "eml/uuencode/content_transfer_encoding_x_uuencode.eml", "1", "",
                 "2=PGP_Cmts_on_12-14-01_Pkg.doc"}),
    rowName<ClassRow>);

// ---- The inline rule on small made-up messages --------------------------------------

struct RuleRow {
    const char *name;
    const char *parts; // MIME parts, each starting with its header block
    const char *bodies;
    const char *inlines;
    const char *attachments;
};

QByteArray multipartMessage(const QByteArray &type, const QList<QByteArray> &parts)
{
    QByteArray out = "From: a@example.org\r\nSubject: rule\r\nMIME-Version: 1.0\r\nContent-Type: " + type
        + "; boundary=\"XX\"\r\n\r\n";
    for (const QByteArray &part : parts)
        out += "--XX\r\n" + part; // each part ends in CRLF: the one before the next boundary
    out += "--XX--\r\n";
    return out;
}

class InlineRule : public ::testing::TestWithParam<RuleRow> {};

TEST_P(InlineRule, FollowsTheDocumentedRule)
{
    const RuleRow row = GetParam();
    const QList<QByteArray> parts = QByteArray(row.parts).split('|');
    const auto message = MCOMessageParser::messageParserWithData(multipartMessage("multipart/related", parts));
    EXPECT_EQ(listed(message->bodyTextParts(), false), row.bodies);
    EXPECT_EQ(listed(message->htmlInlineAttachments(), false), row.inlines);
    EXPECT_EQ(listed(message->attachments(), false), row.attachments);
}

#define HTML(body) "Content-Type: text/html; charset=utf-8\r\n\r\n" body "\r\n"
#define IMAGE(headers) "Content-Type: image/png\r\nContent-Transfer-Encoding: base64\r\n" headers "\r\niVBORw0KGgo=\r\n"

INSTANTIATE_TEST_SUITE_P(
    MCOMessageParserRule, InlineRule,
    ::testing::Values(
        RuleRow{"cidReferenced", HTML("<img src=\"cid:img1@x\">") "|" IMAGE("Content-ID: <img1@x>\r\n"), "1", "2", ""},
        RuleRow{"cidCaseAndPercentEncoding",
                HTML("<img src='CID:Image%201@X'>") "|" IMAGE("Content-ID: <image 1@x>\r\n"), "1", "2", ""},
        RuleRow{"cidNotReferenced", HTML("<p>no image</p>") "|" IMAGE("Content-ID: <img1@x>\r\n"), "1", "", "2"},
        RuleRow{"inlineDispositionAloneIsNotEnough", HTML("<p>x</p>") "|" IMAGE("Content-Disposition: inline\r\n"), "1",
                "", "2"},
        RuleRow{"locationReferenced", HTML("<img src=\"http://x.org/a.png\">") "|"
                    IMAGE("Content-Location: http://x.org/a.png\r\n"), "1", "2", ""},
        RuleRow{"locationPrefixIsNoReference", HTML("<img src=\"http://x.org/a.png.old\">") "|"
                    IMAGE("Content-Location: http://x.org/a.png\r\n"), "1", "", "2"},
        RuleRow{"textMarkedAttachment",
                "Content-Type: text/plain\r\nContent-Disposition: attachment\r\n\r\nnotes\r\n", "", "", "1"},
        RuleRow{"textWithFileName", "Content-Type: text/plain; name=\"a.txt\"\r\n\r\nnotes\r\n", "", "", "1"},
        RuleRow{"textInlineIsBody", "Content-Type: text/plain\r\nContent-Disposition: inline\r\n\r\nhi\r\n", "1", "",
                ""},
        RuleRow{"namelessPdf", "Content-Type: application/pdf\r\n\r\n%PDF-1.4\r\n", "", "", "1"},
        RuleRow{"calendarIsNoBody", "Content-Type: text/calendar\r\n\r\nBEGIN:VCALENDAR\r\n", "", "", "1"}),
    rowName<RuleRow>);

TEST(MCOMessageParserRule, SignatureAndCidFromAnAttachedMessage)
{
    // multipart/signed: the signature is an ordinary attachment. The image of the
    // attached message is referenced from the attached message's HTML: inline.
    const QByteArray inner = "Subject: inner\r\nContent-Type: multipart/related; boundary=\"IN\"\r\n\r\n"
                             "--IN\r\n" HTML("<img src=\"cid:pic\">") "--IN\r\n" IMAGE("Content-ID: <pic>\r\n")
                             "--IN--\r\n";
    const QByteArray signedPart = "Content-Type: multipart/signed; protocol=\"application/pgp-signature\"; "
                                  "boundary=\"SG\"\r\n\r\n--SG\r\nContent-Type: text/plain\r\n\r\nsigned text\r\n"
                                  "--SG\r\nContent-Type: application/pgp-signature; name=\"signature.asc\"\r\n\r\n"
                                  "-----BEGIN PGP SIGNATURE-----\r\n--SG--\r\n";
    const auto message = MCOMessageParser::messageParserWithData(
        multipartMessage("multipart/mixed", {signedPart, "Content-Type: message/rfc822\r\n\r\n" + inner}));
    EXPECT_EQ(listed(message->bodyTextParts(), false), "1.1 2.1");
    EXPECT_EQ(listed(message->htmlInlineAttachments(), false), "2.2");
    EXPECT_EQ(listed(message->attachments(), true), "1.2=signature.asc");
    EXPECT_EQ(message->partForContentID(QStringLiteral("<PIC>")), message->htmlInlineAttachments().value(0));
}

TEST(MCOMessageParserRule, PreferredAlternative)
{
    const QByteArray alternative = "Content-Type: multipart/alternative; boundary=\"AL\"\r\n\r\n"
                                   "--AL\r\nContent-Type: text/plain\r\n\r\nplain\r\n"
                                   "--AL\r\n" HTML("<b>html</b>") "--AL--\r\n";
    const auto message = MCOMessageParser::messageParserWithData(
        multipartMessage("multipart/mixed", {alternative, "Content-Type: text/plain\r\n\r\nfooter\r\n"}));
    EXPECT_EQ(listed(message->preferredBodyTextParts(MCOMessageParser::BodyPreference::HTML), false), "1.2 2");
    EXPECT_EQ(listed(message->preferredBodyTextParts(MCOMessageParser::BodyPreference::PlainText), false), "1.1 2");
    EXPECT_EQ(message->htmlBodyTexts().join(QLatin1Char('|')).toStdString(), "<b>html</b>");
    EXPECT_EQ(message->plainTextBodyTexts().join(QLatin1Char('|')).toStdString(), "plain|footer");
}

// ---- Part numbers against an IMAP server's answers ----------------------------------

struct Section {
    QString id;       // "2.1", "2.header"
    QByteArray bytes; // as the server sent it
};

// The non-partial BODY[...] / BINARY[...] answers of an imaptest script.
QList<Section> fetchedSections(const QByteArray &script)
{
    static const QRegularExpression block(QStringLiteral("(?:body|binary)\\[([^\\]]*)\\] ~?\\{\\{\\{\\n(.*?)\\}\\}\\}"),
                                          QRegularExpression::DotMatchesEverythingOption
                                              | QRegularExpression::CaseInsensitiveOption);
    QList<Section> out;
    auto it = block.globalMatch(QString::fromLatin1(script));
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        QByteArray bytes = m.captured(2).toLatin1();
        bytes.chop(1); // the script's own line break before "}}}"
        out.append({m.captured(1).toLower(), bytes});
    }
    return out;
}

QByteArray withoutCR(QByteArray bytes)
{
    bytes.replace('\r', QByteArray());
    return bytes;
}

class ImapSections : public ::testing::TestWithParam<const char *> {};

// Every section the server sent by number: a leaf must hold the same bytes, an attached
// message the same Subject.
TEST_P(ImapSections, PartNumbersMatchTheServer)
{
    REQUIRE_FIXTURES();
    const QString script = QString::fromLatin1(GetParam());
    const auto message = parseFixture(script + QLatin1String(".mbox"));
    static const QRegularExpression numeric(QStringLiteral("^[0-9]+(\\.[0-9]+)*$"));
    int checked = 0;
    for (const Section &section : fetchedSections(readFixture(script))) {
        if (!numeric.match(section.id).hasMatch())
            continue; // HEADER, TEXT, MIME sections
        const MCOAbstractPartPtr part = message->partForPartID(section.id);
        ASSERT_TRUE(part) << "no part " << section.id.toStdString();
        if (part->kind() == MCOAbstractPart::Kind::Single) {
            EXPECT_EQ(withoutCR(dataOf(part)).toStdString(), withoutCR(section.bytes).toStdString())
                << "section " << section.id.toStdString();
        } else if (const auto attached = std::dynamic_pointer_cast<MCOMessagePart>(part)) {
            static const QRegularExpression subject(QStringLiteral("^Subject: (.*)$"),
                                                    QRegularExpression::MultilineOption);
            const QRegularExpressionMatch m = subject.match(QString::fromLatin1(section.bytes));
            EXPECT_EQ(attached->header().subject().toStdString(),
                      m.hasMatch() ? m.captured(1).trimmed().toStdString() : std::string())
                << "section " << section.id.toStdString();
        }
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

INSTANTIATE_TEST_SUITE_P(MCOMessageParserImap, ImapSections,
                         ::testing::Values("imap/fetch-body-mime", "imap/fetch-body-message-rfc822-mime"));

class ImapBinarySizes : public ::testing::TestWithParam<const char *> {};

TEST_P(ImapBinarySizes, DecodedSizesMatchTheServer)
{
    REQUIRE_FIXTURES();
    const QString script = QString::fromLatin1(GetParam());
    // The server stored the mailbox with CRLF line ends; so must we to count alike.
    QByteArray mbox = readFixture(script + QLatin1String(".mbox"));
    mbox.replace("\n", "\r\n");
    const auto message = MCOMessageParser::messageParserWithData(mbox);
    static const QRegularExpression sizes(QStringLiteral("binary\\.size\\[([0-9.]+)\\] ([0-9]+)"));
    auto it = sizes.globalMatch(QString::fromLatin1(readFixture(script)));
    int checked = 0;
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        const MCOAbstractPartPtr part = message->partForPartID(m.captured(1));
        ASSERT_TRUE(part) << m.captured(1).toStdString();
        EXPECT_EQ(part->size(), m.captured(2).toLongLong()) << "part " << m.captured(1).toStdString();
        EXPECT_EQ(dataOf(part).size(), part->size());
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

INSTANTIATE_TEST_SUITE_P(MCOMessageParserImap, ImapBinarySizes,
                         ::testing::Values("imap/fetch-binary-mime-base64", "imap/fetch-binary-mime-qp"));

// ---- Decoded contents against mime4j's decoded files --------------------------------

TEST(MCOMessageParserDecoded, PartsMatchMime4jDecodedFiles)
{
    REQUIRE_FIXTURES();
    // Where the oracle and IMAP numbering part ways, on purpose:
    const QSet<QString> differ = {
        // mime4j numbers the multipart body of an attached message as a level of its own.
        QStringLiteral("mime4j/multipartdigestnestedemptyparts_decoded_1_1_1_1.txt"),
        // A base64-encoded message/rfc822 is one opaque leaf here (and in GMime and IMAP).
        QStringLiteral("mime4j/base64encoded-rfc822message-nested_decoded_1_1_1.txt"),
        // No header at all: not a message, so no parts.
        QStringLiteral("mime4j/malformedHeader-noheader_decoded_1.txt"),
        // The inner multipart has no boundary line: it has no parts (the oracle file is empty).
        QStringLiteral("mime4j/missing-inner-boundary_decoded_1_2_1.txt")};
    int compared = 0;
    for (const QString &folder : {QStringLiteral("mime4j"), QStringLiteral("mime4j-mimetools")}) {
        const QDir dir(TestSupport::fixturesDir() + QLatin1Char('/') + folder);
        const QStringList oracles =
            dir.entryList({QStringLiteral("*_decoded_*.txt"), QStringLiteral("*_decoded_*.bin")});
        for (const QString &file : oracles) {
            const QString relative = folder + QLatin1Char('/') + file;
            if (differ.contains(relative))
                continue;
            const qsizetype at = file.indexOf(QLatin1String("_decoded_"));
            const auto message = parseFixture(folder + QLatin1Char('/') + file.left(at) + QLatin1String(".msg"));
            // "_decoded_1_3_1" names the leaf numbered 3.1 below a multipart root, "_decoded_1" a single root.
            QStringList numbers = file.mid(at + 9).chopped(4).split(QLatin1Char('_'));
            numbers.removeFirst();
            QString id = numbers.join(QLatin1Char('.'));
            if (!message->mainPart() || message->mainPart()->kind() != MCOAbstractPart::Kind::Multipart)
                id = id.isEmpty() ? QStringLiteral("1") : QLatin1String("1.") + id;
            const MCOAbstractPartPtr part = message->partForPartID(id);
            ASSERT_TRUE(part) << relative.toStdString() << " -> part " << id.toStdString();
            QByteArray expected = readFixture(relative);
            QByteArray got = dataOf(part);
            if (file.endsWith(QLatin1String(".txt"))) {
                // mime4j writes quoted-printable line breaks as CRLF.
                expected = withoutCR(expected);
                got = withoutCR(got);
            }
            EXPECT_EQ(got, expected) << relative.toStdString();
            ++compared;
        }
    }
    EXPECT_GE(compared, 30);
}

TEST(MCOMessageParserDecoded, UuencodedAttachment)
{
    REQUIRE_FIXTURES();
    const auto parsed = MCOMessageParser::messageParserWithData(
        "Subject: uu\r\nContent-Type: image/jpeg; name=\"photo.jpg\"\r\nContent-Transfer-Encoding: x-uuencode\r\n\r\n"
        + readFixture(QStringLiteral("encodings/mimekit/photo.uu")));
    ASSERT_EQ(parsed->attachments().size(), 1);
    const QByteArray expected = readFixture(QStringLiteral("encodings/mimekit/photo.jpg"));
    EXPECT_EQ(parsed->attachments().first()->encoding(), MCOAbstractPart::Encoding::UUEncode);
    EXPECT_EQ(dataOf(parsed->attachments().first()), expected);
    EXPECT_EQ(parsed->attachments().first()->size(), expected.size());
}

// ---- Attached messages --------------------------------------------------------------

struct NestedRow {
    const char *name;
    const char *fixture;
    const char *messagePartID;
    const char *subject;
    const char *mainPartID;
    const char *mainType;
};

class NestedMessages : public ::testing::TestWithParam<NestedRow> {};

TEST_P(NestedMessages, HeaderAndBodyOfTheAttachedMessage)
{
    REQUIRE_FIXTURES();
    const NestedRow row = GetParam();
    const auto message = parseFixture(QString::fromUtf8(row.fixture));
    const auto part = std::dynamic_pointer_cast<MCOMessagePart>(message->partForPartID(row.messagePartID));
    ASSERT_TRUE(part) << row.messagePartID;
    EXPECT_EQ(part->mimeType().toStdString(), "message/rfc822");
    EXPECT_EQ(part->header().subject().toStdString(), row.subject);
    ASSERT_TRUE(part->mainPart());
    EXPECT_EQ(part->mainPart()->partID().toStdString(), row.mainPartID);
    EXPECT_EQ(part->mainPart()->mimeType().toStdString(), row.mainType);
}

INSTANTIATE_TEST_SUITE_P(
    MCOMessageParserNested, NestedMessages,
    ::testing::Values(
        NestedRow{"multipartBodySharesTheNumber", "eml/nested/attachment_message_rfc822.eml", "2", "Another PDF", "2",
                  "multipart/mixed"},
        NestedRow{"singleBodyIsDotOne", "mime4j-mimetools/multi-nested2.msg", "5",
                  "Part 5 of the outer message is itself an RFC822 message!", "5.1", "text/plain"},
        NestedRow{"digestEntry", "eml/python/msg_02.txt", "3.4", "[Ppp] testing #4", "3.4.1", "text/plain"},
        NestedRow{"topLevelMessageRfc822", "imap/fetch-body-message-rfc822-mime.mbox", "1", "submsg", "1",
                  "multipart/digest"}),
    rowName<NestedRow>);

// ---- Charsets and header leniencies on real messages ------------------------------

struct TextRow {
    const char *name;
    const char *fixture;
    const char *partID; // nullptr: the subject
    const char *contains;
};

class FixtureTexts : public ::testing::TestWithParam<TextRow> {};

TEST_P(FixtureTexts, DecodeLegibly)
{
    REQUIRE_FIXTURES();
    const TextRow row = GetParam();
    const auto message = parseFixture(QString::fromUtf8(row.fixture));
    QString text = message->header().subject();
    if (row.partID) {
        const auto part = std::dynamic_pointer_cast<MCOAttachment>(message->partForPartID(row.partID));
        ASSERT_TRUE(part);
        text = part->decodedString();
    }
    EXPECT_TRUE(text.contains(QString::fromUtf8(row.contains))) << text.left(300).toStdString();
}

INSTANTIATE_TEST_SUITE_P(
    MCOMessageParserTexts, FixtureTexts,
    ::testing::Values(TextRow{"shiftJis", "eml/cjk/japanese_shift_jis.eml", "1", "このメールはテスト用のメールです"},
                      TextRow{"iso2022jp", "eml/cjk/japanese_iso_2022.eml", "1", "すみません"},
                      TextRow{"ksc5601", "eml/cjk/ks_c_5601-1987.eml", "1", "스티해"},
                      TextRow{"koi8rNextToTnef", "tnef/ukr.eml", "1", "шостий"},
                      TextRow{"asciiLabelOnUtf8", "eml/malformed/enmime/incorrect-charset.raw", "1", "∮ E⋅da = Q"},
                      TextRow{"unknownCharsetHtml", "eml/malformed/enmime/unk-charset-html-only.raw", "1",
                              "Hello World!"},
                      TextRow{"latin1Qp", "mime4j-mimetools/german-qp.msg", "1", "Sönderzäichen"},
                      TextRow{"rawUtf8Subject", "eml/malformed/broken-subject.eml", nullptr, "Așa crapă headerul"},
                      TextRow{"byteOrderMark", "eml/malformed/with-bom.eml", nullptr, "xxxxxxxxxx"},
                      TextRow{"crOnlyLines", "eml/line-endings/cr-only-lhost-postfix-01.eml", nullptr,
                              "Undelivered Mail Returned to Sender"},
                      TextRow{"spaceBeforeHeader", "eml/malformed/enmime/bad-header-start.raw", nullptr, "plain text"},
                      TextRow{"mboxFromLine", "imap/fetch-envelope.mbox", nullptr, "subject header"}),
    rowName<TextRow>);

// ---- Every message of the corpus ----------------------------------------------------

// Everything the parse yields, as one text, to compare two parses.
QString fingerprint(const MCOMessageParser &message)
{
    QString out = message.header().description() + message.header().subject();
    for (const auto &leaf : message.mainPart() ? message.mainPart()->leaves() : QList<MCOAbstractPartPtr>())
        out += leaf->partID() + leaf->uniqueID() + leaf->mimeType() + leaf->filename() + QString::number(leaf->size());
    for (const auto &body : message.bodyTextParts())
        out += body->decodedString();
    for (const auto &part : message.htmlInlineAttachments() + message.attachments())
        out += part->uniqueID();
    return out;
}

QStringList corpusMessages()
{
    QStringList out;
    const QString root = TestSupport::fixturesDir();
    const QStringList folders = {QStringLiteral("eml"), QStringLiteral("mime4j"), QStringLiteral("mime4j-mimetools"),
                                 QStringLiteral("encodings"), QStringLiteral("imap"), QStringLiteral("partial"),
                                 QStringLiteral("tnef")};
    for (const QString &folder : folders) {
        QDirIterator it(root + QLatin1Char('/') + folder, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            const QString name = QFileInfo(path).fileName();
            // Oracles and non-message files of the corpus.
            if (name.contains(QLatin1String("_decoded")) || name.endsWith(QLatin1String(".xml"))
                || name.endsWith(QLatin1String(".out")) || name.endsWith(QLatin1String(".json"))
                || name.endsWith(QLatin1String(".tnef")) || name.endsWith(QLatin1String(".list"))
                || (folder == QLatin1String("imap") && !name.endsWith(QLatin1String(".mbox")))
                || (folder == QLatin1String("tnef") && name != QLatin1String("ukr.eml")))
                continue;
            out.append(path);
        }
    }
    out.sort();
    return out;
}

TEST(MCOMessageParserCorpus, EveryMessageParsesSanelyAndAlike)
{
    REQUIRE_FIXTURES();
    const QStringList files = corpusMessages();
    ASSERT_GE(files.size(), 100);
    static const QRegularExpression subjectLine(
        QStringLiteral("^Subject:[ \\t]*(\\S.*)$"),
        QRegularExpression::MultilineOption | QRegularExpression::CaseInsensitiveOption);
    for (const QString &path : files) {
        SCOPED_TRACE(path.toStdString());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        const auto first = MCOMessageParser::messageParserWithData(bytes);
        const auto second = MCOMessageParser::messageParserWithData(bytes);
        ASSERT_TRUE(first && second);
        EXPECT_EQ(first->data(), bytes);
        EXPECT_EQ(fingerprint(*first).toStdString(), fingerprint(*second).toStdString());

        // A message that starts with a header and has a non-empty Subject line in it
        // comes out with a non-empty subject free of control characters.
        const qsizetype headerEnd = bytes.indexOf("\n\n") >= 0 ? bytes.indexOf("\n\n") : bytes.indexOf("\r\n\r\n");
        const QString header = QString::fromLatin1(bytes.left(headerEnd < 0 ? bytes.size() : headerEnd));
        if (first->header().allHeaders().size() > 0 && subjectLine.match(header).hasMatch()) {
            EXPECT_FALSE(first->header().subject().trimmed().isEmpty());
        }
        for (const QChar c : first->header().subject()) {
            EXPECT_FALSE(c.unicode() < 0x20) << "control character in subject";
        }

        // Every leaf is exactly one of body text, inline attachment, attachment; IDs unique.
        const QList<MCOAbstractPartPtr> leaves =
            first->mainPart() ? first->mainPart()->leaves() : QList<MCOAbstractPartPtr>();
        QSet<QString> sorted, uniqueIDs;
        for (const auto &p : first->bodyTextParts())
            sorted.insert(p->uniqueID());
        for (const auto &p : first->htmlInlineAttachments() + first->attachments())
            sorted.insert(p->uniqueID());
        EXPECT_EQ(sorted.size(), leaves.size());
        for (const auto &leaf : leaves) {
            uniqueIDs.insert(leaf->uniqueID());
            EXPECT_TRUE(sorted.contains(leaf->uniqueID()));
            EXPECT_EQ(dataOf(leaf).size(), leaf->size()) << leaf->partID().toStdString();
            EXPECT_EQ(first->partForUniqueID(leaf->uniqueID()), leaf);
        }
        EXPECT_EQ(uniqueIDs.size(), leaves.size());
    }
}

// ---- Broken input -------------------------------------------------------------------

struct GarbageRow {
    const char *name;
    QByteArray bytes;
};

class Garbage : public ::testing::TestWithParam<GarbageRow> {};

TEST_P(Garbage, GivesAnEmptyMessageAndOneLogLine)
{
    Log::captureStart();
    const auto message = MCOMessageParser::messageParserWithData(GetParam().bytes);
    const QStringList log = Log::captureTake();
    ASSERT_TRUE(message);
    EXPECT_TRUE(message->header().subject().isNull());
    EXPECT_TRUE(message->header().allHeaders().isEmpty());
    EXPECT_FALSE(message->mainPart());
    EXPECT_TRUE(message->attachments().isEmpty());
    EXPECT_TRUE(message->bodyTextParts().isEmpty());
    EXPECT_EQ(message->data(), GetParam().bytes);
    EXPECT_EQ(log.size(), 1) << log.join(QLatin1Char('\n')).toStdString();
}

QByteArray randomBytes(quint32 seed, int size)
{
    QRandomGenerator generator(seed);
    QByteArray out(size, '\0');
    for (char &c : out)
        c = char(generator.bounded(256));
    return out;
}

INSTANTIATE_TEST_SUITE_P(MCOMessageParserGarbage, Garbage,
                         ::testing::Values(GarbageRow{"empty", QByteArray()}, GarbageRow{"blankLines", "\r\n\r\n \t\n"},
                                           GarbageRow{"proseWithoutHeader", "hello world\nno header here\n"},
                                           GarbageRow{"binary", randomBytes(7, 4096)},
                                           GarbageRow{"nulBytes", QByteArray(64, '\0')}),
                         rowName<GarbageRow>);

const char kSmallMultipart[] =
    "From: =?utf-8?q?J=C3=BCrgen?= <j@example.org>\r\n"
    "Subject: =?utf-8?B?w5xiZXJzaWNodA==?=\r\n"
    "Content-Type: multipart/mixed; boundary=\"B1\"\r\n"
    "\r\n"
    "--B1\r\n"
    "Content-Type: multipart/alternative; boundary=\"B2\"\r\n"
    "\r\n"
    "--B2\r\n"
    "Content-Type: text/plain; charset=iso-8859-1\r\n"
    "Content-Transfer-Encoding: quoted-printable\r\n"
    "\r\n"
    "Gr=FC=DFe\r\n"
    "--B2\r\n"
    "Content-Type: text/html; charset=utf-8\r\n"
    "\r\n"
    "<img src=\"cid:c1\">\r\n"
    "--B2--\r\n"
    "--B1\r\n"
    "Content-Type: image/png\r\nContent-ID: <c1>\r\nContent-Transfer-Encoding: base64\r\n"
    "\r\n"
    "iVBORw0KGgo=\r\n"
    "--B1\r\n"
    "Content-Type: message/rfc822\r\n"
    "\r\n"
    "Subject: inner\r\n"
    "Content-Type: application/pdf; name*=utf-8''%E2%82%AC.pdf\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    "JVBERi0xLjQK\r\n"
    "--B1--\r\n";

TEST(MCOMessageParserRobustness, EveryPrefixParses)
{
    const QByteArray whole(kSmallMultipart);
    const auto complete = MCOMessageParser::messageParserWithData(whole);
    EXPECT_EQ(listed(complete->bodyTextParts(), false), "1.1 1.2");
    EXPECT_EQ(listed(complete->htmlInlineAttachments(), false), "2");
    EXPECT_EQ(listed(complete->attachments(), true), "3.1=€.pdf");
    for (qsizetype n = 0; n <= whole.size(); ++n) {
        const auto message = MCOMessageParser::messageParserWithData(whole.left(n));
        ASSERT_TRUE(message) << n;
        for (const auto &leaf : message->mainPart() ? message->mainPart()->leaves() : QList<MCOAbstractPartPtr>()) {
            EXPECT_EQ(dataOf(leaf).size(), leaf->size()) << "prefix " << n;
        }
        for (const auto &body : message->bodyTextParts())
            body->decodedString();
    }
}

TEST(MCOMessageParserRobustness, NestingAndPartCountAreBounded)
{
    QByteArray deep = "Subject: deep\r\n";
    for (int i = 0; i < 100; ++i)
        deep += "Content-Type: multipart/mixed; boundary=\"d" + QByteArray::number(i) + "\"\r\n\r\n--d"
            + QByteArray::number(i) + "\r\n";
    deep += "Content-Type: text/plain\r\n\r\nleaf\r\n";
    Log::captureStart();
    const auto nested = MCOMessageParser::messageParserWithData(deep);
    EXPECT_EQ(Log::captureTake().size(), 1);
    int depth = 0;
    for (MCOAbstractPartPtr p = nested->mainPart(); p && !p->childParts().isEmpty(); p = p->childParts().first())
        ++depth;
    EXPECT_EQ(depth, MCOMessageParser::kMaxDepth);

    QByteArray wide = "Subject: wide\r\nContent-Type: multipart/mixed; boundary=\"w\"\r\n\r\n";
    for (int i = 0; i < MCOMessageParser::kMaxParts + 50; ++i)
        wide += "--w\r\nContent-Type: application/octet-stream\r\n\r\nx\r\n";
    wide += "--w--\r\n";
    Log::captureStart();
    const auto many = MCOMessageParser::messageParserWithData(wide);
    EXPECT_EQ(Log::captureTake().size(), 1);
    EXPECT_EQ(many->attachments().size() + 1, MCOMessageParser::kMaxParts);
}

} // namespace
