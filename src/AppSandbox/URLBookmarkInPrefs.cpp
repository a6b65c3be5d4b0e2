#include "AppSandbox/URLBookmarkInPrefs.h"

#include "AppSandbox/FolderReference.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

QString URLBookmarkInPrefs::URLFromPrefsForKey(const QString &key)
{
    return URLFromPrefsForKey(key, Preferences::shared());
}

QString URLBookmarkInPrefs::URLFromPrefsForKey(const QString &key, Preferences &prefs)
{
    const QString bookmarkKey = key + bookmarkSuffix();
    QByteArray data = prefs.dataForKey(bookmarkKey);
    if (data.isEmpty())
        data = attemptBookmarkFix(key, prefs);
    if (data.isEmpty())
        return QString();
    QString why;
    if (const auto resolved = FolderReference::resolve(data, &why))
        return *resolved; // a stale reference is neither looked at nor renewed
    // Dropping the reference lets a plain path under K rebuild it on the next read.
    const QString last = FolderReference::recordedPath(data);
    prefs.removeObjectForKey(bookmarkKey);
    TLog(QStringLiteral("volume or path does not appear to be mounted %1").arg(last));
    return last;
}

QByteArray URLBookmarkInPrefs::setURL(const QString &path, const QString &key)
{
    return setURL(path, key, Preferences::shared());
}

QByteArray URLBookmarkInPrefs::setURL(const QString &path, const QString &key, Preferences &prefs)
{
    QString error;
    const QByteArray data = FolderReference::create(path, &error);
    if (data.isEmpty()) {
        TLog(QStringLiteral("Failed to get bookmark made - perhaps path is unreachable - %1 - error: %2")
                 .arg(path, error));
        return {};
    }
    prefs.setValue(key + bookmarkSuffix(), data);
    return data;
}

QByteArray URLBookmarkInPrefs::attemptBookmarkFix(const QString &key)
{
    return attemptBookmarkFix(key, Preferences::shared());
}

QByteArray URLBookmarkInPrefs::attemptBookmarkFix(const QString &key, Preferences &prefs)
{
    const QString path = prefs.stringForKey(key);
    if (path.isEmpty())
        return {};
    return setURL(path, key, prefs);
}

void URLBookmarkInPrefs::removeBookmarkForKeyBase(const QString &key)
{
    removeBookmarkForKeyBase(key, Preferences::shared());
}

void URLBookmarkInPrefs::removeBookmarkForKeyBase(const QString &key, Preferences &prefs)
{
    prefs.removeObjectForKey(key);
    prefs.removeObjectForKey(key + bookmarkSuffix());
}
