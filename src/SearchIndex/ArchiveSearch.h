#pragma once
// ArchiveSearch: one search of the archive as the search view and `tarnwick search` run
// it. With every field empty it browses: the roots, or the entries of the folder the
// search is narrowed to, in browse order. Otherwise the index answers the query (newest
// first, at most 2000 files, each followed by its attachments); when the index cannot be
// used, or finds nothing, the manual search walks the folders and matches names and tags.
//
// Blocking: the view runs it off the main thread. Nothing here touches a widget.

#include "SearchIndex/ArchiveIndex.h"
#include "SearchIndex/SearchQuery.h"
#include "SearchIndex/SearchRoots.h"
#include "SearchView/SearchItem.h"

#include <QList>
#include <QSet>
#include <QString>

#include <atomic>

namespace ArchiveSearch {

/// The most index results turned into items; beyond it the results stop following
/// changes of the archive.
constexpr int kMaxQueryResults = 2000;
/// The manual search stops once its list holds more than this many items.
constexpr int kManualSearchLimit = 1000;

struct Request {
    SearchQuery::Fields fields;
    QString pathConstraint;
    QList<SearchRoot> roots;
    QString indexPath = ArchiveIndex::defaultPath();
    int limit = kMaxQueryResults;
};

struct Outcome {
    QList<SearchItem> items;
    QString queryString;     ///< empty when browsing
    bool browsing = false;
    bool manual = false;     ///< the manual search gave the items
    bool liveUpdates = true; ///< false when the query found more than the limit
};

/// Runs `request`. `cancel`, when set, stops a manual search early.
Outcome run(const Request &request, const std::atomic_bool *cancel = nullptr);

/// The browse items of `directories` ("constrained": list their entries; otherwise one
/// item per directory).
QList<SearchItem> browse(const QStringList &directories, bool constrained, const QString &indexPath);

/// The manual search: every file and folder below `directories` (hidden ones left out)
/// whose lower-cased name contains one of the non-empty fields (lower-cased and trimmed,
/// not tokenised), or one of whose tags does.
QList<SearchItem> runManualSearch(const SearchQuery::Fields &fields, const QStringList &directories,
                                  const std::atomic_bool *cancel = nullptr);

/// Appends `item` and its attachments to `items`, each path once.
void appendWithAttachments(QList<SearchItem> &items, QSet<QString> &seen, const SearchItem &item);

} // namespace ArchiveSearch
