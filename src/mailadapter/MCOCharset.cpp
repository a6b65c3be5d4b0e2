#include <gmime/gmime.h>

#include "mailadapter/MCOCharset.h"

#include "mailadapter/MCOGMime.h"

#include <QHash>
#include <QMutex>
#include <QMutexLocker>

#include <cerrno>
#include <iconv.h>

namespace {

const QByteArray kUtf8 = QByteArrayLiteral("UTF-8");
const QByteArray kWindows1252 = QByteArrayLiteral("WINDOWS-1252");
const QByteArray kUsAscii = QByteArrayLiteral("US-ASCII");

// Bytes 0x80..0x9F of windows-1252. The five bytes it leaves undefined keep their
// Latin-1 meaning (C1 controls) so that the conversion never fails.
constexpr char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t cp1252Char(uchar c)
{
    return (c >= 0x80 && c < 0xA0) ? kCp1252High[c - 0x80] : char16_t(c);
}

// Done by hand: glibc's WINDOWS-1252 rejects the five undefined bytes, and this is the
// conversion that must never fail.
QString decodeCp1252(QByteArrayView bytes)
{
    QString out(bytes.size(), Qt::Uninitialized);
    QChar *d = out.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        d[i] = QChar(cp1252Char(uchar(bytes[i])));
    return out;
}

// Length of the well-formed UTF-8 sequence at `p` (1 for ASCII), 0 when ill-formed.
int utf8SequenceLength(const uchar *p, qsizetype left)
{
    const uchar c = p[0];
    if (c < 0x80)
        return 1;
    int len;
    uchar min = 0x80, max = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            min = 0xA0; // overlong
        else if (c == 0xED)
            max = 0x9F; // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            min = 0x90;
        else if (c == 0xF4)
            max = 0x8F;
    } else {
        return 0;
    }
    if (left < len || p[1] < min || p[1] > max)
        return 0;
    for (int i = 2; i < len; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    }
    return len;
}

// UTF-8 text that holds a few stray bytes of another charset (a quoted Latin-1 line in
// a UTF-8 reply): the stray bytes are read as windows-1252. `stray` counts them.
QString decodeUtf8WithStrayBytes(QByteArrayView bytes, qsizetype *stray, qsizetype *multibyte)
{
    QString out;
    out.reserve(bytes.size());
    const uchar *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype n = bytes.size();
    qsizetype runStart = 0;
    *stray = 0;
    *multibyte = 0;
    for (qsizetype i = 0; i < n;) {
        const int len = utf8SequenceLength(p + i, n - i);
        if (len > 0) {
            if (len > 1)
                ++*multibyte;
            i += len;
            continue;
        }
        out += QString::fromUtf8(bytes.sliced(runStart, i - runStart));
        out += QChar(cp1252Char(p[i]));
        ++*stray;
        ++i;
        runStart = i;
    }
    out += QString::fromUtf8(bytes.sliced(runStart));
    return out;
}

// Converters to UTF-8, kept open per thread (an iconv_t is not shareable): opening one
// loads and unloads glibc's gconv module each time, which costs more than a whole parse.
class ConverterCache {
public:
    ~ConverterCache() { clear(); }
    // The converter stays valid until the next call on the same thread.
    iconv_t get(const QByteArray &name)
    {
        const auto it = m_converters.constFind(name);
        if (it != m_converters.constEnd())
            return *it;
        // Names come from canonicalName(), a bounded set; the bound guards misuse.
        if (m_converters.size() >= 64)
            clear();
        MCOGMime::ensureInitialized();
        const iconv_t cd = g_mime_iconv_open("UTF-8", name.constData());
        m_converters.insert(name, cd);
        return cd;
    }

private:
    void clear()
    {
        for (iconv_t cd : std::as_const(m_converters)) {
            if (cd != iconv_t(-1))
                g_mime_iconv_close(cd);
        }
        m_converters.clear();
    }

    QHash<QByteArray, iconv_t> m_converters;
};

iconv_t cachedConverter(const QByteArray &name)
{
    thread_local ConverterCache cache;
    return cache.get(name);
}

