#include "localmail/EmlxConverter.h"

#include "Utils/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstdlib>

namespace {

const QByteArray kContentLength = QByteArrayLiteral("X-Apple-Content-Length:");
constexpr qint64 kSanityLimit = 100'000'000'000LL;

std::optional<QByteArray> readWhole(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return std::nullopt;
    return f.readAll();
}

// strtol over a bounded, terminated copy: the same reading whatever follows.
long readDecimal(const char *start, qsizetype available, qsizetype limit)
{
    char buffer[32] = {};
    const qsizetype n = qMin(available, qMin<qsizetype>(limit, sizeof buffer - 1));
    if (n > 0)
        memcpy(buffer, start, size_t(n));
    return std::strtol(buffer, nullptr, 10);
}

// The path less its last two extensions: ".../1234.partial.emlx" -> ".../1234".
QString withoutTwoExtensions(const QString &path)
{
    QString p = path;
    for (int i = 0; i < 2; ++i) {
        const QFileInfo info(p);
        const QString name = info.fileName();
        const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
        if (dot <= 0)
            break;
        p = info.path() + QLatin1Char('/') + name.left(dot);
    }
    return p;
}

} // namespace

std::optional<QByteArray> EmlxConverter::emlxFileToEMLData(const QString &path)
{
    if (QFileInfo(path).suffix() != QLatin1String("emlx")) {
        TLog(QStringLiteral("only call this class for emlx files"));
        return readWhole(path);
    }
    const auto bytes = readWhole(path);
    if (!bytes || bytes->size() < 25)
        return std::nullopt;
    const QByteArray &data = *bytes;
    long count = readDecimal(data.constData(), data.size(), 19);
    qsizetype start = 0;
    if (data.at(0) != '\n') {
        const qsizetype lf = data.indexOf('\n', 1);
        start = lf < 0 ? data.size() : lf + 1;
    }
    const qsizetype available = data.size() - start;
    if (count > available) {
        TLog(QStringLiteral("found corrupt emlx file??"));
        count = long(available) - 1;
    }
    if (count <= 0)
        return QByteArray();
    return data.mid(start, count);
}

std::optional<QStringList> EmlxConverter::emlxparts(const QString &path)
{
    if (!path.contains(QLatin1String("partial.emlx")))
        return std::nullopt;
    const QString base = withoutTwoExtensions(path);
    QStringList parts;
    for (int i = 1; i <= 59; ++i) {
        const QString outer = QStringLiteral("%1.%2.emlxpart").arg(base).arg(i);
        if (QFileInfo::exists(outer)) {
            parts.append(outer);
            if (i > 40)
                TLog(QStringLiteral("Found part with high number %1").arg(i));
        }
        for (int j = 1; j <= 9; ++j) {
            const QString inner = QStringLiteral("%1.%2.%3.emlxpart").arg(base).arg(i).arg(j);
            if (QFileInfo::exists(inner))
                parts.append(inner);
        }
    }
    return parts;
}

std::optional<EmlxConverter::PartsMap> EmlxConverter::emlxpartAttachments(const QString &path)
{
    const auto files = emlxparts(path);
    if (!files)
        return std::nullopt;
    PartsMap parts;
    for (const QString &file : *files) {
        if (auto bytes = readWhole(file))
            parts.append({file, *bytes});
    }
    if (parts.isEmpty())
        return std::nullopt;
    return parts;
}

std::optional<QByteArray> EmlxConverter::dataForXAppleContentLength(const QByteArray &data, qsizetype position,
                                                                    PartsMap &parts)
{
    const qsizetype available = qMax<qsizetype>(0, data.size() - position);
    const double declared = double(readDecimal(data.constData() + qMin(position, data.size()), available, 11));
    // The Mail application records the size of the encoded part; part files hold it
    // slightly smaller, by this ratio.
    const double expected = declared / 1.0129870129;
    double best = 1e99;
    qsizetype bestIndex = -1;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        const double size = double(parts[i].second.size());
        if (size <= 0)
            continue;
        const double fit = std::fabs(size - expected) / size;
        if (fit < best) {
            best = fit;
            bestIndex = i;
        }
    }
    if (bestIndex >= 0)
        return parts.takeAt(bestIndex).second;
    if (!parts.isEmpty())
        TLog(QStringLiteral("could not find attachment of length %1").arg(expected, 0, 'f', 6));
    return std::nullopt;
}

