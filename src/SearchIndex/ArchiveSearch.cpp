#include "SearchIndex/ArchiveSearch.h"

#include "openmeta/OpenMeta.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace ArchiveSearch {

void appendWithAttachments(QList<SearchItem> &items, QSet<QString> &seen, const SearchItem &item)
{
    // An attachment may match the query itself and also follow its message: it is shown
    // once, where it comes first.
    if (seen.contains(item.path()))
        return;
    seen.insert(item.path());
    items.append(item);
    for (const SearchItem &attachment : SearchItem::attachmentsOf(item)) {
        if (seen.contains(attachment.path()))
            continue;
        seen.insert(attachment.path());
        items.append(attachment);
    }
}

QList<SearchItem> browse(const QStringList &directories, bool constrained, const QString &indexPath)
{
    QList<SearchItem> items;
    // The index gives the grid the authors and dates of the PDFs, where it has them.
    std::optional<ArchiveIndex> index;
    if (QFileInfo::exists(indexPath))
        index.emplace(indexPath);
    const auto attributes = [&](const QString &path) {
        if (index && path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
            if (auto a = index->attributesOf(path))
                return *a;
        return SearchAttributes{};
    };
    for (const QString &dir : directories) {
        if (!constrained) {
            if (auto item = SearchItem::make(dir))
                items.append(*item);
            continue;
        }
        QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        std::stable_sort(names.begin(), names.end(), SearchItem::browseOrderLess);
        for (const QString &name : names) {
            const QString path = QDir(dir).filePath(name);
            if (auto item = SearchItem::make(path, attributes(path)))
                items.append(*item);
        }
    }
    return items;
}

QList<SearchItem> runManualSearch(const SearchQuery::Fields &fields, const QStringList &directories,
                                  const std::atomic_bool *cancel)
{
    QStringList needles;
    for (const QString &field : {fields.subject, fields.email, fields.everywhere}) {
        const QString needle = field.toLower().trimmed();
        if (!needle.isEmpty())
            needles.append(needle);
    }
    QList<SearchItem> items;
    QSet<QString> seen;
    if (needles.isEmpty())
        return items;
    const auto matches = [&](const QString &text) {
        return std::any_of(needles.cbegin(), needles.cend(), [&](const QString &n) { return text.contains(n); });
    };
    for (const QString &root : directories) {
        QStringList pending{root};
        while (!pending.isEmpty()) {
            if (items.size() > kManualSearchLimit || (cancel && *cancel))
                return items;
            const QDir dir(pending.takeFirst());
            const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System,
                                                            QDir::Name);
            for (const QFileInfo &info : entries) {
                if (items.size() > kManualSearchLimit)
                    return items;
                if (info.isDir() && !info.isSymLink())
                    pending.append(info.filePath());
                QString name = info.fileName();
                if (name.isEmpty()) {
                    TLog(QStringLiteral("error on file name is %1").arg(info.filePath()));
                    name = QFileInfo(info.filePath()).fileName();
                }
                OpenMetaError tagError;
                const QStringList tags = OpenMeta::getUserTags(info.filePath(), &tagError);
                if (!tagError.domain.isEmpty() && tagError.code != EOPNOTSUPP)
                    TLog(QStringLiteral("error on tags is %1").arg(tagError.info));
                const bool hit = matches(name.toLower()) ||
                                 std::any_of(tags.cbegin(), tags.cend(), [&](const QString &t) { return matches(t); });
                if (!hit)
                    continue;
                if (auto item = SearchItem::make(info.filePath()))
                    appendWithAttachments(items, seen, *item);
            }
        }
    }
    return items;
}

Outcome run(const Request &request, const std::atomic_bool *cancel)
{
    Outcome outcome;
    const QStringList directories = SearchRoots::currentSearchDirectories(request.roots, request.pathConstraint);
    outcome.queryString = SearchQuery::currentQueryString(request.fields);
    if (outcome.queryString.isEmpty()) {
        outcome.browsing = true;
        outcome.items = browse(directories, !request.pathConstraint.isEmpty(), request.indexPath);
        return outcome;
    }
    ArchiveIndex index(request.indexPath);
    const ArchiveIndex::Answer answer = index.query(SearchQuery::clauses(request.fields), directories, request.limit);
    if (!answer.ok) {
        TLog(QStringLiteral("NSMetaDataQuery failed to start in Tarnwick."));
        if (!answer.error.isEmpty())
            TLog(QStringLiteral("The search index could not answer: %1").arg(answer.error));
    }
    QSet<QString> seen;
    for (const ArchiveIndex::Hit &hit : answer.hits)
        if (auto item = SearchItem::make(hit.path, hit.attributes))
            appendWithAttachments(outcome.items, seen, *item);
    outcome.liveUpdates = !answer.more;
    if (outcome.items.isEmpty()) {
        outcome.manual = true;
        outcome.items = runManualSearch(request.fields, directories, cancel);
    }
    return outcome;
}

} // namespace ArchiveSearch