// iconv conversion to UTF-8. Strict (`errors` null): false on the first invalid or
// incomplete sequence. Lenient: invalid bytes become U+FFFD and are counted.
bool iconvToUnicode(const QByteArray &iconvName, QByteArrayView in, QString *out, qsizetype *errors)
{
    iconv_t cd = cachedConverter(iconvName);
    if (cd == iconv_t(-1))
        return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);

    QByteArray buf(in.size() * 2 + 16, Qt::Uninitialized);
    char *inp = const_cast<char *>(in.data());
    size_t inLeft = size_t(in.size());
    size_t outPos = 0;
    bool ok = true;
    auto ensureSpace = [&](size_t need) {
        if (size_t(buf.size()) - outPos < need)
            buf.resize(qMax<qsizetype>(buf.size() * 2, qsizetype(outPos + need + 16)));
    };
    while (inLeft > 0) {
        char *outp = buf.data() + outPos;
        size_t outLeft = size_t(buf.size()) - outPos;
        const size_t r = iconv(cd, &inp, &inLeft, &outp, &outLeft);
        outPos = size_t(outp - buf.data());
        if (r != size_t(-1))
            break;
        if (errno == E2BIG) {
            ensureSpace(size_t(buf.size()));
            continue;
        }
        if ((errno == EILSEQ || errno == EINVAL) && errors) {
            ++*errors;
            ensureSpace(3);
            buf[qsizetype(outPos++)] = char(0xEF);
            buf[qsizetype(outPos++)] = char(0xBF);
            buf[qsizetype(outPos++)] = char(0xBD);
            ++inp;
            --inLeft;
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            continue;
        }
        ok = false;
        break;
    }
    if (ok) {
        ensureSpace(16);
        char *outp = buf.data() + outPos;
        size_t outLeft = size_t(buf.size()) - outPos;
        iconv(cd, nullptr, nullptr, &outp, &outLeft);
        outPos = size_t(outp - buf.data());
    }
    if (!ok)
        return false;
    *out = QString::fromUtf8(buf.constData(), qsizetype(outPos));
    return true;
}

bool convertCanonical(const QByteArray &name, QByteArrayView bytes, QString *out)
{
    if (name == kWindows1252) {
        *out = decodeCp1252(bytes);
        return true;
    }
    if (name == kUtf8) {
        if (!MCOCharset::isValidUtf8(bytes))
            return false;
        *out = QString::fromUtf8(bytes);
        return true;
    }
    if (name == kUsAscii) {
        if (!MCOCharset::isAscii(bytes))
            return false;
        *out = QString::fromLatin1(bytes);
        return true;
    }
    return iconvToUnicode(name, bytes, out, nullptr);
}

// Charsets whose every byte is one character: a text declared in one of them that is
// also well-formed multibyte UTF-8 was mislabelled by its sender.
bool isSingleByteCharset(const QByteArray &name)
{
    return name == kWindows1252 || name.startsWith("ISO-8859-") || name.startsWith("WINDOWS-125")
        || name.startsWith("KOI8") || name.startsWith("CP125") || name == "MACINTOSH";
}

// Encodings in which ASCII bytes do not simply mean ASCII.
bool isAsciiCompatible(const QByteArray &name)
{
    return !(name.startsWith("UTF-16") || name.startsWith("UTF-32") || name.startsWith("UTF-7")
             || name.startsWith("UCS") || name == "HZ" || name.startsWith("ISO-2022"));
}

enum class Script { None, Latin, Greek, Cyrillic, Han, Kana, Hangul, Other };

Script scriptOf(char32_t c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))
        return Script::Latin;
    if (c < 0xC0)
        return Script::None;
    if (c <= 0x24F)
        return (c == 0xD7 || c == 0xF7) ? Script::None : Script::Latin;
    if (c >= 0x1E00 && c <= 0x1EFF)
        return Script::Latin;
    if (c >= 0x370 && c <= 0x3FF)
        return Script::Greek;
    if (c >= 0x400 && c <= 0x52F)
        return Script::Cyrillic;
    if ((c >= 0x3400 && c <= 0x4DBF) || (c >= 0x4E00 && c <= 0x9FFF) || (c >= 0xF900 && c <= 0xFAFF)
        || (c >= 0x20000 && c <= 0x3FFFF))
        return Script::Han;
    if ((c >= 0x3040 && c <= 0x30FF) || (c >= 0x31F0 && c <= 0x31FF))
        return Script::Kana;
    if ((c >= 0xAC00 && c <= 0xD7A3) || (c >= 0x1100 && c <= 0x11FF) || (c >= 0x3130 && c <= 0x318F))
        return Script::Hangul;
    return QChar::isLetter(c) ? Script::Other : Script::None;
}

