#pragma once
// FolderReference: what Tarnwick remembers of a folder the user chose, so that the folder
// is found again after it was renamed or moved: its last absolute path and its identity.
//
// Identity is the inode number on its file system plus the folder's birth time (statx
// STATX_BTIME). The inode number alone is not enough: file systems hand a freed number
// to the next new file, so a folder deleted and another created near it often share it.
// Two folders with the same inode number and the same birth time to the nanosecond are
// the same folder. Where the file system records no birth time, the identity cannot tell
// a moved folder from a newcomer, so such a reference is only ever resolved at its own
// path (and there only when device and inode still match).
//
// The data is a small JSON object (UTF-8), opaque to its users: they keep it as bytes.
// All operations are stateless and safe on any thread; none follows a symbolic link
// while searching.

#include <QByteArray>
#include <QString>

#include <optional>

struct FolderIdentity {
    quint64 device = 0;
    quint64 inode = 0;
    bool hasBirthTime = false;
    qint64 birthSecs = 0;
    quint32 birthNsecs = 0;
};

class FolderReference {
public:
    FolderReference() = delete;

    /// How far a resolution looks: the old parent folder and this many folders above it,
    /// each searched this many levels deep, looking at no more than this many entries.
    static constexpr int kAncestorLevels = 3;
    static constexpr int kSearchDepth = 2;
    static constexpr int kMaxEntriesVisited = 20000;

    /// The identity of the folder at `path` (symbolic links followed, as for a path the
    /// user typed); no value with `error` set when it is not a reachable folder.
    static std::optional<FolderIdentity> identityOf(const QString &path, QString *error);

    /// The reference data of the folder at `path` (made absolute and clean); empty with
    /// `error` set when it is not a reachable folder.
    static QByteArray create(const QString &path, QString *error);
    /// The data for a given path and identity (for tests and for data made elsewhere).
    static QByteArray encode(const QString &path, const FolderIdentity &identity);

    /// The path recorded in `data`; empty when the data is not a folder reference.
    static QString recordedPath(const QByteArray &data);
    /// The identity recorded in `data`.
    static std::optional<FolderIdentity> recordedIdentity(const QByteArray &data);

    /// The folder's current path: the recorded path when the folder there is still the
    /// same one, else the path of the same folder found near its old place. No value when
    /// the folder is not found; `error` then says why.
    static std::optional<QString> resolve(const QByteArray &data, QString *error);
};