std::optional<qsizetype> EmlxConverter::findNextInsertionPoint(qsizetype position, qsizetype bytesLeft,
                                                               const QByteArray &data, QByteArray *partData,
                                                               PartsMap &parts)
{
    const QByteArrayView window(data.constData() + position, qMin(bytesLeft, data.size() - position));
    const qsizetype at = window.indexOf(kContentLength);
    if (at < 0)
        return std::nullopt;
    const qsizetype header = position + at;
    const auto part = dataForXAppleContentLength(data, header + kContentLength.size(), parts);
    if (partData)
        *partData = part.value_or(QByteArray());
    const QByteArrayView nearby(data.constData() + header, qMin<qsizetype>(320, data.size() - header));
    const qsizetype blank = nearby.indexOf(QByteArrayView("\n\n"));
    if (blank < 0) {
        TLog(QStringLiteral("could not find location to put attachment"));
        return std::nullopt;
    }
    // After the blank line that ends the part's header: the part's content went there.
    // (Inserting between the two line feeds would put the content into the part header,
    // and the attachment would decode as empty.)
    return header + blank + 2;
}

std::optional<QString> EmlxConverter::findSierraStyleAttachmentsFolder(const QString &path)
{
    const QFileInfo message(path);
    const QString name = QFileInfo(withoutTwoExtensions(path)).fileName();
    const QString folder = QFileInfo(message.path()).path() + QStringLiteral("/Attachments/") + name;
    if (QFileInfo(folder).isDir())
        return folder;
    return std::nullopt;
}

std::optional<QByteArray> EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(const QString &path,
                                                                               QString *mailappAttachments)
{
    if (mailappAttachments)
        *mailappAttachments = findSierraStyleAttachmentsFolder(path).value_or(QString());
    const auto message = emlxFileToEMLData(path);
    if (!message)
        return std::nullopt;
    auto parts = emlxpartAttachments(path);
    if (!parts)
        return message;

    const QByteArray &data = *message;
    QByteArray out;
    qsizetype position = 0;
    qsizetype left = data.size();
    QByteArray part;
    while (auto insertAt = findNextInsertionPoint(position, left, data, &part, *parts)) {
        const qsizetype stretch = *insertAt - position;
        if (stretch > kSanityLimit || stretch < 0) {
            TLog(QStringLiteral("Found problem with bytesToAdd"));
            return message;
        }
        out.append(data.constData() + position, stretch);
        out.append(part);
        part.clear();
        position = *insertAt;
        left -= stretch;
    }
    if (left > kSanityLimit) {
        TLog(QStringLiteral("Found problem with bytes left"));
        return message;
    }
    out.append(data.constData() + position, left);
    if (!parts->isEmpty())
        TLog(QStringLiteral("Could not place a part in an emlx file"));
    return out;
}

QByteArray EmlxConverter::removeNULLs(const QByteArray &data)
{
    if (!data.contains('\0'))
        return data;
    QByteArray out;
    out.reserve(data.size());
    for (char c : data)
        if (c != '\0')
            out.append(c);
    return out;
}

void EmlxConverter::hackFixForMailCoreFailOnAttachmentFilename(QByteArray &data)
{
    static const QByteArray needle = QByteArrayLiteral("filename*=utf-8''");
    static const QByteArray replacement = QByteArrayLiteral("        filename=");
    static_assert(sizeof("filename*=utf-8''") == sizeof("        filename="));
    qsizetype at = data.indexOf(needle);
    while (at >= 0) {
        memcpy(data.data() + at, replacement.constData(), size_t(replacement.size()));
        at = data.indexOf(needle, at + 1);
    }
}

QByteArray EmlxConverter::cleanRawMessage(QByteArray data)
{
    // The extended-parameter rewrite is not applied: the parser decodes RFC 2231
    // parameters itself, and the rewrite would hand it a still percent-encoded name.
    return removeNULLs(data);
}