bool scriptsMayTouch(Script a, Script b)
{
    return a == b || (a == Script::Han && b == Script::Kana) || (a == Script::Kana && b == Script::Han);
}

// Symbols that a wrong reading scatters between letters: any non-ASCII non-letter but
// spaces, and the punctuation of CJK text, which does sit between letters.
bool isStraySymbol(char32_t c)
{
    if (c < 0xA1 || QChar::isSpace(c) || (c >= 0x2000 && c <= 0x200F))
        return false;
    if ((c >= 0x3000 && c <= 0x303F) || (c >= 0xFF00 && c <= 0xFF60) || (c >= 0x30FB && c <= 0x30FC))
        return false;
    return !QChar::isLetterOrNumber(c) && !QChar::isMark(c);
}

struct TextStats {
    int penalty = 0;
    int han = 0;
    int kana = 0;
    int hangul = 0;
};

TextStats analyse(const QString &text)
{
    TextStats st;
    Script prev = Script::None;
    char32_t prevChar = 0;
    bool symbolAfterLetter = false;
    int wordLen = 0, wordNonAscii = 0, wordUpperNonAscii = 0;
    bool wordLatin = false;
    auto endWord = [&] {
        if (wordLen >= 3) {
            // Three quarters accented: Cyrillic or Greek read as a Latin charset.
            if (wordLatin && wordNonAscii * 4 >= wordLen * 3)
                ++st.penalty;
            if (wordUpperNonAscii == wordLen)
                ++st.penalty;
        }
        wordLen = wordNonAscii = wordUpperNonAscii = 0;
        wordLatin = false;
    };
    const QChar *d = text.constData();
    const qsizetype n = text.size();
    for (qsizetype i = 0; i < n; ++i) {
        char32_t c = d[i].unicode();
        if (QChar::isHighSurrogate(c) && i + 1 < n && d[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(d[i], d[i + 1]);
            ++i;
        }

        if (c == 0xFFFD || (c < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f')
            || (c >= 0x7F && c < 0xA0))
            st.penalty += 8;
        else if (c >= 0xE000 && c <= 0xF8FF)
            st.penalty += 4;
        else if ((c >= 0xFF61 && c <= 0xFF9F) || (c >= 0x3131 && c <= 0x318E) || (c >= 0x2500 && c <= 0x259F))
            st.penalty += 2; // half-width katakana, lone jamo, box drawing

        const Script s = scriptOf(c);
        if (s == Script::None) {
            endWord();
            symbolAfterLetter = prev != Script::None ? isStraySymbol(c) : false;
            prev = Script::None;
            prevChar = c;
            continue;
        }
        if (symbolAfterLetter)
            ++st.penalty;
        symbolAfterLetter = false;
        if (prev != Script::None && !scriptsMayTouch(prev, s))
            ++st.penalty;
        if (c >= 0x80 && prev != Script::None && QChar::isLower(prevChar) && QChar::isUpper(c))
            ++st.penalty;
        switch (s) {
        case Script::Han: ++st.han; break;
        case Script::Kana: ++st.kana; break;
        case Script::Hangul: ++st.hangul; break;
        default: break;
        }
        ++wordLen;
        if (s == Script::Latin)
            wordLatin = true;
        if (c >= 0x80) {
            ++wordNonAscii;
            if (QChar::isUpper(c))
                ++wordUpperNonAscii;
        }
        prev = s;
        prevChar = c;
    }
    endWord();
    return st;
}

// What the bytes say about a multibyte candidate beyond whether they convert: characters
// from the rarely used areas of a charset are what a wrong reading produces.
int bytePenalty(const QByteArray &name, QByteArrayView bytes)
{
    const uchar *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype n = bytes.size();
    int penalty = 0;
    if (name == "GB18030") {
        for (qsizetype i = 0; i < n; ++i) {
            if (p[i] < 0x81 || i + 1 >= n)
                continue;
            if (p[i + 1] >= 0x30 && p[i + 1] <= 0x39) {
                penalty += 2; // four-byte form: outside GBK
                i += 3;
                continue;
            }
            if (!(p[i] >= 0xA1 && p[i] <= 0xF7 && p[i + 1] >= 0xA1))
                ++penalty; // GBK extension, not GB2312
            ++i;
        }
    } else if (name == "BIG5-HKSCS") {
        for (qsizetype i = 0; i + 1 < n; ++i) {
            if (p[i] < 0x81)
                continue;
            // 0xA440..0xC67E holds the frequently used characters; A1..A3 punctuation.
            if (p[i] < 0xA1 || p[i] > 0xC6 || (p[i] == 0xC6 && p[i + 1] > 0x7E))
                ++penalty;
            ++i;
        }
    } else if (name == "CP949") {
        for (qsizetype i = 0; i + 1 < n; ++i) {
            if (p[i] < 0x81)
                continue;
            if (p[i] < 0xA1 || p[i + 1] < 0xA1)
                ++penalty; // UHC extension, not EUC-KR
            ++i;
        }
    } else if (name == "EUC-JP") {
        for (qsizetype i = 0; i < n; ++i) {
            if (p[i] == 0x8F)
                ++penalty; // JIS X 0212: rare
        }
    }
    return penalty;
}

int candidateScore(const QByteArray &name, QByteArrayView bytes, const QString &text)
{
    const TextStats st = analyse(text);
    int score = st.penalty + bytePenalty(name, bytes);
    if ((name == "CP932" || name == "EUC-JP") && st.kana == 0 && st.han >= 2)
        score += st.han / 2; // Japanese without a single kana
    if (name == "CP949" && st.hangul == 0 && st.han >= 2)
        score += st.han / 2; // Korean without Hangul
    return score;
}

// The part of a long text the guess looks at: enough to decide, cut at a line end so
// that no multibyte character is split.
QByteArrayView guessSample(QByteArrayView bytes)
{
    constexpr qsizetype kSample = 32 * 1024;
    if (bytes.size() <= kSample)
        return bytes;
    const qsizetype cut = bytes.first(kSample).lastIndexOf('\n');
    return cut > 0 ? bytes.first(cut + 1) : bytes.first(kSample);
}

QMutex g_nameLock;

} // namespace

bool MCOCharset::isAscii(QByteArrayView bytes)
{
    for (char c : bytes) {
        if (uchar(c) >= 0x80)
            return false;
    }
    return true;
}

bool MCOCharset::isValidUtf8(QByteArrayView bytes, bool *multibyte)
{
    const uchar *p = reinterpret_cast<const uchar *>(bytes.data());
    const qsizetype n = bytes.size();
    bool mb = false;
    for (qsizetype i = 0; i < n;) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        const int len = utf8SequenceLength(p + i, n - i);
        if (len == 0)
            return false;
        mb = true;
        i += len;
    }
    if (multibyte)
        *multibyte = mb;
    return true;
}

