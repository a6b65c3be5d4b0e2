#include "TarnwickApp/SearchCommand.h"
#include "TarnwickApp/ConsoleOutput.h"

#include "SearchIndex/ArchiveIndex.h"
#include "SearchIndex/ArchiveSearch.h"
#include "SearchIndex/SearchRoots.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

namespace {

const char *kSearchUsage =
    "Usage: tarnwick search [--subject S] [--email E] [--text T] [--in PATH] [--json] [--limit N] [--no-update]\n"
    "  --subject S   words or \"phrases\" in the file name (the message's subject)\n"
    "  --email E     addresses: the PDFs' keywords (every address of the message) and authors\n"
    "  --text T      words in any attribute and in the text of PDFs and text files\n"
    "  --in PATH     search only below PATH (default: the archive folders of every source)\n"
    "  --json        one JSON array of the hits, for scripts\n"
    "  --limit N     print at most N hits\n"
    "  --no-update   do not bring the index up to date first\n"
    "Without S, E and T the archive folders (or PATH's entries) are listed.\n"
    "One line per hit: date, title, authors and path, separated by tabs.\n";

const char *kIndexUsage =
    "Usage: tarnwick index [--rebuild]\n"
    "Brings the search index (~/.cache/Tarnwick/index.sqlite) up to date with the archive\n"
    "folders of every source; --rebuild makes it again from nothing.\n";

constexpr int kRefused = 2;

int usage(const char *text, const QString &message)
{
    printErr(message + u'\n' + QString::fromLatin1(text));
    return kRefused;
}

QStringList rootPaths(const QList<SearchRoot> &roots)
{
    QStringList paths;
    for (const SearchRoot &r : roots)
        paths.append(r.path);
    return paths;
}

// Brings the index up to date, with a progress line on a terminal.
ArchiveIndex::UpdateStats updateIndex(ArchiveIndex &index, const QStringList &roots, bool verbose)
{
    const bool terminal = verbose && ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer shown;
    shown.start();
    const auto progress = [&](const ArchiveIndex::Progress &p) {
        if (terminal && shown.elapsed() > 200) {
            shown.restart();
            printErr(p.toIndex == 0 ? QStringLiteral("\r\033[KLooking at the archive: %1 files").arg(p.walked)
                                    : QStringLiteral("\r\033[KIndexing: %1 of %2 new or changed files")
                                          .arg(p.indexed)
                                          .arg(p.toIndex));
        }
        return true;
    };
    const ArchiveIndex::UpdateStats stats = index.update(roots, progress);
    if (terminal)
        printErr(QStringLiteral("\r\033[K"));
    return stats;
}

QString itemDate(const SearchItem &item)
{
    const QDateTime d = item.creationDate();
    return d.date().year() <= 1 ? QStringLiteral("-") : d.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

namespace SearchCommand {

int runSearch(const QStringList &args)
{
    ArchiveSearch::Request request;
    bool json = false;
    bool update = true;
    qsizetype limit = -1;
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        const auto value = [&](QString *out) {
            if (i + 1 >= args.size())
                return false;
            *out = args[++i];
            return true;
        };
        QString number;
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            printOut(QString::fromLatin1(kSearchUsage));
            return 0;
        } else if (a == QLatin1String("--json")) {
            json = true;
        } else if (a == QLatin1String("--no-update")) {
            update = false;
        } else if (a == QLatin1String("--subject")) {
            if (!value(&request.fields.subject))
                return usage(kSearchUsage, QStringLiteral("tarnwick search: --subject needs a value"));
        } else if (a == QLatin1String("--email")) {
            if (!value(&request.fields.email))
                return usage(kSearchUsage, QStringLiteral("tarnwick search: --email needs a value"));
        } else if (a == QLatin1String("--text")) {
            if (!value(&request.fields.everywhere))
                return usage(kSearchUsage, QStringLiteral("tarnwick search: --text needs a value"));
        } else if (a == QLatin1String("--in")) {
            if (!value(&request.pathConstraint))
                return usage(kSearchUsage, QStringLiteral("tarnwick search: --in needs a folder"));
            const QFileInfo in(request.pathConstraint);
            if (!in.isDir())
                return usage(kSearchUsage, QStringLiteral("tarnwick search: no such folder: %1").arg(request.pathConstraint));
            request.pathConstraint = in.absoluteFilePath();
        } else if (a == QLatin1String("--limit")) {
            bool ok = false;
            if (value(&number))
                limit = number.toLongLong(&ok);
            if (!ok || limit < 0)
                return usage(kSearchUsage, QStringLiteral("tarnwick search: --limit needs a number"));
        } else {
            return usage(kSearchUsage, QStringLiteral("tarnwick search: unknown argument %1").arg(a));
        }
    }
    // Machine-readable output stays free of log lines.
    if (json)
        Log::setEchoToStderr(false);
    request.roots = SearchRoots::topPaths(Preferences::shared());
    if (update && !request.fields.isEmpty()) {
        ArchiveIndex index(request.indexPath);
        const ArchiveIndex::UpdateStats stats = updateIndex(index, rootPaths(request.roots), !json);
        if (!stats.error.isEmpty())
            printErr(QStringLiteral("tarnwick search: the index could not be brought up to date (%1); "
                                    "searching file names instead where it fails\n")
                         .arg(stats.error));
    }
    const ArchiveSearch::Outcome outcome = ArchiveSearch::run(request);
    QList<SearchItem> items = outcome.items;
    if (limit >= 0 && items.size() > limit)
        items.resize(limit);
    if (json) {
        QJsonArray array;
        for (const SearchItem &item : items) {
            QJsonObject o;
            o[QStringLiteral("path")] = item.path();
            o[QStringLiteral("title")] = item.cachedTitle();
            o[QStringLiteral("authors")] = QJsonArray::fromStringList(item.attributes().authors);
            o[QStringLiteral("keywords")] = QJsonArray::fromStringList(item.attributes().keywords);
            o[QStringLiteral("tags")] = QJsonArray::fromStringList(item.attributes().tags);
            o[QStringLiteral("date")] = item.creationDate().date().year() <= 1
                ? QJsonValue()
                : QJsonValue(item.creationDate().toUTC().toString(Qt::ISODate));
            o[QStringLiteral("isAttachment")] = item.isAttachment();
            o[QStringLiteral("isFolder")] = item.isFolder();
            array.append(o);
        }
        printOut(QJsonDocument(array).toJson(QJsonDocument::Indented));
    } else {
        for (const SearchItem &item : items)
            printOut(QStringLiteral("%1\t%2\t%3\t%4\n")
                         .arg(itemDate(item), item.cachedTitle(), item.authors(), item.path()));
        if (::isatty(STDERR_FILENO) == 1 && !outcome.browsing)
            printErr(QStringLiteral("%1 files%2\n")
                         .arg(outcome.items.size())
                         .arg(outcome.manual ? QStringLiteral(" (file names and tags only)") : QString()));
    }
    return items.isEmpty() && !outcome.browsing ? 1 : 0;
}

int runIndex(const QStringList &args)
{
    bool rebuild = false;
    for (const QString &a : args) {
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            printOut(QString::fromLatin1(kIndexUsage));
            return 0;
        }
        if (a != QLatin1String("--rebuild"))
            return usage(kIndexUsage, QStringLiteral("tarnwick index: unknown argument %1").arg(a));
        rebuild = true;
    }
    const QList<SearchRoot> roots = SearchRoots::topPaths(Preferences::shared());
    ArchiveIndex index;
    QString error;
    if (!index.open(&error) || (rebuild && !index.clear())) {
        printErr(QStringLiteral("tarnwick index: cannot open %1: %2\n").arg(index.path(), error));
        return kRefused;
    }
    QElapsedTimer clock;
    clock.start();
    const ArchiveIndex::UpdateStats stats = updateIndex(index, rootPaths(roots), true);
    if (!stats.error.isEmpty()) {
        printErr(QStringLiteral("tarnwick index: %1\n").arg(stats.error));
        return kRefused;
    }
    printOut(QStringLiteral("%1 files below %2 archive folders: %3 added, %4 changed, %5 removed in %6 s (%7)\n")
                 .arg(stats.files)
                 .arg(roots.size())
                 .arg(stats.added)
                 .arg(stats.changed)
                 .arg(stats.removed)
                 .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1)
                 .arg(index.path()));
    return 0;
}

} // namespace SearchCommand
