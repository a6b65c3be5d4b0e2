#include "Utils/ImapUTF7.h"

#include <QByteArray>

namespace {

// Base64 with "," in place of "/", no padding.
int sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == ',')
        return 63;
    return -1;
}

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

// Decodes one shifted run (the text between "&" and "-"); false when it is not valid.
bool decodeRun(QByteArrayView run, QString &out)
{
    quint32 bits = 0;
    int count = 0;
    QString units;
    for (char c : run) {
        const int v = sextet(c);
        if (v < 0)
            return false;
        bits = (bits << 6) | quint32(v);
        count += 6;
        if (count >= 16) {
            count -= 16;
            units.append(QChar(char16_t((bits >> count) & 0xFFFF)));
        }
    }
    // Left-over bits are padding and must be zero; a run that encodes nothing is invalid.
    if (units.isEmpty() || (bits & ((1u << count) - 1)) != 0)
        return false;
    for (qsizetype i = 0; i < units.size(); ++i) {
        const QChar c = units.at(i);
        if (c.isHighSurrogate() && i + 1 < units.size() && units.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return false;
    }
    out += units;
    return true;
}

} // namespace

QString ImapUTF7::decode(QByteArrayView name)
{
    QString out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c != '&') {
            if (uchar(c) >= 0x80)
                return QString::fromUtf8(name); // not modified UTF-7 at all
            out += QLatin1Char(c);
            continue;
        }
        const qsizetype end = name.indexOf('-', i + 1);
        if (end < 0)
            return QString::fromUtf8(name);
        if (end == i + 1) {
            out += QLatin1Char('&');
        } else if (!decodeRun(name.sliced(i + 1, end - i - 1), out)) {
            return QString::fromUtf8(name);
        }
        i = end;
    }
    return out;
}

QByteArray ImapUTF7::encode(const QString &name)
{
    QByteArray out;
    QString run;
    const auto flush = [&] {
        if (run.isEmpty())
            return;
        out += '&';
        quint32 bits = 0;
        int count = 0;
        for (QChar u : run) {
            bits = (bits << 16) | u.unicode();
            count += 16;
            while (count >= 6) {
                count -= 6;
                out += kAlphabet[(bits >> count) & 0x3F];
            }
        }
        if (count > 0)
            out += kAlphabet[(bits << (6 - count)) & 0x3F];
        out += '-';
        run.clear();
    };
    for (QChar c : name) {
        const char16_t u = c.unicode();
        if (u >= 0x20 && u <= 0x7E) {
            flush();
            out += u == u'&' ? QByteArray("&-") : QByteArray(1, char(u));
        } else {
            run += c;
        }
    }
    flush();
    return out;
}
