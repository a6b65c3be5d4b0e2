#include <libetpan/libetpan.h>

#include "TestSupport.h"

#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOIMAPPart.h"
#include "mailadapter/MCOMessageParser.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

namespace {

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

// Untagged FETCH responses parsed by libetpan's own response parser, fed from memory
// through a socket pair: the structures are exactly those an IMAP session hands over.
class FetchResponses {
public:
    explicit FetchResponses(const QByteArray &untagged)
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            return;
        // libetpan expects the tag of the session's current command, which is "0".
        const QByteArray all = untagged + "0 OK done\r\n";
        const bool written = write(fds[0], all.constData(), size_t(all.size())) == ssize_t(all.size());
        close(fds[0]);
        m_session = mailimap_new(0, nullptr);
        m_session->imap_stream = mailstream_socket_open(fds[1]);
        if (written && mailimap_read_line(m_session))
            m_ok = mailimap_parse_response(m_session, &m_response) == MAILIMAP_NO_ERROR;
    }
    ~FetchResponses()
    {
        if (m_response)
            mailimap_response_free(m_response);
        if (m_session) {
            // Closed first: mailimap_free would otherwise say LOGOUT to the closed peer.
            if (m_session->imap_stream)
                mailstream_close(m_session->imap_stream);
            m_session->imap_stream = nullptr;
            mailimap_free(m_session);
        }
    }
    bool ok() const { return m_ok; }
    QList<const mailimap_msg_att *> messages() const
    {
        QList<const mailimap_msg_att *> out;
        const mailimap_response_info *info = m_session ? m_session->imap_response_info : nullptr;
        clist *list = info ? info->rsp_fetch_list : nullptr;
        for (clistiter *it = list ? clist_begin(list) : nullptr; it; it = clist_next(it))
            out.append(static_cast<const mailimap_msg_att *>(clist_content(it)));
        return out;
    }

private:
    mailimap *m_session = nullptr;
    mailimap_response *m_response = nullptr;
    bool m_ok = false;
};

std::shared_ptr<MCOIMAPMessage> messageFromBodyStructure(const QByteArray &structure)
{
    FetchResponses responses("* 1 FETCH (UID 1 BODYSTRUCTURE " + structure + ")\r\n");
    EXPECT_TRUE(responses.ok()) << structure.constData();
    const auto messages = responses.messages();
    return MCOIMAPMessage::messageWithFetchAttributes(messages.isEmpty() ? nullptr : messages.first());
}

// The tree in pre-order, one "partID kind type filename uniqueID" line per part.
std::string tree(const MCOAbstractPartPtr &root)
{
    QStringList lines;
    QList<MCOAbstractPartPtr> stack;
    if (root)
        stack.append(root);
    while (!stack.isEmpty()) {
        const MCOAbstractPartPtr part = stack.takeFirst();
        const char *kind = part->kind() == MCOAbstractPart::Kind::Single      ? "leaf"
                         : part->kind() == MCOAbstractPart::Kind::Multipart ? "multi"
                                                                            : "message";
        lines.append(QStringLiteral("[%1] %2 %3 %4 %5")
                         .arg(part->partID(), QLatin1String(kind), part->mimeType(), part->filename(),
                              part->uniqueID()));
        stack = part->childParts() + stack;
    }
    return lines.join(QLatin1Char('\n')).toStdString();
}

// "[] [1] [1.1]": every part number, pre-order.
std::string partIDs(const MCOAbstractPartPtr &root)
{
    QStringList out;
    for (QList<MCOAbstractPartPtr> stack{root}; !stack.isEmpty() && stack.first();) {
        const MCOAbstractPartPtr part = stack.takeFirst();
        out.append(QLatin1Char('[') + part->partID() + QLatin1Char(']'));
        stack = part->childParts() + stack;
    }
    return out.join(QLatin1Char(' ')).toStdString();
}

std::string ids(const QList<MCOAbstractPartPtr> &parts)
{
    QStringList out;
    for (const auto &part : parts)
        out.append(part->partID());
    return out.join(QLatin1Char(' ')).toStdString();
}

