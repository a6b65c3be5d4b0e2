#pragma once
// SearchRoots: where the archive lies. One root per source (accounts first, then local
// folders, as the sources list orders them), at the folder the source's outputs go to;
// the folders a search walks (the roots coalesced, or the one folder the user narrowed
// it to); and the breadcrumb of a folder below them.

#include <QList>
#include <QString>
#include <QStringList>

class Preferences;

struct SearchRoot {
    QString name; ///< the account, or the folder source's last path component
    QString path; ///< the archive folder of the source
    bool operator==(const SearchRoot &) const = default;
};

namespace SearchRoots {

/// The roots of the sources in `prefs` ("topPaths"). A source whose outputs have nowhere
/// to go (no destination of its own and no main destination) has no root.
QList<SearchRoot> topPaths(Preferences &prefs);

/// Whether `path` is `folder` or lies below it (whole path components: "/a/bc" is not
/// below "/a/b").
bool isInside(const QString &path, const QString &folder);

/// The folders to search: [`pathConstraint`] when it is set, else the roots' paths with
/// every path that lies inside another left out (the outer one takes the first place of
/// the paths it covers).
QStringList currentSearchDirectories(const QList<SearchRoot> &roots, const QString &pathConstraint);

/// One breadcrumb: "name" and "path".
struct Crumb {
    QString name;
    QString path;
    bool operator==(const Crumb &) const = default;
};

/// The breadcrumb of `path` ("parentsAndPath"): "All Archives" (empty path), then the
/// root it lies in, then each folder below the root down to `path` itself (named as the
/// grid names folders, paths ending in "/").
QList<Crumb> parentsAndPath(const QString &path, const QList<SearchRoot> &roots);

} // namespace SearchRoots
