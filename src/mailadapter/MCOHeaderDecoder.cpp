#include <gmime/gmime.h>

#include "mailadapter/MCOHeaderDecoder.h"

#include "mailadapter/MCOCharset.h"
#include "mailadapter/MCOGMime.h"

#include <QMap>
#include <QTimeZone>

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// RFC 5322 unfolding: line breaks go, the whitespace after them stays.
QByteArray unfold(QByteArrayView raw)
{
    QByteArray out;
    out.reserve(raw.size());
    for (char c : raw) {
        if (c != '\r' && c != '\n')
            out += c;
    }
    return out;
}

// Tabs, stray control characters and line breaks decoded out of encoded words become
// spaces: a header value is one line of text.
QString cleanLine(QString text)
{
    QChar *d = text.data();
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (d[i].unicode() < 0x20 || d[i].unicode() == 0x7F)
            d[i] = QLatin1Char(' ');
    }
    text = text.trimmed();
    if (text.isNull())
        text = QLatin1String("");
    return text;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Quoted-printable of encoded words: '_' is a space; a '=' without two hex digits is
// kept as it is.
QByteArray decodeQ(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '_') {
            out += ' ';
        } else if (c == '=' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

// Percent-encoding of RFC 2231 values; a '%' without two hex digits is kept.
QByteArray percentDecode(QByteArrayView text)
{
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 && hexValue(text[i + 2]) >= 0) {
            out += char(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct EncodedWord {
    qsizetype end = 0; // index after the closing "?="
    QByteArray charset;
    QByteArray bytes;
};

// Reads the encoded word starting at `at` ("=?charset?X?text?="). Loose: the word may
// sit inside a word or a quoted string, and its text may hold spaces.
bool parseEncodedWord(QByteArrayView s, qsizetype at, EncodedWord *word)
{
    const qsizetype charsetBegin = at + 2;
    const qsizetype q1 = s.indexOf('?', charsetBegin);
    if (q1 < 0 || q1 == charsetBegin || q1 - charsetBegin > 64 || q1 + 2 >= s.size() || s[q1 + 2] != '?')
        return false;
    const QByteArrayView charset = s.sliced(charsetBegin, q1 - charsetBegin);
    for (char c : charset) {
        if (isSpace(c) || c == '=' || c == '"')
            return false;
    }
    const char encoding = char(s[q1 + 1] | 0x20);
    if (encoding != 'b' && encoding != 'q')
        return false;
    const qsizetype textBegin = q1 + 3;
    const qsizetype close = QByteArrayView(s).indexOf(QByteArrayView("?="), textBegin);
    if (close < 0)
        return false;
    const QByteArrayView text = s.sliced(textBegin, close - textBegin);
    word->charset = charset.toByteArray().toLower();
    // Base64 text with missing padding or stray characters still decodes.
    word->bytes = encoding == 'b' ? QByteArray::fromBase64(text.toByteArray()) : decodeQ(text);
    word->end = close + 2;
    return true;
}

bool allSpace(QByteArrayView s)
{
    for (char c : s) {
        if (!isSpace(c))
            return false;
    }
    return true;
}

// Raw 8-bit header text (no MIME encoding at all) as UTF-8, its charset guessed.
QByteArray toUtf8Text(QByteArrayView raw, const QList<QByteArray> &hints)
{
    if (MCOCharset::isValidUtf8(raw))
        return raw.toByteArray();
    return MCOCharset::toUnicode(raw, {}, hints).toUtf8();
}

// Decodes the run of encoded words of `utf8` (already free of raw 8-bit bytes).
QString decodeWords(QByteArrayView s, const QList<QByteArray> &hints)
{
    QString out;
    QByteArray runCharset, runBytes;
    bool inRun = false;
    auto flush = [&] {
        if (inRun)
            out += MCOCharset::toUnicode(runBytes, runCharset, hints);
        inRun = false;
        runBytes.clear();
    };
    qsizetype literalStart = 0;
    qsizetype i = 0;
    while (i < s.size()) {
        const qsizetype at = s.indexOf(QByteArrayView("=?"), i);
        if (at < 0)
            break;
        EncodedWord word;
        if (!parseEncodedWord(s, at, &word)) {
            i = at + 2;
            continue;
        }
        const QByteArrayView literal = s.sliced(literalStart, at - literalStart);
        // Whitespace between two encoded words is not part of the text.
        if (!(inRun && allSpace(literal))) {
            flush();
            out += QString::fromUtf8(literal);
        }
        // Adjacent words of one charset are joined before conversion: senders split
        // multibyte characters (and ISO-2022 shift states) across words.
        if (inRun && word.charset == runCharset) {
            runBytes += word.bytes;
        } else {
            flush();
            runCharset = word.charset;
            runBytes = word.bytes;
            inRun = true;
        }
        literalStart = i = word.end;
    }
    flush();
    out += QString::fromUtf8(s.sliced(literalStart));
    return out;
}

// Escapes `text` for use inside a quoted string (`close` '"') or a comment (')').
QByteArray escaped(const QString &text, char open, char close)
{
    QByteArray out;
    for (char c : text.toUtf8()) {
        if (c == '\\' || c == open || c == close)
            out += '\\';
        out += c;
    }
    return out;
}

// The address header with every run of encoded words replaced by its decoded text,
// quoted so that commas, angle brackets or quotes inside display names cannot change
// the structure that the address parser sees.
QByteArray decodeWordsForAddresses(const QByteArray &s, const QList<QByteArray> &hints)
{
    QByteArray out;
    out.reserve(s.size());
    bool inQuote = false, inAngle = false;
    int commentDepth = 0;
    for (qsizetype i = 0; i < s.size();) {
        const char c = s[i];
        if (!inAngle && c == '=' && i + 1 < s.size() && s[i + 1] == '?') {
            EncodedWord word;
            if (parseEncodedWord(s, i, &word)) {
                qsizetype end = word.end;
                for (;;) {
                    qsizetype next = end;
                    while (next < s.size() && isSpace(s[next]))
                        ++next;
                    EncodedWord more;
                    if (next + 1 < s.size() && s[next] == '=' && s[next + 1] == '?' && parseEncodedWord(s, next, &more))
                        end = more.end;
                    else
                        break;
                }
                const QString text = decodeWords(QByteArrayView(s).sliced(i, end - i), hints);
                if (inQuote)
                    out += escaped(text, '"', '"');
                else if (commentDepth > 0)
                    out += escaped(text, '(', ')');
                else
                    out += '"' + escaped(text, '"', '"') + '"';
                i = end;
                continue;
            }
        }
        out += c;
        if ((inQuote || commentDepth > 0) && c == '\\' && i + 1 < s.size()) {
            out += s[i + 1];
            i += 2;
            continue;
        }
        if (inQuote) {
            inQuote = c != '"';
        } else if (commentDepth > 0) {
            commentDepth += c == '(' ? 1 : c == ')' ? -1 : 0;
        } else if (inAngle) {
            inAngle = c != '>';
        } else if (c == '"') {
            inQuote = true;
        } else if (c == '(') {
            commentDepth = 1;
        } else if (c == '<') {
            inAngle = true;
        }
        ++i;
    }
    return out;
}

void appendAddresses(InternetAddressList *list, MCOAddressList *out, int depth)
{
    if (!list || depth > 8)
        return;
    const int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress *address = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(address)) {
            appendAddresses(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(address)), out, depth + 1);
            continue;
        }
        if (!INTERNET_ADDRESS_IS_MAILBOX(address))
            continue;
        const QString name = cleanLine(QString::fromUtf8(internet_address_get_name(address)));
        const QString mailbox =
            QString::fromUtf8(internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(address))).trimmed();
        if (name.isEmpty() && mailbox.isEmpty())
            continue;
        out->append(MCOAddress(name, mailbox));
    }
}

