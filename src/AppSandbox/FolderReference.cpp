#include "AppSandbox/FolderReference.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <cerrno>
#include <cstring>
#include <deque>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

const QString kFormat = QStringLiteral("tarnwick-folder-reference");
constexpr int kVersion = 1;

struct Probe {
    FolderIdentity identity;
    bool isDirectory = false;
};

// statx rather than stat: only statx reports the birth time.
std::optional<Probe> probe(const QByteArray &fsPath, bool followLinks, int *errnum)
{
    struct statx stx {};
    const int flags = followLinks ? 0 : AT_SYMLINK_NOFOLLOW;
    if (::statx(AT_FDCWD, fsPath.constData(), flags, STATX_TYPE | STATX_INO | STATX_BTIME, &stx) != 0) {
        if (errnum)
            *errnum = errno;
        return std::nullopt;
    }
    Probe p;
    p.isDirectory = S_ISDIR(stx.stx_mode);
    p.identity.device = makedev(stx.stx_dev_major, stx.stx_dev_minor);
    p.identity.inode = stx.stx_ino;
    if (stx.stx_mask & STATX_BTIME) {
        p.identity.hasBirthTime = true;
        p.identity.birthSecs = stx.stx_btime.tv_sec;
        p.identity.birthNsecs = stx.stx_btime.tv_nsec;
    }
    return p;
}

// Whether `found` is the folder that `recorded` describes. With a birth time on both
// sides the inode number and the birth time decide (device numbers of removable and
// logical volumes change between boots). Without one, only the very same device and
// inode count, and the callers accept that only at the recorded path.
bool sameFolder(const FolderIdentity &recorded, const FolderIdentity &found)
{
    if (recorded.inode != found.inode)
        return false;
    if (recorded.hasBirthTime)
        return found.hasBirthTime && recorded.birthSecs == found.birthSecs && recorded.birthNsecs == found.birthNsecs;
    return recorded.device == found.device;
}

QString parentOf(const QString &path)
{
    if (path == QLatin1String("/") || path.isEmpty())
        return QString();
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return QString();
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString childPath(const QString &dir, const QString &name)
{
    return dir == QLatin1String("/") ? QLatin1Char('/') + name : dir + QLatin1Char('/') + name;
}

// Breadth first below `root`, nearest levels first, never into `skip` (a subtree that was
// searched already), never through a symbolic link or onto another file system.
std::optional<QString> searchBelow(const QString &root, const QString &skip, const FolderIdentity &wanted,
                                   int *budget)
{
    const auto rootProbe = probe(QFile::encodeName(root), false, nullptr);
    if (!rootProbe || !rootProbe->isDirectory)
        return std::nullopt;
    const quint64 device = rootProbe->identity.device;
    std::deque<std::pair<QString, int>> queue{{root, 0}};
    while (!queue.empty() && *budget > 0) {
        const auto [dir, depth] = queue.front();
        queue.pop_front();
        DIR *stream = ::opendir(QFile::encodeName(dir).constData());
        if (!stream)
            continue; // unreadable folders are simply not searched
        while (const dirent *entry = ::readdir(stream)) {
            if (--*budget <= 0)
                break;
            const char *name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)
                continue;
            if (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN)
                continue;
            const QString path = childPath(dir, QFile::decodeName(name));
            if (path == skip)
                continue;
            const auto p = probe(QFile::encodeName(path), false, nullptr);
            if (!p || !p->isDirectory || p->identity.device != device)
                continue;
            if (sameFolder(wanted, p->identity)) {
                ::closedir(stream);
                return path;
            }
            if (depth + 1 < FolderReference::kSearchDepth)
                queue.emplace_back(path, depth + 1);
        }
        ::closedir(stream);
    }
    return std::nullopt;
}

} // namespace

std::optional<FolderIdentity> FolderReference::identityOf(const QString &path, QString *error)
{
    int errnum = 0;
    const auto p = probe(QFile::encodeName(path), true, &errnum);
    if (!p) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errnum));
        return std::nullopt;
    }
    if (!p->isDirectory) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(ENOTDIR));
        return std::nullopt;
    }
    return p->identity;
}