QByteArray MCOCharset::canonicalName(QByteArrayView label)
{
    QByteArray key = label.trimmed().toByteArray().toLower();
    // Labels arrive quoted, with an RFC 2231 language ("utf-8*en") or a stray ';'.
    while (!key.isEmpty() && (key.startsWith('"') || key.startsWith('\'')))
        key.remove(0, 1);
    for (char stop : {'"', '\'', '*', ';', ' '}) {
        const qsizetype at = key.indexOf(stop);
        if (at >= 0)
            key.truncate(at);
    }
    if (key.isEmpty())
        return {};

    static const QHash<QByteArray, QByteArray> aliases = {
        // Placeholders that senders write when they do not know.
        {"unknown-8bit", {}}, {"unknown", {}}, {"x-unknown", {}}, {"x-user-defined", {}},
        {"8bit", {}}, {"default", {}}, {"none", {}}, {"charset", {}}, {"x-binaryenc", {}},
        // Read as their supersets, as mail clients and browsers do: a text labelled
        // Latin-1 that uses 0x80..0x9F means windows-1252 quotes and dashes. A text
        // labelled ASCII with 8-bit bytes in it is mislabelled and goes to the guess.
        {"us-ascii", kUsAscii}, {"ascii", kUsAscii}, {"ansi_x3.4-1968", kUsAscii},
        {"iso-8859-1", kWindows1252}, {"iso8859-1", kWindows1252}, {"iso_8859-1", kWindows1252},
        {"latin1", kWindows1252}, {"latin-1", kWindows1252}, {"l1", kWindows1252},
        {"cp819", kWindows1252}, {"windows-1252", kWindows1252}, {"cp1252", kWindows1252},
        {"x-cp1252", kWindows1252}, {"iso-8859-15", "ISO-8859-15"},
        {"utf-8", kUtf8}, {"utf8", kUtf8}, {"x-utf8", kUtf8}, {"unicode-1-1-utf-8", kUtf8},
        {"gb2312", "GB18030"}, {"gbk", "GB18030"}, {"x-gbk", "GB18030"}, {"euc-cn", "GB18030"},
        {"x-euc-cn", "GB18030"}, {"cp936", "GB18030"}, {"csgb2312", "GB18030"},
        {"gb_2312-80", "GB18030"}, {"chinese", "GB18030"}, {"gb18030", "GB18030"},
        {"big5", "BIG5-HKSCS"}, {"big-5", "BIG5-HKSCS"}, {"x-big5", "BIG5-HKSCS"},
        {"cn-big5", "BIG5-HKSCS"}, {"csbig5", "BIG5-HKSCS"}, {"big5-hkscs", "BIG5-HKSCS"},
        {"ks_c_5601-1987", "CP949"}, {"ks_c_5601", "CP949"}, {"ks_c_5601-1989", "CP949"},
        {"ksc5601", "CP949"}, {"euc-kr", "CP949"}, {"x-euc-kr", "CP949"}, {"cp949", "CP949"},
        {"windows-949", "CP949"}, {"korean", "CP949"}, {"uhc", "CP949"},
        {"shift_jis", "CP932"}, {"shift-jis", "CP932"}, {"sjis", "CP932"}, {"x-sjis", "CP932"},
        {"ms_kanji", "CP932"}, {"cp932", "CP932"}, {"windows-31j", "CP932"},
        {"csshiftjis", "CP932"}, {"x-ms-cp932", "CP932"},
        {"euc-jp", "EUC-JP"}, {"x-euc-jp", "EUC-JP"},
        {"iso-2022-jp", "ISO-2022-JP-2"}, {"csiso2022jp", "ISO-2022-JP-2"},
        {"iso-2022-jp-2", "ISO-2022-JP-2"}, {"iso-2022-jp-3", "ISO-2022-JP-3"},
        {"iso-8859-9", "WINDOWS-1254"}, {"tis-620", "CP874"}, {"iso-8859-11", "CP874"},
        {"windows-874", "CP874"}, {"iso-8859-8-i", "ISO-8859-8"}, {"x-mac-roman", "MACINTOSH"},
        {"macintosh", "MACINTOSH"}, {"koi8-r", "KOI8-R"}, {"koi8-u", "KOI8-U"},
    };
    const auto alias = aliases.constFind(key);
    if (alias != aliases.constEnd())
        return *alias;

    static QHash<QByteArray, QByteArray> cache;
    QMutexLocker lock(&g_nameLock);
    const auto cached = cache.constFind(key);
    if (cached != cache.constEnd())
        return *cached;
    MCOGMime::ensureInitialized();
    QByteArray name = QByteArray(g_mime_charset_iconv_name(key.constData())).toUpper();
    iconv_t cd = g_mime_iconv_open("UTF-8", name.constData());
    if (cd == iconv_t(-1))
        name.clear();
    else
        g_mime_iconv_close(cd);
    // Labels come from mail, so the cache is bounded against a flood of made-up ones.
    if (cache.size() < 1024)
        cache.insert(key, name);
    return name;
}

