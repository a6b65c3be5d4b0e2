#include "mailadapter/MCOHeaderDecoder.h"
#include "mailadapter/MCOMessageParser.h"

#include <gtest/gtest.h>

namespace {

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

// ---- Unstructured text: RFC 2047 words and raw 8-bit bytes -------------------------

struct TextRow {
    const char *name;
    const char *raw;
    const char *expected;
    const char *hint = nullptr;
};

class HeaderTextRows : public ::testing::TestWithParam<TextRow> {};

TEST_P(HeaderTextRows, DecodesToUnicode)
{
    const TextRow row = GetParam();
    QList<QByteArray> hints;
    if (row.hint)
        hints.append(row.hint);
    EXPECT_EQ(MCOHeaderDecoder::decodeText(row.raw, hints).toStdString(), std::string(row.expected)) << row.raw;
}

INSTANTIATE_TEST_SUITE_P(
    MCOHeaderText, HeaderTextRows,
    ::testing::Values(
        TextRow{"plainTrimmed", "  Hello   world ", "Hello   world"},
        TextRow{"foldedLine", "Hello\r\n world", "Hello world"},
        TextRow{"base64Utf8", "=?UTF-8?B?44G+44G/44KA44KB44KC?=", "まみむめも"},
        TextRow{"underscoreIsSpace", "=?utf-8?Q?hello_world?=", "hello world"},
        TextRow{"spaceBetweenWordsDropped", "=?utf-8?q?a?= \r\n =?utf-8?q?b?=", "ab"},
        TextRow{"textBetweenWordsKept", "=?utf-8?q?a?= x =?utf-8?q?b?=", "a x b"},
        TextRow{"multibyteSplitAcrossWords", "=?utf-8?Q?=E6=97?= =?utf-8?Q?=A5?=", "日"},
        TextRow{"iso2022jpWord", "=?ISO-2022-JP?B?GyRCJUYlOSVIGyhC?=", "テスト"},
        TextRow{"koi8rWord", "Re: =?koi8-r?B?8NLJ18XU?=", "Re: Привет"},
        TextRow{"wordInsideWord", "foo=?utf-8?q?bar?=baz", "foobarbaz"},
        TextRow{"base64WithoutPadding", "=?utf-8?b?Y2Fmw6k?=", "café"},
        TextRow{"unknownCharsetGuessed", "=?x-unknown?q?caf=E9?=", "café"},
        TextRow{"asciiLabelUtf8Bytes", "=?us-ascii?q?caf=C3=A9?=", "café"},
        TextRow{"utf8LabelLatin1Bytes", "=?utf-8?q?caf=E9?=", "café"},
        TextRow{"unterminatedWordKept", "=?utf-8?q?unterminated", "=?utf-8?q?unterminated"},
        TextRow{"badEncodingLetterKept", "=?utf-8?x?abc?=", "=?utf-8?x?abc?="},
        TextRow{"rawLatin1", "Gr\xFC\xDF" "e aus M\xFCnchen", "Grüße aus München"},
        TextRow{"rawKoi8WithHint", "\xEF\xD4\xDE\xA3\xD4", "Отчёт", "koi8-r"},
        TextRow{"rawShiftJis", "\x83\x65\x83\x58\x83\x67\x82\xC5\x82\xB7", "テストです"},
        TextRow{"rawAndEncodedMixed", "Gr\xFC\xDF" "e =?utf-8?q?=E2=82=AC?=", "Grüße €"}),
    rowName<TextRow>);

// ---- Parameters: RFC 2231 and RFC 2047 file names ----------------------------------

struct ParamRow {
    const char *name;
    const char *field;
    const char *param;
    const char *expected; // nullptr: absent
};

class ParameterRows : public ::testing::TestWithParam<ParamRow> {};

TEST_P(ParameterRows, DecodesTheValue)
{
    const ParamRow row = GetParam();
    const QString value = MCOHeaderDecoder::parameter(row.field, row.param);
    if (!row.expected) {
        EXPECT_TRUE(value.isNull()) << value.toStdString();
        return;
    }
    EXPECT_EQ(value.toStdString(), std::string(row.expected)) << row.field;
}

INSTANTIATE_TEST_SUITE_P(
    MCOHeaderParameters, ParameterRows,
    ::testing::Values(
        ParamRow{"quoted", "attachment; filename=\"report.pdf\"", "filename", "report.pdf"},
        ParamRow{"rfc2231Utf8", "attachment; filename*=utf-8''%E2%82%AC%20rates.pdf", "filename", "€ rates.pdf"},
        ParamRow{"rfc2231Language", "attachment; filename*=iso-8859-1'de'Gr%FC%DFe.txt", "filename", "Grüße.txt"},
        ParamRow{"continuationsEncodedAndPlain",
                 "attachment;\r\n filename*0*=utf-8''%E3%81%A6;\r\n filename*1*=%E3%81%99;\r\n filename*2=\".txt\"",
                 "filename", "てす.txt"},
        ParamRow{"continuationsOutOfOrder", "attachment; filename*1=\"b.txt\"; filename*0=\"a\"", "filename",
                 "ab.txt"},
        ParamRow{"continuationMissing", "attachment; filename*0=\"a\"; filename*2=\"c.txt\"", "filename", "ac.txt"},
        ParamRow{"rfc2047InQuotes", "attachment; filename=\"=?UTF-8?B?44Gm44GZ44GoLnR4dA==?=\"", "filename",
                 "てすと.txt"},
        ParamRow{"extendedWinsOverPlain", "attachment; filename=\"fallback.txt\"; filename*=utf-8''real.txt",
                 "filename", "real.txt"},
        ParamRow{"unquotedWithSpaces", "attachment; filename=My File.pdf", "filename", "My File.pdf"},
        ParamRow{"raw8bitLatin1", "attachment; filename=\"ci\xEBle.txt\"", "filename", "ciële.txt"},
        ParamRow{"escapedQuote", "attachment; filename=\"a\\\"b.txt\"", "filename", "a\"b.txt"},
        ParamRow{"quotedSemicolon", "attachment; filename=\"a;b.txt\"; size=3", "filename", "a;b.txt"},
        ParamRow{"unknownCharset2231", "attachment; filename*=x-unknown''caf%E9.txt", "filename", "café.txt"},
        ParamRow{"nameAmongOthers", "text/plain; charset=us-ascii; name=\"x.txt\"", "name", "x.txt"},
        ParamRow{"prefixIsNotTheName", "attachment; filenamex=\"no.txt\"", "filename", nullptr}),
    rowName<ParamRow>);

// ---- Addresses ----------------------------------------------------------------------

struct AddressRow {
    const char *name;
    const char *raw;
    const char *expected; // "Name <mailbox>" entries joined by " | "
};

class AddressRows : public ::testing::TestWithParam<AddressRow> {};

TEST_P(AddressRows, ReadsNamesAndMailboxes)
{
    const AddressRow row = GetParam();
    QStringList got;
    for (const MCOAddress &a : MCOHeaderDecoder::decodeAddresses(row.raw))
        got.append(a.displayName() + QLatin1String(" <") + a.mailbox() + QLatin1Char('>'));
    EXPECT_EQ(got.join(QLatin1String(" | ")).toStdString(), std::string(row.expected)) << row.raw;
}

INSTANTIATE_TEST_SUITE_P(
    MCOHeaderAddresses, AddressRows,
    ::testing::Values(
        AddressRow{"quotedComma", "\"Doe, John\" <john@example.com>", "Doe, John <john@example.com>"},
        AddressRow{"encodedComma", "=?utf-8?Q?Doe=2C_J=C3=B6rg?= <j@x.org>", "Doe, Jörg <j@x.org>"},
        AddressRow{"encodedQuotes", "=?utf-8?q?=22Q=22?= <q@x.org>, r@x.org", "\"Q\" <q@x.org> |  <r@x.org>"},
        AddressRow{"encodedInsideQuotes", "\"=?utf-8?B?0JjQstCw0L0=?=\" <ivan@x.ru>", "Иван <ivan@x.ru>"},
        AddressRow{"groupFlattened", "Team: a@b.c, \"B\" <b@c.d>;, z@y.x", " <a@b.c> | B <b@c.d> |  <z@y.x>"},
        AddressRow{"emptyGroup", "undisclosed-recipients:;", ""},
        AddressRow{"raw8bitName", "J\xFCrgen M\xFCller <j@x.de>", "Jürgen Müller <j@x.de>"},
        AddressRow{"empty", "   ", ""}),
    rowName<AddressRow>);

// ---- The header of a parsed message -------------------------------------------------

const char kHeaderMessage[] =
    "Received: from relay.example.net by mx.example.org; Tue, 2 Jan 2024 10:00:05 +0100\r\n"
    "Received: from origin.example.com by relay.example.net; Tue, 2 Jan 2024 09:59:00 +0100\r\n"
    "Delivery-date: Tue, 02 Jan 2024 10:00:06 +0100\r\n"
    "Date: not a date\r\n"
    "From: =?utf-8?q?J=C3=BCrgen?= <juergen@example.com>\r\n"
    "Sender: list@example.com\r\n"
    "To: a@example.org,\r\n  \"B, C\" <bc@example.org>\r\n"
    "To: d@example.org\r\n"
    "Cc: =?iso-8859-1?q?Fran=E7ois?= <f@example.fr>\r\n"
    "Reply-To: replies@example.com\r\n"
    "Subject: =?utf-8?B?w5xiZXJzaWNodA==?= 2024\r\n"
    "Message-ID: <abc.123@example.com>\r\n"
    "X-Folded: first\r\n second\r\n"
    "X-Encoded: =?utf-8?q?caf=C3=A9?=\r\n"
    "\r\n"
    "body\r\n";

TEST(MCOMessageHeader, FieldsOfAParsedHeader)
{
    const auto message = MCOMessageParser::messageParserWithData(kHeaderMessage);
    const MCOMessageHeader &h = message->header();
    EXPECT_EQ(h.subject().toStdString(), "Übersicht 2024");
    EXPECT_FALSE(h.date().isValid()) << "an unreadable Date is absent, not guessed";
    EXPECT_EQ(h.receivedDate().toString(Qt::ISODate).toStdString(), "2024-01-02T09:00:05Z");
    EXPECT_EQ(h.from().displayName().toStdString(), "Jürgen");
    EXPECT_EQ(h.from().mailbox().toStdString(), "juergen@example.com");
    EXPECT_EQ(h.sender().mailbox().toStdString(), "list@example.com");
    ASSERT_EQ(h.to().size(), 3);
    EXPECT_EQ(h.to()[1].displayName().toStdString(), "B, C");
    EXPECT_EQ(h.to()[2].mailbox().toStdString(), "d@example.org");
    ASSERT_EQ(h.cc().size(), 1);
    EXPECT_EQ(h.cc()[0].displayName().toStdString(), "François");
    ASSERT_EQ(h.replyTo().size(), 1);
    EXPECT_EQ(h.messageID().toStdString(), "abc.123@example.com");
    EXPECT_EQ(h.allHeaders().size(), 14);
    EXPECT_EQ(h.allHeaders().first().first.toStdString(), "Received");
    EXPECT_EQ(h.allHeaders().last().first.toStdString(), "X-Encoded");
}

struct ExtraRow {
    const char *name;
    const char *field;
    const char *expected; // nullptr: not offered
};

class ExtraHeaderRows : public ::testing::TestWithParam<ExtraRow> {};

TEST_P(ExtraHeaderRows, OffersOnlyFieldsWithoutTheirOwnAccessor)
{
    const auto message = MCOMessageParser::messageParserWithData(kHeaderMessage);
    const QString value = message->header().extraHeaderValueForName(GetParam().field);
    if (!GetParam().expected) {
        EXPECT_TRUE(value.isNull()) << value.toStdString();
        return;
    }
    EXPECT_EQ(value.toStdString(), std::string(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(
    MCOMessageHeaderExtra, ExtraHeaderRows,
    ::testing::Values(ExtraRow{"deliveryDateCaseIgnored", "DELIVERY-DATE", "Tue, 02 Jan 2024 10:00:06 +0100"},
                      ExtraRow{"firstReceived", "Received",
                               "from relay.example.net by mx.example.org; Tue, 2 Jan 2024 10:00:05 +0100"},
                      ExtraRow{"unfolded", "X-Folded", "first second"}, ExtraRow{"decoded", "X-Encoded", "café"},
                      ExtraRow{"dateHasAccessor", "Date", nullptr}, ExtraRow{"fromHasAccessor", "From", nullptr},
                      ExtraRow{"subjectHasAccessor", "subject", nullptr},
                      ExtraRow{"messageIdHasAccessor", "Message-ID", nullptr},
                      ExtraRow{"missing", "X-None", nullptr}),
    rowName<ExtraRow>);

TEST(MCOAddress, Rfc822StringQuotesNamesWithSpecials)
{
    EXPECT_EQ(MCOAddress("Anna Schmidt", "anna@example.org").nonEncodedRFC822String().toStdString(),
              "Anna Schmidt <anna@example.org>");
    EXPECT_EQ(MCOAddress("Doe, \"JD\"", "jd@example.org").nonEncodedRFC822String().toStdString(),
              "\"Doe, \\\"JD\\\"\" <jd@example.org>");
    EXPECT_EQ(MCOAddress("", "x@example.org").nonEncodedRFC822String().toStdString(), "x@example.org");
}

} // namespace