QByteArray FolderReference::create(const QString &path, QString *error)
{
    if (path.isEmpty()) {
        if (error)
            *error = QStringLiteral("no path");
        return {};
    }
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    const auto identity = identityOf(absolute, error);
    if (!identity)
        return {};
    return encode(absolute, *identity);
}

QByteArray FolderReference::encode(const QString &path, const FolderIdentity &identity)
{
    // 64-bit numbers go as text: JSON numbers are doubles and would round large inodes.
    QJsonObject o;
    o[QStringLiteral("format")] = kFormat;
    o[QStringLiteral("version")] = kVersion;
    o[QStringLiteral("path")] = path;
    o[QStringLiteral("device")] = QString::number(identity.device);
    o[QStringLiteral("inode")] = QString::number(identity.inode);
    if (identity.hasBirthTime) {
        o[QStringLiteral("birthSecs")] = QString::number(identity.birthSecs);
        o[QStringLiteral("birthNsecs")] = qint64(identity.birthNsecs);
    }
    return QJsonDocument(o).toJson(QJsonDocument::Compact);
}

namespace {

std::optional<QJsonObject> referenceObject(const QByteArray &data)
{
    const QJsonDocument doc = QJsonDocument::fromJson(data);
    if (!doc.isObject())
        return std::nullopt;
    const QJsonObject o = doc.object();
    if (o.value(QStringLiteral("format")).toString() != kFormat)
        return std::nullopt;
    return o;
}

} // namespace

QString FolderReference::recordedPath(const QByteArray &data)
{
    const auto o = referenceObject(data);
    return o ? o->value(QStringLiteral("path")).toString() : QString();
}

std::optional<FolderIdentity> FolderReference::recordedIdentity(const QByteArray &data)
{
    const auto o = referenceObject(data);
    if (!o)
        return std::nullopt;
    bool okDevice = false, okInode = false;
    FolderIdentity id;
    id.device = o->value(QStringLiteral("device")).toString().toULongLong(&okDevice);
    id.inode = o->value(QStringLiteral("inode")).toString().toULongLong(&okInode);
    if (!okDevice || !okInode)
        return std::nullopt;
    if (o->contains(QStringLiteral("birthSecs"))) {
        bool ok = false;
        id.birthSecs = o->value(QStringLiteral("birthSecs")).toString().toLongLong(&ok);
        const qint64 nsecs = o->value(QStringLiteral("birthNsecs")).toInteger(-1);
        if (!ok || nsecs < 0 || nsecs > 999999999)
            return std::nullopt;
        id.birthNsecs = quint32(nsecs);
        id.hasBirthTime = true;
    }
    return id;
}

std::optional<QString> FolderReference::resolve(const QByteArray &data, QString *error)
{
    const QString path = recordedPath(data);
    const auto wanted = recordedIdentity(data);
    if (path.isEmpty() || !wanted) {
        if (error)
            *error = QStringLiteral("not a folder reference");
        return std::nullopt;
    }
    if (const auto here = identityOf(path, nullptr); here && sameFolder(*wanted, *here))
        return path;
    if (!wanted->hasBirthTime) {
        if (error)
            *error = QStringLiteral("the folder is not at its path, and its file system records no birth time "
                                    "to recognise it elsewhere");
        return std::nullopt;
    }
    int budget = kMaxEntriesVisited;
    QString searched;
    QString dir = parentOf(path);
    for (int level = 0; level <= kAncestorLevels && !dir.isEmpty() && budget > 0; ++level) {
        if (const auto found = searchBelow(dir, searched, *wanted, &budget))
            return found;
        searched = dir;
        dir = parentOf(dir);
    }
    if (error)
        *error = QStringLiteral("the folder was not found at %1 or near it").arg(path);
    return std::nullopt;
}
