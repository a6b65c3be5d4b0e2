#include "SearchIndex/FileInfoGatherer.h"

#include "openmeta/PdfInfo.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <poppler-qt6.h>

namespace FileInfoGatherer {

namespace {

enum class Kind { Pdf, Image, Other };

Kind kindOf(const QString &suffix)
{
    const QString s = suffix.toLower();
    if (s == QLatin1String("pdf"))
        return Kind::Pdf;
    static const QStringList images{QStringLiteral("jpg"), QStringLiteral("png"), QStringLiteral("gif"),
                                    QStringLiteral("tif"), QStringLiteral("tiff")};
    return images.contains(s) ? Kind::Image : Kind::Other;
}

void count(QVariantMap &info, Kind kind, qint64 size)
{
    const char *key = kind == Kind::Pdf ? "numPDFs" : kind == Kind::Image ? "numImages" : "numOther";
    info[QLatin1String(key)] = info.value(QLatin1String(key)).toLongLong() + 1;
    info[QStringLiteral("totalBytes")] = info.value(QStringLiteral("totalBytes")).toLongLong() + size;
}

} // namespace

QVariantMap gather(const QString &path, const std::atomic_bool *cancel)
{
    QVariantMap info{{QStringLiteral("path"), path},        {QStringLiteral("numPDFs"), 0},
                     {QStringLiteral("numImages"), 0},      {QStringLiteral("numOther"), 0},
                     {QStringLiteral("totalBytes"), qint64(0)}};
    const QFileInfo top(path);
    if (top.isDir()) {
        info[QStringLiteral("isFolder")] = true;
        QStringList pending{path};
        while (!pending.isEmpty() && !(cancel && *cancel)) {
            const QDir dir(pending.takeLast());
            if (!dir.isReadable()) {
                TLog(QStringLiteral("[Error] %1 (%2)").arg(dir.path(), QStringLiteral("not readable")));
                continue;
            }
            for (const QFileInfo &entry :
                 dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks)) {
                if (entry.isDir()) {
                    if (!entry.fileName().startsWith(u'_'))
                        pending.append(entry.filePath());
                } else if (entry.isFile()) {
                    count(info, kindOf(entry.suffix()), entry.size());
                }
            }
        }
        return info;
    }
    if (!top.exists())
        return info;
    const Kind kind = kindOf(top.suffix());
    count(info, kind, top.size());
    QDateTime created = top.lastModified(); // the message's date, on archived files
    int pages = 1;
    QString tags;
    if (kind == Kind::Pdf) {
        if (auto doc = Poppler::Document::load(path); doc && !doc->isLocked()) {
            pages = doc->numPages();
            if (doc->creationDate().isValid())
                created = doc->creationDate();
        }
        tags = PdfInfo::presentKeywords(path).join(QStringLiteral(", "));
    }
    info[QStringLiteral("created")] = QLocale().toString(created.toLocalTime(), QLocale::ShortFormat);
    info[QStringLiteral("pageCount")] = pages;
    info[QStringLiteral("tags")] = tags;
    return info;
}

QString describe(const QVariantMap &info)
{
    if (info.value(QStringLiteral("isFolder")).toBool())
        return QStringLiteral("PDFs: %1\nImages: %2\nOther: %3\nSize: %4 MB")
            .arg(info.value(QStringLiteral("numPDFs")).toLongLong())
            .arg(info.value(QStringLiteral("numImages")).toLongLong())
            .arg(info.value(QStringLiteral("numOther")).toLongLong())
            .arg(info.value(QStringLiteral("totalBytes")).toLongLong() / 1000000);
    QString tags = info.value(QStringLiteral("tags")).toString();
    tags.replace(QStringLiteral(", "), QStringLiteral("\n"));
    return QStringLiteral("%1\nPages: %2\nSize: %3 MB\n%4")
        .arg(info.value(QStringLiteral("created")).toString())
        .arg(info.value(QStringLiteral("pageCount")).toInt())
        .arg(double(info.value(QStringLiteral("totalBytes")).toLongLong()) / 1000000.0, 0, 'f', 4)
        .arg(tags);
}

} // namespace FileInfoGatherer