#define TEXT(sub, extra) "(\"TEXT\" \"" sub "\" (\"CHARSET\" \"utf-8\"" extra ") NIL NIL \"7BIT\" 10 1 NIL NIL NIL NIL)"
#define PNG(id, dsp) "(\"IMAGE\" \"PNG\" (\"NAME\" \"a.png\") " id " NIL \"BASE64\" 100 NIL " dsp " NIL NIL)"

// ---- Body structures ----------------------------------------------------------------

struct StructureRow {
    const char *name;
    const char *structure;
    const char *bodies;
    const char *inlines;
    const char *attachments;
    const char *partIDs; // every part, pre-order
};

class BodyStructures : public ::testing::TestWithParam<StructureRow> {};

TEST_P(BodyStructures, NumberAndSortParts)
{
    const StructureRow row = GetParam();
    const auto message = messageFromBodyStructure(row.structure);
    EXPECT_EQ(ids(message->bodyTextParts()), row.bodies);
    EXPECT_EQ(ids(message->htmlInlineAttachments()), row.inlines);
    EXPECT_EQ(ids(message->attachments()), row.attachments);
    EXPECT_EQ(partIDs(message->mainPart()), row.partIDs);
}

INSTANTIATE_TEST_SUITE_P(
    MCOIMAPStructures, BodyStructures,
    ::testing::Values(
        StructureRow{"singleText", TEXT("PLAIN", ""), "1", "", "", "[1]"},
        StructureRow{"relatedImageWithCid",
                     "(" TEXT("HTML", "") PNG("\"<img1@x>\"", "NIL") " \"RELATED\" NIL NIL NIL NIL)", "1", "2", "",
                     "[] [1] [2]"},
        StructureRow{"relatedImageWithoutCid", "(" TEXT("HTML", "") PNG("NIL", "NIL") " \"RELATED\" NIL NIL NIL NIL)",
                     "1", "", "2", "[] [1] [2]"},
        StructureRow{"cidOutsideRelated", "(" TEXT("HTML", "") PNG("\"<img1@x>\"", "NIL") " \"MIXED\" NIL NIL NIL NIL)",
                     "1", "", "2", "[] [1] [2]"},
        StructureRow{"namedTextIsAttachment", "(" TEXT("PLAIN", "") TEXT("PLAIN", " \"NAME\" \"notes.txt\"")
                     " \"MIXED\" NIL NIL NIL NIL)", "1", "", "2", "[] [1] [2]"},
        StructureRow{"nestedAlternativeInMixed",
                     "((" TEXT("PLAIN", "") TEXT("HTML", "") " \"ALTERNATIVE\" NIL NIL NIL NIL)"
                     PNG("NIL", "(\"attachment\" (\"FILENAME\" \"a.png\"))") " \"MIXED\" NIL NIL NIL NIL)",
                     "1.1 1.2", "", "2", "[] [1] [1.1] [1.2] [2]"},
        StructureRow{"attachedMessageWithMultipartBody",
                     "(" TEXT("PLAIN", "") "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 300 "
                     "(\"Sun, 12 Aug 2012 12:34:56 +0300\" \"inner\" NIL NIL NIL NIL NIL NIL NIL NIL) "
                     "(" TEXT("PLAIN", "") PNG("NIL", "NIL") " \"MIXED\" NIL NIL NIL NIL) 12 NIL NIL NIL NIL)"
                     " \"MIXED\" NIL NIL NIL NIL)",
                     "1 2.1", "", "2.2", "[] [1] [2] [2] [2.1] [2.2]"},
        StructureRow{"attachedMessageWithSingleBody",
                     "(" TEXT("PLAIN", "") "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 300 "
                     "(NIL \"inner\" NIL NIL NIL NIL NIL NIL NIL NIL) " TEXT("PLAIN", "") " 12 NIL NIL NIL NIL)"
                     " \"MIXED\" NIL NIL NIL NIL)",
                     "1 2.1", "", "", "[] [1] [2] [2.1]"},
        StructureRow{"nonExtensibleBody",
                     "((\"TEXT\" \"x-MYOWN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 7 1) \"MIXED\")", "", "", "1",
                     "[] [1]"}),
    rowName<StructureRow>);