struct ParamSection {
    QByteArray value;
    bool extended = false;
};

// Splits "charset'language'text" of an extended RFC 2231 value. Loose: a value
// without the quotes is read as plain percent-encoded text.
void splitExtended(const QByteArray &value, QByteArray *charset, QByteArray *text)
{
    const qsizetype q1 = value.indexOf('\'');
    const qsizetype q2 = q1 < 0 ? -1 : value.indexOf('\'', q1 + 1);
    if (q2 < 0) {
        *text = value;
        return;
    }
    *charset = value.left(q1);
    *text = value.mid(q2 + 1);
}

} // namespace

QString MCOHeaderDecoder::decodeText(QByteArrayView raw, const QList<QByteArray> &hints)
{
    if (raw.isNull())
        return {};
    QByteArray text = unfold(raw);
    const bool ascii = MCOCharset::isAscii(text);
    if (ascii && !text.contains("=?"))
        return cleanLine(QString::fromLatin1(text));
    if (!ascii)
        text = toUtf8Text(text, hints);
    return cleanLine(decodeWords(text, hints));
}

MCOAddressList MCOHeaderDecoder::decodeAddresses(QByteArrayView raw, const QList<QByteArray> &hints)
{
    MCOAddressList out;
    QByteArray text = unfold(raw);
    if (!MCOCharset::isAscii(text))
        text = toUtf8Text(text, hints);
    if (text.contains("=?"))
        text = decodeWordsForAddresses(text, hints);
    if (allSpace(text))
        return out;
    InternetAddressList *list = internet_address_list_parse(MCOGMime::parserOptions(), text.constData());
    if (list) {
        appendAddresses(list, &out, 0);
        g_object_unref(list);
    }
    return out;
}

