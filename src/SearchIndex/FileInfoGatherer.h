#pragma once
// FileInfoGatherer: what the search view's information panel says of a path. A folder is
// walked (hidden entries and the contents of folders whose name starts with "_" left out)
// and its files counted as PDFs, images and others, with their total size; a file gives
// its creation date, size, pages and, for a PDF, its keywords.
//
// Blocking and possibly long (a whole archive): the view runs it off the main thread and
// keeps the answers.

#include <QString>
#include <QVariantMap>

#include <atomic>

namespace FileInfoGatherer {

/// The information of `path`: for a folder "path", "numPDFs", "numImages", "numOther",
/// "totalBytes"; for a file also "created" (text), "pageCount" and "tags". `cancel`
/// stops a walk early (the counts so far are returned).
QVariantMap gather(const QString &path, const std::atomic_bool *cancel = nullptr);

/// The panel's text for `info`.
QString describe(const QVariantMap &info);

} // namespace FileInfoGatherer