TEST(MCOIMAPStructures, LeafFields)
{
    const auto message = messageFromBodyStructure(
        "((\"APPLICATION\" \"PDF\" (\"NAME\" \"=?UTF-8?B?4oKsLnBkZg==?=\") \"<doc@x>\" NIL \"BASE64\" 780 NIL "
        "(\"attachment\" (\"FILENAME*\" \"utf-8''%E2%82%AC%20rates.pdf\")) NIL \"http://x.org/r.pdf\")"
        "(\"APPLICATION\" \"OCTET-STREAM\" (\"NAME\" \"=?UTF-8?B?4oKsLnBkZg==?=\") NIL NIL \"X-UUENCODE\" 99 NIL "
        "(\"INLINE\" NIL) NIL NIL)"
        " \"MIXED\" NIL NIL NIL NIL)");
    const auto pdf = std::dynamic_pointer_cast<MCOIMAPPart>(message->partForPartID(QStringLiteral("1")));
    ASSERT_TRUE(pdf);
    EXPECT_EQ(pdf->mimeType().toStdString(), "application/pdf");
    EXPECT_EQ(pdf->filename().toStdString(), "€ rates.pdf") << "the disposition's RFC 2231 name wins";
    EXPECT_EQ(pdf->contentID().toStdString(), "doc@x");
    EXPECT_EQ(pdf->contentLocation().toStdString(), "http://x.org/r.pdf");
    EXPECT_EQ(pdf->encoding(), MCOAbstractPart::Encoding::Base64);
    EXPECT_EQ(pdf->disposition(), MCOAbstractPart::Disposition::Attachment);
    EXPECT_EQ(pdf->size(), 780);
    EXPECT_EQ(pdf->decodedSize(), 570);
    const auto other = message->partForPartID(QStringLiteral("2"));
    ASSERT_TRUE(other);
    EXPECT_EQ(other->filename().toStdString(), "€.pdf") << "RFC 2047 in the Content-Type name";
    EXPECT_EQ(other->encoding(), MCOAbstractPart::Encoding::UUEncode);
    EXPECT_TRUE(other->isInlineAttachment());
    EXPECT_EQ(message->partForContentID(QStringLiteral("<doc@x>")), pdf);
}

// ---- Parsed and IMAP trees line up --------------------------------------------------

struct SameTreeRow {
    const char *name;
    const char *fixture;
    const char *structure; // what an IMAP server answers for the fixture; nullptr: read it from `script`
    const char *script;
};

class SameTree : public ::testing::TestWithParam<SameTreeRow> {};

TEST_P(SameTree, ParsedAndImapPartsLineUp)
{
    REQUIRE_FIXTURES();
    const SameTreeRow row = GetParam();
    QFile file(TestSupport::fixturesDir() + QLatin1Char('/') + QLatin1String(row.fixture));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const auto parsed = MCOMessageParser::messageParserWithData(file.readAll());

    QByteArray structure = row.structure ? QByteArray(row.structure) : QByteArray();
    if (!row.structure) {
        QFile script(TestSupport::fixturesDir() + QLatin1Char('/') + QLatin1String(row.script));
        ASSERT_TRUE(script.open(QIODevice::ReadOnly));
        const QRegularExpression body(QStringLiteral("\\* 1 FETCH \\(BODY (.*)\\)\\s*$"),
                                      QRegularExpression::MultilineOption);
        const auto m = body.match(QString::fromLatin1(script.readAll()));
        ASSERT_TRUE(m.hasMatch());
        structure = m.captured(1).toLatin1();
    }
    const auto imap = messageFromBodyStructure(structure);
    EXPECT_EQ(tree(imap->mainPart()), tree(parsed->mainPart()));
    auto uniqueIDs = [](const QList<MCOAbstractPartPtr> &parts) {
        QStringList out;
        for (const auto &part : parts)
            out.append(part->uniqueID());
        return out.join(QLatin1Char(' ')).toStdString();
    };
    EXPECT_EQ(uniqueIDs(imap->attachments()), uniqueIDs(parsed->attachments()));
    EXPECT_EQ(uniqueIDs(imap->htmlInlineAttachments()), uniqueIDs(parsed->htmlInlineAttachments()));
}

