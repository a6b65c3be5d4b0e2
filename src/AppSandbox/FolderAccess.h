#pragma once
// FolderAccess: the single place where the program obtains access to a folder before it
// reads or writes there, and where the main destination folder is looked up.
//
// On Linux a process may use every folder its user may, so access is granted at once:
// the operations exist so that every caller goes through one door, and a desktop with
// folder portals can later be served here without touching the callers.
//
// They belong to the application object, but live in the core so that jobs, the command
// line and the desktop share them; the desktop's application delegate forwards to them.

#include <QString>

#include <functional>

class Preferences;

class FolderAccess {
public:
    FolderAccess() = delete;

    /// Runs `work` at once and returns true. An empty `path` is a programming error: it
    /// is logged ("Invalid parameter not satisfying: fileURL"), `work` is not run, and
    /// the result is false. The flags are accepted and have no effect.
    static bool accessFileURL(const QString &path, bool persistPermission, bool allowedToAsk,
                              const std::function<void()> &work);
    /// Called before a folder is created or written; nothing to do on Linux.
    static void accessFileURLCaching(const QString &path);
    /// Called when the user has chosen a folder; nothing to do on Linux.
    static void persistPermissionURL(const QString &path);

    /// The main destination folder, resolved from the pair "destBookmarkURL", or the empty
    /// string. With `askIfMissing` and no folder set, the chooser installed with
    /// setDestinationChooser() is opened (the desktop installs one; the command line has
    /// none) and this call still returns the empty string.
    static QString destinationDirectory(bool askIfMissing);
    static QString destinationDirectory(bool askIfMissing, Preferences &prefs);
    /// Stores `path` as the main destination, as the folder chooser does on OK; false
    /// (and nothing stored) when the folder cannot be referenced.
    static bool setDestinationDirectory(const QString &path, Preferences &prefs);

    /// The desktop's folder chooser for the main destination.
    static void setDestinationChooser(std::function<void()> chooser);

    /// The base key of the main destination's pair.
    static QString destinationKey() { return QStringLiteral("destBookmarkURL"); }
};