bool MCOCharset::convert(QByteArrayView bytes, QByteArrayView charset, QString *out)
{
    const QByteArray name = canonicalName(charset);
    if (name.isEmpty())
        return false;
    return convertCanonical(name, bytes, out);
}

QString MCOCharset::toUnicode(QByteArrayView bytes, QByteArrayView declared, const QList<QByteArray> &hints,
                              QByteArray *usedCharset)
{
    const QByteArray name = canonicalName(declared);
    auto done = [&](const QByteArray &used, QString text) {
        if (usedCharset)
            *usedCharset = used;
        if (text.startsWith(QChar(0xFEFF)))
            text.remove(0, 1);
        return text;
    };
    if (bytes.isEmpty())
        return done(name, QString(QLatin1String("")));
    if ((name.isEmpty() || isAsciiCompatible(name)) && isAscii(bytes) && !bytes.contains('\x1b'))
        return done(name.isEmpty() ? QByteArrayLiteral("US-ASCII") : name, QString::fromLatin1(bytes));
    if (!name.isEmpty()) {
        bool multibyte = false;
        // Tolerates UTF-8 text labelled with a single-byte charset.
        if (name != kUtf8 && isSingleByteCharset(name) && isValidUtf8(bytes, &multibyte) && multibyte)
            return done(kUtf8, QString::fromUtf8(bytes));
        QString text;
        if (convertCanonical(name, bytes, &text))
            return done(name, text);
    }
    // The declared charset failed on a few bytes only (a damaged Shift_JIS text): it is
    // still far likelier than any guess. A wrong label fails on most 8-bit bytes instead.
    if (!name.isEmpty() && name != kUtf8 && name != kUsAscii) {
        qsizetype errors = 0, high = 0;
        for (char c : bytes)
            high += uchar(c) >= 0x80 ? 1 : 0;
        QString lenient;
        if (iconvToUnicode(name, bytes, &lenient, &errors) && errors * 20 <= high)
            return done(name, lenient);
    }
    QByteArray used;
    QString text = guess(bytes, hints, &used);
    return done(used, text);
}