INSTANTIATE_TEST_SUITE_P(
    MCOIMAPSameTree, SameTree,
    ::testing::Values(
        SameTreeRow{"serverAnswer", "imap/fetch-bodystructure.mbox", nullptr, "imap/fetch-bodystructure"},
        SameTreeRow{"attachedMessage", "imap/fetch-body-mime.mbox",
                    "((\"TEXT\" \"X-MYOWN\" (\"CHARSET\" \"us-ascii\") NIL NIL \"7BIT\" 7 1 NIL NIL NIL NIL)"
                    "(\"MESSAGE\" \"RFC822\" NIL NIL NIL \"7BIT\" 300 "
                    "(\"Sun, 12 Aug 2012 12:34:56 +0300\" \"submsg\" ((NIL NIL \"sub\" \"domain.org\")) NIL NIL NIL "
                    "NIL NIL NIL NIL) "
                    "((\"TEXT\" \"HTML\" NIL NIL NIL \"7BIT\" 20 1 NIL NIL NIL NIL)"
                    "(\"TEXT\" \"PLAIN\" NIL NIL NIL \"7BIT\" 21 1 NIL NIL NIL NIL) \"ALTERNATIVE\" "
                    "(\"BOUNDARY\" \"sub1\") NIL NIL NIL) 15 NIL NIL NIL NIL) \"MIXED\" (\"BOUNDARY\" \"foo bar\") "
                    "NIL NIL NIL)",
                    nullptr}),
    rowName<SameTreeRow>);

// ---- Headers: envelopes against the parsed messages ---------------------------------

QString addresses(const MCOAddressList &list)
{
    QStringList out;
    for (const MCOAddress &a : list)
        out.append(a.nonEncodedRFC822String());
    return out.join(QLatin1String(", "));
}

TEST(MCOIMAPEnvelope, MatchesTheParsedHeaderOfEachMessage)
{
    REQUIRE_FIXTURES();
    QFile script(TestSupport::fixturesDir() + QLatin1String("/imap/fetch-envelope"));
    QFile mbox(TestSupport::fixturesDir() + QLatin1String("/imap/fetch-envelope.mbox"));
    ASSERT_TRUE(script.open(QIODevice::ReadOnly) && mbox.open(QIODevice::ReadOnly));
    QByteArray responses;
    for (const QByteArray &line : script.readAll().split('\n')) {
        if (line.startsWith("* "))
            responses += line + "\r\n";
    }
    FetchResponses fetched(responses);
    ASSERT_TRUE(fetched.ok());
    const QList<QByteArray> raw = mbox.readAll().split('\n');
    QList<QByteArray> messages;
    for (const QByteArray &line : raw) {
        if (line.startsWith("From "))
            messages.append(QByteArray());
        else if (!messages.isEmpty())
            messages.last() += line + '\n';
    }
    const auto envelopes = fetched.messages();
    ASSERT_EQ(envelopes.size(), messages.size());
    for (qsizetype i = 0; i < messages.size(); ++i) {
        SCOPED_TRACE(i + 1);
        const MCOMessageHeader imap = MCOIMAPMessage::messageWithFetchAttributes(envelopes[i])->header();
        const MCOMessageHeader parsed = MCOMessageParser::messageParserWithData(messages[i])->header();
        EXPECT_EQ(imap.subject().toStdString(), parsed.subject().toStdString());
        EXPECT_EQ(imap.date(), parsed.date());
        EXPECT_EQ(imap.messageID().toStdString(), parsed.messageID().toStdString());
        EXPECT_EQ(imap.from().nonEncodedRFC822String().toStdString(),
                  parsed.from().nonEncodedRFC822String().toStdString());
        EXPECT_EQ(addresses(imap.to()).toStdString(), addresses(parsed.to()).toStdString());
        EXPECT_EQ(addresses(imap.cc()).toStdString(), addresses(parsed.cc()).toStdString());
        EXPECT_EQ(addresses(imap.bcc()).toStdString(), addresses(parsed.bcc()).toStdString());
        // IMAP fills a missing or empty Sender and Reply-To with From; a parsed header keeps them empty.
        if (!parsed.sender().isEmpty()) {
            EXPECT_EQ(imap.sender().nonEncodedRFC822String().toStdString(),
                      parsed.sender().nonEncodedRFC822String().toStdString());
        }
        if (!parsed.replyTo().isEmpty()) {
            EXPECT_EQ(addresses(imap.replyTo()).toStdString(), addresses(parsed.replyTo()).toStdString());
        }
    }
}

