#pragma once
// SearchItem: one entry of the search view's grid, a file or folder of the archive with
// the attributes the grid shows (from the index when the item came from a query, from the
// file system otherwise). It also holds the naming rules of the grid: month folders by
// their month name, date-stamped file names without their stamp, the browse order, and
// where a message's attachments are.
//
// A plain value; safe to make on any thread.

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// What the index knows of a file. Empty fields are unknown.
struct SearchAttributes {
    QString displayName;   ///< the file name
    QString title;         ///< a PDF's Title
    QStringList authors;
    QStringList keywords;  ///< a PDF's keywords (the message's addresses)
    QStringList tags;      ///< the file's user tags
    QDateTime creationDate;
    qint64 size = -1;
    int pageCount = 0;     ///< a PDF's pages; 0 when unknown
};

class SearchItem {
public:
    /// The item of `path`; none when nothing exists there.
    static std::optional<SearchItem> make(const QString &path, SearchAttributes attributes = {},
                                          bool isAttachment = false);

    const QString &path() const { return m_path; }
    const SearchAttributes &attributes() const { return m_attributes; }
    bool isAttachment() const { return m_isAttachment; }
    bool isFolder() const { return m_isFolder; }
    /// The content creation date; the distant past when there is none.
    QDateTime creationDate() const { return m_creationDate; }
    /// The authors joined with ", ".
    QString authors() const { return m_attributes.authors.join(QStringLiteral(", ")); }
    /// The grid's title and subtitle (the authors; nothing for attachments).
    QString cachedTitle() const { return m_cachedTitle; }
    QString cachedSubTitle() const { return m_isAttachment ? QString() : authors(); }

    /// `path` without its extension + " (attachments)".
    static QString attachmentsFolderFor(const QString &path);
    /// Whether the attachments folder of `path` exists; asked once per path for the life
    /// of the process. Thread-safe.
    static bool hasAttachmentsFolder(const QString &path);
    /// The files of `item`'s attachments folder (recursively, hidden ones left out), at
    /// most 21, as attachment items.
    static QList<SearchItem> attachmentsOf(const SearchItem &item);

    /// A file name without a leading "yyyy-MM-dd HH.mm.ssZ" stamp (and then without
    /// ".pdf"), or without an "imapmbox" or "mbox" extension; trimmed.
    static QString stripAnnoyingStuff(const QString &name);
    /// The name the grid gives a folder or file by its path: below a folder whose name
    /// starts with "20", a name of at most 2 characters is a month number ("n/a" for 0,
    /// the month's stand-alone name for 1 to 12, "of" beyond); otherwise the last
    /// component.
    static QString nameFromPath(const QString &path);
    /// The browse order of two names: numbers of up to 4 characters (years, months)
    /// ascending, before everything else; other names descending.
    static bool browseOrderLess(const QString &a, const QString &b);
    /// The leading integer of `text`, as a number reader that stops at the first
    /// non-digit reads it (0 when there is none).
    static qint64 intValue(const QString &text);

private:
    QString m_path;
    SearchAttributes m_attributes;
    QDateTime m_creationDate;
    QString m_cachedTitle;
    bool m_isAttachment = false;
    bool m_isFolder = false;
};
