#include "mailadapter/MCOCharset.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <iconv.h>

namespace {

// `utf8` in the charset `iconvName`, encoded by glibc's iconv independently of the code
// under test.
QByteArray encoded(const char *utf8, const char *iconvName)
{
    iconv_t cd = iconv_open(iconvName, "UTF-8");
    if (cd == iconv_t(-1))
        return {};
    QByteArray in(utf8);
    QByteArray out(in.size() * 4 + 16, '\0');
    char *inp = in.data();
    size_t inLeft = size_t(in.size());
    char *outp = out.data();
    size_t outLeft = size_t(out.size());
    const size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
    iconv(cd, nullptr, nullptr, &outp, &outLeft);
    iconv_close(cd);
    if (r == size_t(-1))
        return {};
    out.truncate(out.size() - qsizetype(outLeft));
    return out;
}

struct CharsetRow {
    const char *name;
    const char *declared;  // label in the message ("" = none)
    const char *writtenIn; // charset the bytes really are in
    const char *text;      // UTF-8
    const char *hint;      // another label of the message, or nullptr
};

class CharsetRows : public ::testing::TestWithParam<CharsetRow> {};

TEST_P(CharsetRows, DecodesLegibly)
{
    const CharsetRow row = GetParam();
    const QByteArray bytes = encoded(row.text, row.writtenIn);
    ASSERT_FALSE(bytes.isEmpty()) << "iconv cannot write " << row.writtenIn;
    QList<QByteArray> hints;
    if (row.hint)
        hints.append(row.hint);
    QByteArray used;
    const QString text = MCOCharset::toUnicode(bytes, row.declared, hints, &used);
    EXPECT_EQ(text.toStdString(), std::string(row.text)) << "read as " << used.constData();
}

std::string rowName(const ::testing::TestParamInfo<CharsetRow> &info) { return info.param.name; }

INSTANTIATE_TEST_SUITE_P(
    MCOCharsetDeclared, CharsetRows,
    ::testing::Values(
        CharsetRow{"koi8r", "koi8-r", "KOI8-R", "Привет, как дела?", nullptr},
        CharsetRow{"latin2", "iso-8859-2", "ISO-8859-2", "Zażółć gęślą jaźń", nullptr},
        CharsetRow{"win1251", "windows-1251", "CP1251", "Съешь же ещё этих булок", nullptr},
        // Labelled Latin-1, but 0x80..0x9F are windows-1252 quotes and dashes.
        CharsetRow{"latin1LabelCp1252Bytes", "iso-8859-1", "CP1252", "“Quoted” – text…", nullptr},
        CharsetRow{"shiftJis", "Shift_JIS", "SHIFT_JIS", "日本語のテストです", nullptr},
        CharsetRow{"iso2022jp", "iso-2022-jp", "ISO-2022-JP", "会議の資料を送ります", nullptr},
        CharsetRow{"big5", "big5", "BIG5", "這是中文測試郵件", nullptr},
        // gb2312 labels carry GBK characters in practice (镕 is not in GB2312).
        CharsetRow{"gb2312AsGbk", "gb2312", "GBK", "朱镕基", nullptr},
        CharsetRow{"ksc5601Label", "ks_c_5601-1987", "CP949", "안녕하세요", nullptr},
        CharsetRow{"quotedLabel", "\"UTF-8\"", "UTF-8", "naïve café", nullptr}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    MCOCharsetWrongOrUnknown, CharsetRows,
    ::testing::Values(
        // Declared ASCII / Latin-1, really UTF-8: the mislabel is spotted.
        CharsetRow{"asciiButUtf8", "us-ascii", "UTF-8", "Ärger mit Übergrößen", nullptr},
        CharsetRow{"latin1ButUtf8", "iso-8859-1", "UTF-8", "Ärger mit Übergrößen", nullptr},
        // Declared UTF-8, really Latin-1: invalid UTF-8 falls to the guess.
        CharsetRow{"utf8ButLatin1", "utf-8", "ISO-8859-1", "Grüße aus München", nullptr},
        CharsetRow{"asciiButKoi8", "us-ascii", "KOI8-R", "Отчёт за март месяц", "koi8-r"},
        // Declared ISO-2022-JP, really Shift_JIS (8-bit, so impossible in ISO-2022-JP).
        CharsetRow{"iso2022ButSjis", "iso-2022-jp", "SHIFT_JIS", "こんにちは、これはテストです", nullptr},
        CharsetRow{"unknownLabelKoi8", "x-unknown", "KOI8-R", "Привет, как дела?", nullptr},
        CharsetRow{"madeUpLabel", "foo-bar-9", "CP1251", "Съешь же ещё этих булок", nullptr},
        CharsetRow{"unknown8bitUtf8", "unknown-8bit", "UTF-8", "Größe 中文", nullptr}),
    rowName);

INSTANTIATE_TEST_SUITE_P(
    MCOCharsetUndeclared, CharsetRows,
    ::testing::Values(
        CharsetRow{"koi8r", "", "KOI8-R", "Привет, как дела? Это тестовое сообщение.", nullptr},
        CharsetRow{"cp1251", "", "CP1251", "Привет, как дела? Это тестовое сообщение.", nullptr},
        CharsetRow{"shiftJis", "", "SHIFT_JIS", "こんにちは、これは日本語のテストです。", nullptr},
        CharsetRow{"eucJp", "", "EUC-JP", "こんにちは、これは日本語のテストです。", nullptr},
        CharsetRow{"iso2022jp", "", "ISO-2022-JP", "こんにちは、これは日本語のテストです。", nullptr},
        CharsetRow{"gb2312", "", "GB2312", "你好，这是一封中文测试邮件。", nullptr},
        CharsetRow{"big5", "", "BIG5", "你好，這是一封中文測試郵件。", nullptr},
        CharsetRow{"eucKr", "", "EUC-KR", "안녕하세요, 이것은 한국어 테스트 메시지입니다.", nullptr},
        CharsetRow{"shortGb", "", "GB2312", "测试邮件", nullptr},
        CharsetRow{"shortKorean", "", "EUC-KR", "회의 자료", nullptr},
        CharsetRow{"latin1", "", "ISO-8859-1", "Café, crème brûlée et déjà vu à Noël.", nullptr},
        CharsetRow{"latin2", "", "ISO-8859-2", "Zażółć gęślą jaźń", nullptr},
        CharsetRow{"greek", "", "ISO-8859-7", "Καλημέρα κόσμε", nullptr},
        // Too short to tell from Chinese: the charset of the message's other parts decides.
        CharsetRow{"shortRussianWithHint", "", "KOI8-R", "Да", "koi8-r"}),
    rowName);

TEST(MCOCharset, StrayLatin1BytesInsideUtf8KeepTheUtf8)
{
    // A UTF-8 reply quoting one Latin-1 line: both halves stay legible.
    const QByteArray bytes = encoded("日本語のメール ", "UTF-8") + encoded("Grüße", "ISO-8859-1");
    EXPECT_EQ(MCOCharset::toUnicode(bytes, "").toStdString(), "日本語のメール Grüße");
}

TEST(MCOCharset, DamagedTextInItsDeclaredCharsetKeepsThatCharset)
{
    // One broken byte in a long Shift_JIS text: read as Shift_JIS, not thrown to a guess.
    QByteArray bytes = encoded("日本語のテストです。日本語のテストです。日本語のテストです。", "SHIFT_JIS");
    bytes.insert(10, '\x80');
    const QString text = MCOCharset::toUnicode(bytes, "shift_jis");
    EXPECT_TRUE(text.contains(QStringLiteral("テストです"))) << text.toStdString();
}

TEST(MCOCharset, EveryByteValueConvertsToSomething)
{
    QByteArray all;
    for (int i = 1; i < 256; ++i)
        all += char(i);
    for (const char *label : {"", "utf-8", "us-ascii", "shift_jis", "iso-2022-jp", "x-unknown", "utf-16"}) {
        const QString text = MCOCharset::toUnicode(all, label);
        EXPECT_GE(text.size(), 128) << label;
    }
}

TEST(MCOCharset, LabelsMapToWhatIconvReads)
{
    EXPECT_EQ(MCOCharset::canonicalName(" \"Shift_JIS\" ").toStdString(), "CP932");
    EXPECT_EQ(MCOCharset::canonicalName("utf-8*en").toStdString(), "UTF-8");
    EXPECT_TRUE(MCOCharset::canonicalName("unknown-8bit").isEmpty());
    EXPECT_TRUE(MCOCharset::canonicalName("no-such-charset-x1").isEmpty());
}

} // namespace