TEST(MCOIMAPMessage, FetchItems)
{
    const QByteArray header = "Subject: =?utf-8?q?from_the_header?=\r\n"
                              "Delivery-date: Wed, 17 Jul 1996 09:44:30 +0000\r\n\r\n";
    FetchResponses fetched("* 3 FETCH (UID 42 FLAGS (\\Seen \\Flagged $Forwarded Junk \\Recent) RFC822.SIZE 2048 "
                           "INTERNALDATE \"17-Jul-1996 02:44:25 -0700\" "
                           "ENVELOPE (NIL \"from the envelope\" NIL NIL NIL NIL NIL NIL NIL NIL) "
                           "BODY[HEADER] {" + QByteArray::number(header.size()) + "}\r\n" + header + ")\r\n"
                           "* 4 FETCH (ENVELOPE (\"Tue, 2 Jan 2024 10:00:05 +0100\" \"=?koi8-r?B?8NLJ18XU?=\" "
                           "((\"=?utf-8?q?J=C3=BCrgen?=\" NIL \"j\" \"example.org\")) NIL NIL "
                           "((NIL NIL \"team\" NIL)(\"A\" NIL \"a\" \"example.org\")(NIL NIL NIL NIL)) NIL NIL NIL "
                           "\"<id@example.org>\"))\r\n");
    ASSERT_TRUE(fetched.ok());
    ASSERT_EQ(fetched.messages().size(), 2);
    const auto message = MCOIMAPMessage::messageWithFetchAttributes(fetched.messages().first());
    EXPECT_EQ(message->uid(), 42u);
    EXPECT_EQ(message->flags(), MCOIMAPMessage::Flags(MCOIMAPMessage::FlagSeen | MCOIMAPMessage::FlagFlagged
                                                      | MCOIMAPMessage::FlagForwarded | MCOIMAPMessage::FlagRecent));
    EXPECT_EQ(message->customFlags(), QStringList{QStringLiteral("Junk")});
    EXPECT_EQ(message->size(), 2048u);
    EXPECT_EQ(message->internalDate().toString(Qt::ISODate).toStdString(), "1996-07-17T09:44:25Z");
    EXPECT_EQ(message->header().subject().toStdString(), "from the header") << "raw header bytes win";
    EXPECT_EQ(message->header().extraHeaderValueForName(QStringLiteral("Delivery-date")).toStdString(),
              "Wed, 17 Jul 1996 09:44:30 +0000");
    EXPECT_FALSE(message->mainPart());

    const MCOMessageHeader h = MCOIMAPMessage::messageWithFetchAttributes(fetched.messages().last())->header();
    EXPECT_EQ(h.subject().toStdString(), "Привет");
    EXPECT_EQ(h.date().toString(Qt::ISODate).toStdString(), "2024-01-02T09:00:05Z");
    EXPECT_EQ(h.from().nonEncodedRFC822String().toStdString(), "Jürgen <j@example.org>");
    EXPECT_EQ(addresses(h.to()).toStdString(), "A <a@example.org>") << "group markers carry no address";
    EXPECT_EQ(h.messageID().toStdString(), "id@example.org");
}

} // namespace