QString MCOHeaderDecoder::leadingToken(QByteArrayView rawValue)
{
    QByteArray text = unfold(rawValue).trimmed();
    qsizetype end = 0;
    while (end < text.size() && text[end] != ';' && !isSpace(text[end]))
        ++end;
    QByteArray token = text.left(end);
    // Tolerates a quoted token ("attachment").
    token.replace('"', QByteArray());
    return QString::fromLatin1(token).toLower();
}

QString MCOHeaderDecoder::parameter(QByteArrayView rawValue, QByteArrayView name, const QList<QByteArray> &hints)
{
    const QByteArray s = unfold(rawValue);
    const QByteArray wanted = name.toByteArray().toLower();
    QByteArray plain;
    bool hasPlain = false;
    QByteArray extendedSingle;
    bool hasExtendedSingle = false;
    QMap<int, ParamSection> sections;

    // Skip the leading token ("attachment", "text/plain").
    qsizetype i = 0;
    bool quoted = false;
    while (i < s.size() && (quoted || s[i] != ';')) {
        if (s[i] == '"')
            quoted = !quoted;
        ++i;
    }
    while (i < s.size()) {
        while (i < s.size() && (s[i] == ';' || isSpace(s[i])))
            ++i;
        const qsizetype nameBegin = i;
        while (i < s.size() && s[i] != '=' && s[i] != ';')
            ++i;
        if (i >= s.size() || s[i] == ';')
            continue; // a parameter without a value
        QByteArray attribute = s.mid(nameBegin, i - nameBegin).trimmed().toLower();
        ++i; // '='
        while (i < s.size() && isSpace(s[i]))
            ++i;
        QByteArray value;
        if (i < s.size() && s[i] == '"') {
            // Quoted: backslash escapes; an unterminated quote runs to the end.
            ++i;
            while (i < s.size() && s[i] != '"') {
                if (s[i] == '\\' && i + 1 < s.size())
                    ++i;
                value += s[i++];
            }
            ++i;
            while (i < s.size() && s[i] != ';')
                ++i; // junk after the closing quote
        } else {
            // Unquoted values with spaces in them ("filename=My File.pdf") are kept whole.
            const qsizetype begin = i;
            while (i < s.size() && s[i] != ';')
                ++i;
            value = s.mid(begin, i - begin).trimmed();
        }

        if (attribute == wanted) {
            if (!hasPlain) {
                plain = value;
                hasPlain = true;
            }
            continue;
        }
        if (!attribute.startsWith(wanted) || attribute.size() <= wanted.size() || attribute[wanted.size()] != '*')
            continue;
        QByteArray rest = attribute.mid(wanted.size() + 1);
        if (rest.isEmpty()) {
            if (!hasExtendedSingle) {
                extendedSingle = value;
                hasExtendedSingle = true;
            }
            continue;
        }
        const bool extended = rest.endsWith('*');
        if (extended)
            rest.chop(1);
        bool ok = false;
        const int index = rest.toInt(&ok);
        if (ok && index >= 0 && index < 1000 && !sections.contains(index))
            sections.insert(index, {value, extended});
    }

    if (hasExtendedSingle) {
        QByteArray charset, text;
        splitExtended(extendedSingle, &charset, &text);
        const QByteArray bytes = percentDecode(text);
        if (charset.isEmpty())
            return decodeText(bytes, hints);
        return cleanLine(MCOCharset::toUnicode(bytes, charset, hints));
    }
    if (!sections.isEmpty()) {
        // Sections are joined in number order; a missing number is skipped.
        QByteArray charset, bytes;
        bool first = true;
        for (auto it = sections.cbegin(); it != sections.cend(); ++it) {
            if (it->extended) {
                QByteArray text = it->value;
                if (first)
                    splitExtended(it->value, &charset, &text);
                bytes += percentDecode(text);
            } else {
                bytes += it->value;
            }
            first = false;
        }
        if (charset.isEmpty())
            return decodeText(bytes, hints);
        return cleanLine(MCOCharset::toUnicode(bytes, charset, hints));
    }
    if (hasPlain) {
        // RFC 2047 inside a quoted parameter is not allowed, and is what most mailers send.
        return decodeText(plain, hints);
    }
    return {};
}

