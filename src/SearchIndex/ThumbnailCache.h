#pragma once
// ThumbnailCache: first-page thumbnails of archived PDFs (and scaled images), shared with
// the desktop's file managers through the freedesktop thumbnail cache
// ($XDG_CACHE_HOME/thumbnails/large, PNG named by the MD5 of the file's URI, with
// Thumb::URI and Thumb::MTime so that a changed file gets a new one).
//
// Blocking (a PDF page is rendered): call off the main thread. Thumbnails are written
// 0600 in 0700 folders, as the freedesktop thumbnail standard asks, since they show
// private mail.

#include <QImage>
#include <QString>

namespace ThumbnailCache {

/// The edge of the "large" thumbnails.
constexpr int kSize = 256;

/// The cache file of `path`.
QString thumbnailPath(const QString &path);

/// The thumbnail of `path`: the cached one when it is current, else a new one (stored).
/// Null for files that have none (not a PDF or image, unreadable).
QImage thumbnail(const QString &path);

} // namespace ThumbnailCache
