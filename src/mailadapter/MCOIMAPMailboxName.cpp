#include "mailadapter/MCOIMAPMailboxName.h"

#include <QByteArray>
#include <QStringList>

namespace MCOIMAPMailboxName {

namespace {

// The UTF-16 text of one shifted run ("APw" of "&APw-"), or a null string when the run
// is not valid modified base64.
QString decodeRun(const QString &run)
{
    if (run.isEmpty())
        return QString();
    QByteArray b64 = run.toLatin1();
    for (char c : std::as_const(b64)) {
        const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == ',';
        if (!ok)
            return QString();
    }
    b64.replace(',', '/');
    while (b64.size() % 4)
        b64.append('=');
    const auto decoded = QByteArray::fromBase64Encoding(b64, QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() % 2)
        return QString();
    QString out;
    for (qsizetype i = 0; i + 1 < decoded.decoded.size(); i += 2)
        out += QChar(char16_t((uchar(decoded.decoded[i]) << 8) | uchar(decoded.decoded[i + 1])));
    return out;
}

QString safeLevel(QString level)
{
    QString out;
    for (const QChar c : level) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || (c.unicode() >= 0x80 && c.unicode() < 0xa0))
            continue; // control characters name nothing a user can type
        out += (c == QLatin1Char('/') || c == QLatin1Char('\\')) ? QLatin1Char('_') : c;
    }
    out = out.trimmed();
    if (out.isEmpty() || out == QLatin1String(".") || out == QLatin1String(".."))
        out = QString(qMax<qsizetype>(out.size(), 1), QLatin1Char('_'));
    return out;
}

} // namespace

QString decodeModifiedUTF7(const QString &name)
{
    QString out;
    for (qsizetype i = 0; i < name.size(); ++i) {
        if (name[i] != QLatin1Char('&')) {
            out += name[i];
            continue;
        }
        const qsizetype end = name.indexOf(QLatin1Char('-'), i + 1);
        if (end < 0) {
            out += name.mid(i);
            break;
        }
        if (end == i + 1) {
            out += QLatin1Char('&'); // "&-"
        } else {
            const QString run = decodeRun(name.mid(i + 1, end - i - 1));
            out += run.isNull() ? name.mid(i, end - i + 1) : run;
        }
        i = end;
    }
    return out;
}

QString mailFolderForPath(const QString &path, QChar delimiter)
{
    const QString decoded = decodeModifiedUTF7(path);
    // Levels are split on the server's delimiter in the decoded name; a delimiter never
    // occurs inside a shifted run, so splitting before or after decoding is the same.
    const QStringList levels = delimiter.isNull() ? QStringList{decoded} : decoded.split(delimiter);
    QStringList kept;
    for (const QString &level : levels) {
        if (level.isEmpty())
            continue; // "a//b", a leading or trailing delimiter
        kept << safeLevel(level);
    }
    if (kept.isEmpty())
        kept << QStringLiteral("_");
    return kept.join(QLatin1Char('/'));
}

} // namespace MCOIMAPMailboxName
