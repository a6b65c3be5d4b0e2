#include "SearchIndex/SearchRoots.h"

#include "AppSandbox/FolderAccess.h"
#include "SearchView/SearchItem.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>

namespace SearchRoots {

namespace {

QString lastComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(u'/'))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(u'/');
    return slash < 0 || p == QLatin1String("/") ? p : p.mid(slash + 1);
}

QString expandTilde(const QString &path)
{
    if (path == QLatin1String("~") || path.startsWith(QLatin1String("~/")))
        return QDir::homePath() + path.mid(1);
    return path;
}

QString withoutTrailingSlash(QString path)
{
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

} // namespace

QList<SearchRoot> topPaths(Preferences &prefs)
{
    QList<SearchRoot> roots;
    const bool mainDestination = !FolderAccess::destinationDirectory(false, prefs).isEmpty();
    const auto add = [&](const QString &key, const QString &name) {
        if (key.isEmpty())
            return;
        const SourcesList::DestinationDisplay dest = SourcesList::destinationDisplay(key, prefs);
        // Without any destination the path would be "/" + the key's last component: a
        // folder of someone else's, not an archive.
        if (!dest.own && !mainDestination)
            return;
        roots.append({name, dest.path});
    };
    for (const QString &account : SourcesList::emailAccounts(prefs))
        add(account, account);
    for (const QString &folder : SourcesList::folderItems(prefs))
        add(folder, lastComponent(folder));
    return roots;
}

bool isInside(const QString &path, const QString &folder)
{
    const QString f = withoutTrailingSlash(folder);
    const QString p = withoutTrailingSlash(path);
    if (p == f)
        return true;
    return p.startsWith(f == QLatin1String("/") ? f : f + u'/');
}

QStringList currentSearchDirectories(const QList<SearchRoot> &roots, const QString &pathConstraint)
{
    if (!pathConstraint.isEmpty())
        return {pathConstraint};
    QStringList dirs;
    for (const SearchRoot &root : roots) {
        const QString path = root.path;
        if (dirs.contains(path))
            continue;
        bool covered = false;
        for (const QString &listed : dirs)
            covered = covered || isInside(path, listed);
        if (covered)
            continue;
        // An outer folder takes the place of the first folder it holds; the others it
        // holds would only give the same files twice.
        qsizetype at = -1;
        for (qsizetype i = dirs.size() - 1; i >= 0; --i) {
            if (isInside(dirs[i], path)) {
                dirs.removeAt(i);
                at = i;
            }
        }
        if (at < 0)
            dirs.append(path);
        else
            dirs.insert(at, path);
    }
    return dirs;
}

QList<Crumb> parentsAndPath(const QString &pathIn, const QList<SearchRoot> &roots)
{
    QList<Crumb> crumbs{{QStringLiteral("All Archives"), QString()}};
    if (pathIn.isEmpty())
        return crumbs;
    const QString path = withoutTrailingSlash(expandTilde(pathIn));
    const SearchRoot *parent = nullptr;
    for (const SearchRoot &root : roots) {
        if (withoutTrailingSlash(root.path) == path) {
            crumbs.append({root.name, root.path});
            return crumbs;
        }
        if (isInside(path, root.path))
            parent = &root;
    }
    QString base;
    if (parent) {
        crumbs.append({parent->name, parent->path});
        base = withoutTrailingSlash(parent->path);
    } else {
        TLog(QStringLiteral("this should not happen there should be a parent found.."));
    }
    // The folders from just below the base down to the path itself.
    QStringList chain;
    for (QString p = path; p.size() > base.size() && p != QLatin1String("/"); p = QFileInfo(p).path()) {
        if (!parent && p.size() <= 12)
            continue;
        chain.prepend(p);
    }
    for (const QString &p : chain)
        crumbs.append({SearchItem::nameFromPath(p), p + u'/'});
    return crumbs;
}

} // namespace SearchRoots