QString MCOCharset::guess(QByteArrayView bytes, const QList<QByteArray> &hints, QByteArray *usedCharset)
{
    auto done = [&](const QByteArray &used, const QString &text) {
        if (usedCharset)
            *usedCharset = used;
        return text;
    };
    const bool escaped = isAscii(bytes) && bytes.contains('\x1b');
    if (!escaped && isValidUtf8(bytes))
        return done(kUtf8, QString::fromUtf8(bytes));

    if (!escaped) {
        qsizetype stray = 0, multibyte = 0;
        QString text = decodeUtf8WithStrayBytes(bytes, &stray, &multibyte);
        // Tolerates a few foreign bytes in UTF-8 text (a quoted Latin-1 line): well-formed
        // multibyte sequences outnumbering them do not happen by chance in legacy text.
        if (multibyte >= 2 && stray * 3 <= multibyte)
            return done(kUtf8, text);
    }

    const QByteArrayView sample = guessSample(bytes);
    struct Candidate {
        QByteArray name;
        bool hint;
    };
    QList<Candidate> candidates;
    auto add = [&](const QByteArray &name, bool hint) {
        for (const Candidate &c : candidates) {
            if (c.name == name)
                return;
        }
        candidates.append({name, hint});
    };
    for (const QByteArray &hint : hints) {
        const QByteArray name = canonicalName(hint);
        if (!name.isEmpty())
            add(name, true);
    }
    if (escaped) {
        for (const char *jis : {"ISO-2022-JP-2", "ISO-2022-JP-3", "ISO-2022-KR"})
            add(jis, false);
    }
    static const char *const generic[] = {"CP932",      "EUC-JP", "CP949",        "GB18030",
                                          "BIG5-HKSCS", "KOI8-R", "WINDOWS-1251", "ISO-8859-7"};
    for (const char *name : generic)
        add(name, false);
    // The Latin charsets read almost any byte and so come last: they must not win ties
    // they have not earned. Central European text wins only where Western European
    // reading scores worse.
    add(kWindows1252, false);
    add("WINDOWS-1250", false);
    add("ISO-8859-2", false);

    QByteArray best;
    QString bestText;
    int bestScore = 0;
    for (const Candidate &candidate : std::as_const(candidates)) {
        QString text;
        // A UTF-8 hint is no candidate any more: the text is not UTF-8.
        if (candidate.name == kUtf8 || !convertCanonical(candidate.name, sample, &text))
            continue;
        int score = candidateScore(candidate.name, sample, text);
        // Hints carry what the sender declared elsewhere: they win ties and small gaps.
        if (candidate.hint)
            score -= 2;
        if (best.isEmpty() || score < bestScore) {
            best = candidate.name;
            bestText = text;
            bestScore = score;
        }
    }

    if (sample.size() == bytes.size())
        return done(best, bestText);
    QString full;
    if (convertCanonical(best, bytes, &full))
        return done(best, full);
    qsizetype errors = 0;
    if (iconvToUnicode(best, bytes, &full, &errors))
        return done(best, full);
    return done(kWindows1252, decodeCp1252(bytes));
}

int MCOCharset::implausibility(const QString &text)
{
    return analyse(text).penalty;
}
