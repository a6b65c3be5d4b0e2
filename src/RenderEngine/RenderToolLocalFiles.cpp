// Placement rules of local message files for RenderTool.

#include "RenderEngine/RenderTool.h"

#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>

namespace {

// Path components with the leading "/" as a component of its own, as the common-base
// rule counts them.
QStringList components(const QString &path)
{
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (path.startsWith(QLatin1Char('/')))
        parts.prepend(QStringLiteral("/"));
    return parts;
}

} // namespace

QString RenderTool::commonAncestorEMLPaths(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    if (paths.size() == 1) {
        const QString &path = paths.first();
        const QFileInfo info(path);
        if (info.exists())
            return info.isDir() ? path : info.path();
        TLog(QStringLiteral("NOT GOOD - path passed into commonAncestorEMLPaths does not exist: %1").arg(path));
        return info.suffix().size() > 4 ? path : info.path();
    }
    QStringList common = components(paths.first());
    for (qsizetype i = 1; i < paths.size() && !common.isEmpty(); ++i) {
        const QStringList other = components(paths[i]);
        qsizetype n = 0;
        while (n < common.size() && n < other.size() && common[n] == other[n])
            ++n;
        common = common.mid(0, n);
    }
    QString result = QStringLiteral("/");
    for (const QString &c : common) {
        if (c == QLatin1String("/"))
            continue;
        if (!result.endsWith(QLatin1Char('/')))
            result += QLatin1Char('/');
        result += c;
    }
    return result;
}

QString RenderTool::emlSubFolder(const QString &pathIn, const QString &base, const QString &jobName)
{
    QString path = pathIn;
    const QString tmp = QDir::tempPath();
    if (path.startsWith(tmp) && !base.startsWith(tmp)) {
        // An mbox piece: treat it as lying at the mbox file's own path.
        path.remove(tmp);
        if (!path.startsWith(QLatin1Char('/')))
            path.prepend(QLatin1Char('/'));
    }
    if (!path.startsWith(base)) {
        const qsizetype at = base.isEmpty() ? -1 : path.indexOf(base);
        if (at >= 0)
            path = path.mid(at);
        else
            TLog(QStringLiteral("what? bug in emlSubFolder: EML %1, commonBasePath: %2").arg(path, base));
    }
    const QStringList b = components(base);
    const QStringList d = components(QFileInfo(path).path());
    if (d.size() > b.size()) {
        QStringList kept;
        for (qsizetype i = qMax<qsizetype>(0, b.size() - 1); i < d.size(); ++i) {
            if (keepFolderDueToName(d[i]))
                kept.append(d[i]);
        }
        return kept.join(QLatin1Char('/'));
    }
    if (jobName.startsWith(QLatin1Char('/')))
        return QFileInfo(jobName).fileName();
    return QStringLiteral("EML");
}

bool RenderTool::keepFolderDueToName(const QString &name)
{
    if (name.size() == 36 || name.size() == 1)
        return false;
    return name != QLatin1String("Data") && name != QLatin1String("Messages") && name != QLatin1String("Attachments");
}

QString RenderTool::mainFolderForBasePath(const QString &commonBasePath)
{
    const QString last = QFileInfo(commonBasePath).fileName();
    return last.isEmpty() ? QStringLiteral("PDFs") : last;
}
