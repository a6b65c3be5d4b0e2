#pragma once
// URLBookmarkInPrefs: folders the user chose (the main destination, a source's own
// destination), remembered in the preference store as a pair of keys so that a renamed
// or moved folder is still found.
//
// For a base key K the pair is K, an optional plain absolute path (an older form that is
// still read), and K + "_bookmark", the folder reference (FolderReference). Reads and
// writes of such pairs go through this class only.
//
// All operations are class-level; `prefs` defaults to the process-wide store.

#include <QByteArray>
#include <QString>

class Preferences;

class URLBookmarkInPrefs {
public:
    URLBookmarkInPrefs() = delete;

    /// The suffix of the reference key of a pair.
    static QString bookmarkSuffix() { return QStringLiteral("_bookmark"); }

    /// The folder of pair K, or the empty string. A pair with only a plain path gets its
    /// reference made first (attemptBookmarkFix). A reference that no longer finds its
    /// folder is dropped from the store with the log line "volume or path does not appear
    /// to be mounted %@", and the path it last recorded is returned all the same, so that
    /// callers try it (and fail there if it is gone).
    static QString URLFromPrefsForKey(const QString &key);
    static QString URLFromPrefsForKey(const QString &key, Preferences &prefs);

    /// Stores the reference of folder `path` under K + "_bookmark" and returns it; K is
    /// not written. A folder that cannot be referenced (missing, not a folder, not
    /// reachable) is logged ("Failed to get bookmark made - perhaps path is unreachable -
    /// %@ - error: %@"), nothing is stored, and the result is empty.
    static QByteArray setURL(const QString &path, const QString &key);
    static QByteArray setURL(const QString &path, const QString &key, Preferences &prefs);

    /// Turns a plain path under K into a reference stored under K + "_bookmark"; the
    /// reference, or empty when K holds no path or the path cannot be referenced.
    static QByteArray attemptBookmarkFix(const QString &key);
    static QByteArray attemptBookmarkFix(const QString &key, Preferences &prefs);

    /// Removes both keys of pair K.
    static void removeBookmarkForKeyBase(const QString &key);
    static void removeBookmarkForKeyBase(const QString &key, Preferences &prefs);
};
