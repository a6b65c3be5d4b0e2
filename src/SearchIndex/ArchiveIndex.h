#pragma once
// ArchiveIndex: the search index of the archive, an SQLite database (FTS5) in
// $XDG_CACHE_HOME/Tarnwick/. It records every file below the search roots with the
// attributes the queries ask about: name, title, authors, keywords, tags, creation date,
// size, pages, and the text of PDFs and text files. It is a cache of the archive: it is
// brought up to date by comparing path, size and modification time with the files on
// disk, and when it is damaged or of another version it is deleted and made again.
//
// The index holds the text of every archived message: its folder is made 0700 and the
// database 0600 (SQLite gives its journal files the database's mode), and files that
// belong to no root any more (a source removed, the preferences reset) are dropped from
// it at the next update.
//
// One object, one connection, one thread at a time. Several connections (the window's
// updater, its queries, a `tarnwick search` beside it) share the file through SQLite's
// write-ahead log.

#include "SearchIndex/SearchQuery.h"
#include "SearchView/SearchItem.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

struct sqlite3;

class ArchiveIndex {
public:
    /// $XDG_CACHE_HOME/Tarnwick/index.sqlite (~/.cache when unset).
    static QString defaultPath();

    explicit ArchiveIndex(QString path = defaultPath());
    ~ArchiveIndex();
    ArchiveIndex(const ArchiveIndex &) = delete;
    ArchiveIndex &operator=(const ArchiveIndex &) = delete;

    const QString &path() const { return m_path; }

    /// Opens the database, making it (and its folder) when missing. A database that is
    /// damaged or of another version is deleted and made again, with a log line. False
    /// with `error` set only when no database can be made at all.
    bool open(QString *error = nullptr);
    bool isOpen() const { return m_db != nullptr; }
    /// Drops every row.
    bool clear();

    struct Progress {
        qint64 walked = 0;   ///< files seen on disk so far
        qint64 toIndex = 0;  ///< new or changed files found
        qint64 indexed = 0;  ///< of those, read and stored
    };
    struct UpdateStats {
        qint64 files = 0;     ///< files below the roots
        qint64 added = 0;
        qint64 changed = 0;
        qint64 removed = 0;   ///< gone from disk or outside every root
        bool cancelled = false;
        QString error;        ///< empty on success
    };
    /// Called now and then during an update; returning false cancels it (what is stored
    /// by then stays).
    using ProgressFn = std::function<bool(const Progress &)>;
    /// Brings the index up to date with the files below `roots`: new and changed files
    /// are read and stored, missing ones dropped, and every row outside all roots
    /// dropped (no roots: the index is emptied). Hidden files and folders are skipped.
    UpdateStats update(const QStringList &roots, const ProgressFn &progress = {});

    struct Hit {
        QString path;
        SearchAttributes attributes;
    };
    struct Answer {
        QList<Hit> hits;  ///< newest first, at most the limit
        bool more = false; ///< more files matched than the limit
        bool ok = true;
        QString error;
    };
    /// The files below any of `directories` that satisfy every clause, by creation date,
    /// newest first.
    Answer query(const QList<SearchQuery::Clause> &clauses, const QStringList &directories, int limit);

    /// The recorded attributes of the file at `path`, if it is indexed.
    std::optional<SearchAttributes> attributesOf(const QString &path);
    /// The number of files recorded.
    qint64 fileCount();

private:
    bool openOnce(QString *error);
    bool createSchema();
    bool noteFailure(int rc);
    void close();
    bool exec(const char *sql);
    bool storeFile(const struct IndexedFile &file, qint64 replaceId);
    bool removeOutside(const QStringList &roots, qint64 *removed);

    QString m_path;
    sqlite3 *m_db = nullptr;
    bool m_unusable = false; // damaged or of another version: to be made again
};
