#include "AppSandbox/FolderAccess.h"

#include "AppSandbox/URLBookmarkInPrefs.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QMutex>

namespace {

QMutex gChooserLock;
std::function<void()> gChooser;

} // namespace

bool FolderAccess::accessFileURL(const QString &path, bool persistPermission, bool allowedToAsk,
                                 const std::function<void()> &work)
{
    Q_UNUSED(persistPermission);
    Q_UNUSED(allowedToAsk);
    if (path.isEmpty()) {
        TLog(QStringLiteral("Invalid parameter not satisfying: %1").arg(QStringLiteral("fileURL")));
        return false;
    }
    if (work)
        work();
    return true;
}

void FolderAccess::accessFileURLCaching(const QString &) {}

void FolderAccess::persistPermissionURL(const QString &) {}

QString FolderAccess::destinationDirectory(bool askIfMissing)
{
    return destinationDirectory(askIfMissing, Preferences::shared());
}

QString FolderAccess::destinationDirectory(bool askIfMissing, Preferences &prefs)
{
    const QString dir = URLBookmarkInPrefs::URLFromPrefsForKey(destinationKey(), prefs);
    if (!dir.isEmpty()) {
        accessFileURL(dir, false, false, {});
        return dir;
    }
    if (askIfMissing) {
        std::function<void()> chooser;
        {
            QMutexLocker lock(&gChooserLock);
            chooser = gChooser;
        }
        if (chooser)
            chooser();
    }
    return QString();
}

bool FolderAccess::setDestinationDirectory(const QString &path, Preferences &prefs)
{
    persistPermissionURL(path);
    if (URLBookmarkInPrefs::setURL(path, destinationKey(), prefs).isEmpty())
        return false;
    // An older plain path under the base key would otherwise bring back the previous
    // folder the first time the new reference fails to resolve.
    prefs.removeObjectForKey(destinationKey());
    return true;
}

void FolderAccess::setDestinationChooser(std::function<void()> chooser)
{
    QMutexLocker lock(&gChooserLock);
    gChooser = std::move(chooser);
}
