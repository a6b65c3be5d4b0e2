#include "MimeTestSupport.h"

#include "mimeextract/libmime-decoders.h"

#include <cstring>

namespace {

class Decoders : public MimeTest::Engine {};

std::string qp(std::string text, char escape = '=')
{
    text.push_back('\0');
    const size_t n = MDECODE_decode_quoted_printable(text.data(), escape, text.size() - 1);
    return text.substr(0, n);
}

std::string iso(const std::string &text)
{
    std::string buffer = text;
    buffer.resize(text.size() + 1);
    MDECODE_decode_ISO(buffer.data(), buffer.size());
    return std::string(buffer.c_str());
}

TEST_F(Decoders, QuotedPrintable)
{
    struct Row {
        const char *in, *out;
    };
    const Row rows[] = {
        {"a=3Db", "a=b"},         {"caf=C3=A9", "caf\xc3\xa9"}, {"lower=c3=a9", "lower\xc3\xa9"},
        {"soft=\r\n", "soft"},    {"soft= \t\r\nx", "softx"},   {"soft=\n\rx", "softx"},
        {"end=", "end"},          {"=zz", "=zz"},               {"=4", "=4"},
        {"under_score", "under_score"},
        {"blank line=\n\nnext", "blank line\nnext"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(qp(row.in), row.out) << row.in;
    EXPECT_EQ(qp("a=00b"), std::string("a\0b", 3));
    EXPECT_EQ(qp("%E2%82%AC.txt", '%'), "\xe2\x82\xac.txt");
}

TEST_F(Decoders, EncodedWords)
{
    struct Row {
        const char *in, *out;
    };
    const Row rows[] = {
        {"=?iso-8859-1?Q?Caf=E9?=", "Caf\xe9"},
        {"=?utf-8?B?SGVsbG8=?= =?utf-8?B?V29ybGQ=?=", "HelloWorld"},
        {"x =?us-ascii?Q?a_b?= y", "x a_b y"},
        {"name==?koi8-r?B?89DJ08/LLmRvYw==?=", "name=\xf3\xd0\xc9\xd3\xcf\xcb.doc"},
        {"=?broken", "=?broken"},
        {"=?cs?Q?no end", "no end"},
        {"=?a?Q?x?=;rest", "x;rest"},
        // Decoded text that is itself an encoded word is decoded again.
        {"=?a?Q?=3D=3Fb=3FQ=3Fhi=3F=3D?=", "hi"},
        {"before =?a?B?Pz0=?= after", "before ?= after"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(iso(row.in), row.out) << row.in;
}

TEST_F(Decoders, AnUnknownEncodingLetterStopsDecodingWithItsLogLine)
{
    EXPECT_EQ(iso("=?x?Z?abc?= =?x?Q?ok?="), "=?x?Z?abc?= =?x?Q?ok?=");
    EXPECT_NE(log().find("MDECODE_decode_ISO:ERROR: The encoding character 'Z' is not a valid type of encoding"),
              std::string::npos);
}

TEST_F(Decoders, ManyEncodedWordsDecodeInOnePass)
{
    std::string text, expected;
    for (int i = 0; i < 20000; ++i) {
        text += "=?utf-8?Q?w=41?= ";
        expected += "wA";
    }
    expected += " ";
    EXPECT_EQ(iso(text), expected);
}

TEST_F(Decoders, ShortBase64)
{
    char text[] = "SGk=junk";
    EXPECT_EQ(MDECODE_decode_short64(text), 2u);
    EXPECT_STREQ(text, "Hi");
}

} // namespace
