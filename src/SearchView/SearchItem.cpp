#include "SearchView/SearchItem.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QMutex>
#include <QTimeZone>

namespace {

// Attachments folders hold what a message carried, rarely more than this is worth showing
// beside it; the folder itself stays one click away.
constexpr int kMaxAttachmentsPerItem = 21;

QDateTime distantPast() { return QDateTime(QDate(1, 1, 1), QTime(0, 0), QTimeZone::utc()); }

} // namespace

std::optional<SearchItem> SearchItem::make(const QString &path, SearchAttributes attributes, bool isAttachment)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return std::nullopt;
    SearchItem item;
    item.m_path = path;
    item.m_isAttachment = isAttachment;
    item.m_isFolder = info.isDir();
    if (attributes.displayName.isEmpty())
        attributes.displayName = info.fileName();
    if (attributes.size < 0 && !item.m_isFolder)
        attributes.size = info.size();
    // Archived files carry their message's date as modification time.
    if (!attributes.creationDate.isValid())
        attributes.creationDate = info.lastModified();
    item.m_creationDate = attributes.creationDate.isValid() ? attributes.creationDate : distantPast();
    const QString name = attributes.displayName.size() <= 2 ? nameFromPath(path) : attributes.displayName;
    item.m_cachedTitle = stripAnnoyingStuff(name);
    item.m_attributes = std::move(attributes);
    return item;
}

QString SearchItem::attachmentsFolderFor(const QString &path)
{
    const QFileInfo info(path);
    const QString suffix = info.suffix();
    QString base = path;
    if (!suffix.isEmpty())
        base.chop(suffix.size() + 1);
    return base + QStringLiteral(" (attachments)");
}

bool SearchItem::hasAttachmentsFolder(const QString &path)
{
    static QMutex mutex;
    static QHash<QString, bool> known;
    {
        QMutexLocker lock(&mutex);
        const auto it = known.constFind(path);
        if (it != known.cend())
            return *it;
    }
    const bool exists = QFileInfo(attachmentsFolderFor(path)).isDir();
    QMutexLocker lock(&mutex);
    known.insert(path, exists);
    return exists;
}

QList<SearchItem> SearchItem::attachmentsOf(const SearchItem &item)
{
    QList<SearchItem> out;
    if (item.isFolder() || item.isAttachment() || !hasAttachmentsFolder(item.path()))
        return out;
    QDirIterator it(attachmentsFolderFor(item.path()), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext() && out.size() < kMaxAttachmentsPerItem) {
        const QString path = it.next();
        if (it.fileName().startsWith(u'.'))
            continue;
        if (auto attachment = make(path, {}, true))
            out.append(*attachment);
    }
    return out;
}

QString SearchItem::stripAnnoyingStuff(const QString &name)
{
    QString out = name;
    if ((out.startsWith(QLatin1String("20")) || out.startsWith(QLatin1String("19"))) && out.size() > 20 &&
        out[7] == u'-' && out[13] == u'.' && out[19] == u'Z') {
        out = out.mid(20);
        if (out.endsWith(QLatin1String(".pdf")))
            out.chop(4);
    } else if (out.endsWith(QLatin1String(".imapmbox"))) {
        out.chop(9);
    } else if (out.endsWith(QLatin1String(".mbox"))) {
        out.chop(5);
    }
    return out.trimmed();
}

QString SearchItem::nameFromPath(const QString &pathIn)
{
    QString path = pathIn;
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const QFileInfo info(path);
    const QString last = info.fileName();
    const QString parent = QFileInfo(info.path()).fileName();
    if (!parent.startsWith(QLatin1String("20")) || last.size() > 2)
        return last;
    const qint64 month = intValue(last);
    if (month == 0)
        return QStringLiteral("n/a");
    if (month <= 12)
        return QLocale().standaloneMonthName(int(month));
    return QStringLiteral("of");
}

qint64 SearchItem::intValue(const QString &text)
{
    const QString t = text.trimmed();
    qsizetype i = 0;
    bool negative = false;
    if (i < t.size() && (t[i] == u'-' || t[i] == u'+'))
        negative = t[i++] == u'-';
    qint64 value = 0;
    for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9' && value < (qint64(1) << 40); ++i)
        value = value * 10 + (t[i].unicode() - u'0');
    return negative ? -value : value;
}

bool SearchItem::browseOrderLess(const QString &a, const QString &b)
{
    const bool aNumber = a.size() <= 4 && intValue(a) != 0;
    const bool bNumber = b.size() <= 4 && intValue(b) != 0;
    if (aNumber && bNumber)
        return intValue(a) < intValue(b);
    if (aNumber != bNumber)
        return aNumber;
    return a > b;
}