QDateTime MCOHeaderDecoder::decodeDate(QByteArrayView raw)
{
    const QByteArray text = unfold(raw).trimmed();
    if (text.isEmpty())
        return {};
    MCOGMime::ensureInitialized();
    GDateTime *date = g_mime_utils_header_decode_date(text.constData());
    if (!date)
        return {};
    const qint64 seconds = g_date_time_to_unix(date);
    const int year = g_date_time_get_year(date);
    g_date_time_unref(date);
    if (year < 1 || year > 9999)
        return {};
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC);
}

QString MCOHeaderDecoder::decodeMessageID(QByteArrayView raw)
{
    const QByteArray text = unfold(raw).trimmed();
    if (text.isEmpty())
        return {};
    MCOGMime::ensureInitialized();
    if (char *id = g_mime_utils_decode_message_id(text.constData())) {
        QString out = QString::fromUtf8(id);
        g_free(id);
        if (!out.isEmpty())
            return out;
    }
    // Not a msg-id at all ("<>", free text): keep what is there, minus the brackets.
    QString out = QString::fromUtf8(text);
    if (out.startsWith(QLatin1Char('<')))
        out.remove(0, 1);
    if (out.endsWith(QLatin1Char('>')))
        out.chop(1);
    return cleanLine(out);
}

void MCOHeaderDecoder::collectCharsets(QByteArrayView raw, QList<QByteArray> *charsets)
{
    qsizetype i = 0;
    while ((i = raw.indexOf(QByteArrayView("=?"), i)) >= 0) {
        const qsizetype begin = i + 2;
        const qsizetype q = raw.indexOf('?', begin);
        if (q < 0)
            return;
        if (q > begin && q - begin <= 64) {
            QByteArray charset = raw.sliced(begin, q - begin).toByteArray().toLower();
            const qsizetype star = charset.indexOf('*');
            if (star >= 0)
                charset.truncate(star);
            if (!charset.isEmpty() && !charsets->contains(charset) && charsets->size() < 16)
                charsets->append(charset);
        }
        i = q;
    }
}

void MCOHeaderDecoder::fillHeader(MCOMessageHeader &header, const QList<RawField> &fields,
                                  const QList<QByteArray> &hints)
{
    bool haveSubject = false, haveDate = false, haveID = false, haveFrom = false, haveSender = false,
         haveReceived = false;
    MCOAddressList to, cc, bcc, replyTo;
    for (const RawField &field : fields) {
        const QByteArray name = field.name.trimmed().toLower();
        const QString value = decodeText(field.value, hints);
        header.addHeader(QString::fromUtf8(field.name.trimmed()), value);
        if (name == "subject") {
            if (!haveSubject)
                header.setSubject(value);
            haveSubject = true;
        } else if (name == "date") {
            if (!haveDate)
                header.setDate(decodeDate(field.value));
            haveDate = true;
        } else if (name == "message-id") {
            if (!haveID)
                header.setMessageID(decodeMessageID(field.value));
            haveID = true;
        } else if (name == "from" || name == "sender") {
            bool &seen = name == "from" ? haveFrom : haveSender;
            if (!seen) {
                const MCOAddressList list = decodeAddresses(field.value, hints);
                const MCOAddress first = list.isEmpty() ? MCOAddress() : list.first();
                if (name == "from")
                    header.setFrom(first);
                else
                    header.setSender(first);
            }
            seen = true;
        } else if (name == "to") {
            // A recipient field repeated on several lines (broken, but sent) adds up.
            to += decodeAddresses(field.value, hints);
        } else if (name == "cc") {
            cc += decodeAddresses(field.value, hints);
        } else if (name == "bcc") {
            bcc += decodeAddresses(field.value, hints);
        } else if (name == "reply-to") {
            replyTo += decodeAddresses(field.value, hints);
        } else if (name == "received") {
            if (!haveReceived) {
                const QByteArray raw = unfold(field.value);
                const qsizetype semicolon = raw.lastIndexOf(';');
                if (semicolon >= 0)
                    header.setReceivedDate(decodeDate(QByteArrayView(raw).sliced(semicolon + 1)));
            }
            haveReceived = true;
        }
    }
    header.setTo(to);
    header.setCc(cc);
    header.setBcc(bcc);
    header.setReplyTo(replyTo);
}
