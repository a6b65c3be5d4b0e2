#include "SearchIndex/ThumbnailCache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrl>

#include <poppler-qt6.h>

#include <sys/stat.h>

namespace ThumbnailCache {

namespace {

QString fileUri(const QString &path) { return QString::fromUtf8(QUrl::fromLocalFile(path).toEncoded()); }

QImage render(const QString &path)
{
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix == QLatin1String("pdf")) {
        auto doc = Poppler::Document::load(path);
        if (!doc || doc->isLocked() || doc->numPages() < 1)
            return {};
        doc->setRenderHint(Poppler::Document::Antialiasing);
        doc->setRenderHint(Poppler::Document::TextAntialiasing);
        std::unique_ptr<Poppler::Page> page(doc->page(0));
        if (!page)
            return {};
        const QSizeF points = page->pageSizeF();
        if (points.isEmpty())
            return {};
        const double dpi = 72.0 * kSize / std::max(points.width(), points.height());
        return page->renderToImage(dpi, dpi);
    }
    QImageReader reader(path);
    if (!reader.canRead())
        return {};
    QSize size = reader.size();
    if (size.isValid() && (size.width() > kSize || size.height() > kSize))
        reader.setScaledSize(size.scaled(kSize, kSize, Qt::KeepAspectRatio));
    return reader.read();
}

} // namespace

QString thumbnailPath(const QString &path)
{
    const QByteArray md5 = QCryptographicHash::hash(fileUri(path).toUtf8(), QCryptographicHash::Md5).toHex();
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/thumbnails/large/") +
           QString::fromLatin1(md5) + QStringLiteral(".png");
}

QImage thumbnail(const QString &path)
{
    const QFileInfo info(path);
    if (!info.isFile())
        return {};
    const QString mtime = QString::number(info.lastModified().toSecsSinceEpoch());
    const QString cached = thumbnailPath(path);
    QImage image(cached);
    if (!image.isNull() && image.text(QStringLiteral("Thumb::MTime")) == mtime)
        return image;
    image = render(path);
    if (image.isNull())
        return {};
    const QString folder = QFileInfo(cached).path();
    QDir().mkpath(folder);
    ::chmod(QFile::encodeName(QFileInfo(folder).path()).constData(), 0700);
    ::chmod(QFile::encodeName(folder).constData(), 0700);
    image.setText(QStringLiteral("Thumb::URI"), fileUri(path));
    image.setText(QStringLiteral("Thumb::MTime"), mtime);
    image.setText(QStringLiteral("Thumb::Size"), QString::number(info.size()));
    image.setText(QStringLiteral("Software"), QStringLiteral("Tarnwick"));
    QSaveFile out(cached);
    if (out.open(QIODevice::WriteOnly)) {
        out.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        if (image.save(&out, "PNG"))
            out.commit();
    }
    return image;
}

} // namespace ThumbnailCache
