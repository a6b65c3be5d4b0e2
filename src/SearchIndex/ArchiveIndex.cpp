#include "SearchIndex/ArchiveIndex.h"

#include "SearchIndex/FileAttributes.h"
#include "SearchIndex/SearchRoots.h"
#include "SearchIndex/SearchText.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStandardPaths>
#include <QTimeZone>
#include <QtConcurrent/QtConcurrentMap>

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Raised whenever the layout of the tables changes: an index of another version is made
// again rather than read wrongly.
constexpr int kSchemaVersion = 1;
// Files read between two commits: readers see progress, and an interrupted update keeps
// what it did.
constexpr int kBatch = 64;
constexpr qint64 kDistantPastMs = -62135596800000; // 0001-01-01

const char *kSchema = R"(
CREATE TABLE files(
  id INTEGER PRIMARY KEY,
  path TEXT NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  mtime INTEGER NOT NULL,
  created INTEGER NOT NULL,
  display TEXT NOT NULL,
  title TEXT NOT NULL,
  authors TEXT NOT NULL,
  keywords TEXT NOT NULL,
  tags TEXT NOT NULL,
  pages INTEGER NOT NULL,
  name_f TEXT NOT NULL,
  kw_f TEXT NOT NULL,
  au_f TEXT NOT NULL
);
CREATE INDEX files_created ON files(created);
CREATE VIRTUAL TABLE words USING fts5(name, keywords, authors, title, tags, content,
  tokenize = 'unicode61 remove_diacritics 2');
CREATE TRIGGER files_deleted AFTER DELETE ON files BEGIN
  DELETE FROM words WHERE rowid = old.id;
END;
)";

// A prepared statement that finalises itself.
class Statement {
public:
    Statement(sqlite3 *db, const QString &sql)
    {
        const QByteArray utf8 = sql.toUtf8();
        m_rc = sqlite3_prepare_v2(db, utf8.constData(), int(utf8.size()), &m_stmt, nullptr);
    }
    ~Statement() { sqlite3_finalize(m_stmt); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;
    bool ok() const { return m_rc == SQLITE_OK && m_stmt; }
    int rc() const { return m_rc; }
    void bind(int i, const QString &text)
    {
        const QByteArray utf8 = text.toUtf8();
        sqlite3_bind_text(m_stmt, i, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
    }
    void bind(int i, qint64 value) { sqlite3_bind_int64(m_stmt, i, value); }
    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() { return m_rc = sqlite3_step(m_stmt); }
    void reset()
    {
        sqlite3_reset(m_stmt);
        sqlite3_clear_bindings(m_stmt);
    }
    QString text(int i) const
    {
        return QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(m_stmt, i)),
                                 sqlite3_column_bytes(m_stmt, i));
    }
    qint64 integer(int i) const { return sqlite3_column_int64(m_stmt, i); }

private:
    sqlite3_stmt *m_stmt = nullptr;
    int m_rc = SQLITE_OK;
};

QString damageMarker(const QString &db) { return db + QStringLiteral(".damaged"); }

void removeDatabaseFiles(const QString &db)
{
    for (const char *suffix : {"", "-wal", "-shm", "-journal"})
        QFile::remove(db + QLatin1String(suffix));
}

// The folder 0700 and the database 0600, also when an older version left them wider.
bool makePrivate(const QString &db, QString *error)
{
    const QString folder = QFileInfo(db).absolutePath();
    if (!QDir().mkpath(folder) || ::chmod(QFile::encodeName(folder).constData(), 0700) != 0) {
        if (error)
            *error = QStringLiteral("cannot make the folder %1").arg(folder);
        return false;
    }
    const QByteArray file = QFile::encodeName(db);
    const int fd = ::open(file.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        if (error)
            *error = QStringLiteral("cannot open %1").arg(db);
        return false;
    }
    ::fchmod(fd, 0600);
    ::close(fd);
    for (const char *suffix : {"-wal", "-shm"})
        ::chmod(QFile::encodeName(db + QLatin1String(suffix)).constData(), 0600);
    return true;
}

QString withoutTrailingSlash(QString path)
{
    path = QDir::cleanPath(path);
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    return path;
}

// Every path below `dir` sorts between dir + "/" and dir + "0" ("0" follows "/").
std::pair<QString, QString> rangeBelow(const QString &dir)
{
    const QString d = withoutTrailingSlash(dir);
    if (d == QLatin1String("/"))
        return {QStringLiteral("/"), QStringLiteral("0")};
    return {d + u'/', d + u'0'};
}

QString joinedFolded(const QStringList &values)
{
    QString out = QStringLiteral("\n");
    for (const QString &v : values)
        out += SearchText::fold(v) + u'\n';
    return out;
}

QDateTime fromMs(qint64 ms)
{
    return ms == kDistantPastMs ? QDateTime() : QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc());
}

struct DiskFile {
    QString path;
    qint64 size;
    qint64 mtimeMs;
};

// The files below `root`, hidden files and folders and symbolic links left out.
void walk(const QString &root, QList<DiskFile> &out, const ArchiveIndex::ProgressFn &progress,
          ArchiveIndex::Progress &state, bool *cancelled)
{
    QStringList pending{root};
    while (!pending.isEmpty() && !*cancelled) {
        const QDir dir(pending.takeLast());
        const QFileInfoList entries =
            dir.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::NoSymLinks, QDir::Name);
        for (const QFileInfo &info : entries) {
            if (info.isDir()) {
                pending.append(info.filePath());
            } else if (info.isFile()) {
                out.append({info.filePath(), info.size(), info.lastModified().toMSecsSinceEpoch()});
                if (++state.walked % 2000 == 0 && progress && !progress(state))
                    *cancelled = true;
            }
        }
    }
}

} // namespace

QString ArchiveIndex::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) +
           QStringLiteral("/Tarnwick/index.sqlite");
}

ArchiveIndex::ArchiveIndex(QString path) : m_path(std::move(path)) {}

ArchiveIndex::~ArchiveIndex() { close(); }

void ArchiveIndex::close()
{
    if (m_db)
        sqlite3_close_v2(m_db);
    m_db = nullptr;
}

bool ArchiveIndex::exec(const char *sql)
{
    char *message = nullptr;
    const int rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
    sqlite3_free(message);
    return rc == SQLITE_OK || !noteFailure(rc);
}

// Damage found by any connection is left as a mark for the next one that opens the
// index to make it again. Returns true (a real failure) for every error code.
bool ArchiveIndex::noteFailure(int rc)
{
    if (rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB) {
        QFile marker(damageMarker(m_path));
        marker.open(QIODevice::WriteOnly);
    }
    return true;
}

bool ArchiveIndex::open(QString *error)
{
    if (m_db)
        return true;
    m_unusable = QFileInfo::exists(damageMarker(m_path));
    if (!m_unusable && openOnce(error))
        return true;
    // A busy or unwritable index is not made again: only one that is damaged or of
    // another version, which is only a cache of the archive.
    if (!m_unusable)
        return false;
    TLog(QStringLiteral("The search index %1 cannot be used and is made again.").arg(m_path));
    close();
    removeDatabaseFiles(m_path);
    QFile::remove(damageMarker(m_path));
    return openOnce(error);
}

bool ArchiveIndex::openOnce(QString *error)
{
    if (!makePrivate(m_path, error))
        return false;
    const QByteArray file = QFile::encodeName(m_path);
    int rc = sqlite3_open_v2(file.constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        if (error)
            *error = QString::fromUtf8(sqlite3_errstr(rc));
        close();
        return false;
    }
    sqlite3_busy_timeout(m_db, 10000);
    // A statement left open would keep its read lock through the pragmas below.
    qint64 found = 0;
    {
        Statement version(m_db, QStringLiteral("PRAGMA user_version"));
        const int versionRc = version.ok() ? version.step() : version.rc();
        if (versionRc != SQLITE_ROW) {
            m_unusable = versionRc == SQLITE_NOTADB || versionRc == SQLITE_CORRUPT;
            if (error)
                *error = QString::fromUtf8(sqlite3_errmsg(m_db));
            close();
            return false;
        }
        found = version.integer(0);
    }
    if (found != 0 && found != kSchemaVersion) {
        m_unusable = true;
        if (error)
            *error = QStringLiteral("index version %1").arg(found);
        close();
        return false;
    }
    // recursive_triggers: a row replaced by a second updater (the window and a `tarnwick
    // search` at once) takes its words with it, as a deleted one does.
    if (!exec("PRAGMA journal_mode = WAL") || !exec("PRAGMA synchronous = NORMAL") ||
        !exec("PRAGMA recursive_triggers = ON")) {
        if (error)
            *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        close();
        return false;
    }
    if (found == 0 && !createSchema()) {
        if (error)
            *error = QString::fromUtf8(sqlite3_errmsg(m_db));
        close();
        return false;
    }
    makePrivate(m_path, nullptr); // the journal files made just now
    return true;
}

bool ArchiveIndex::createSchema()
{
    if (!exec("BEGIN IMMEDIATE"))
        return false;
    // Another connection may have made it while this one waited for the lock.
    bool made = false;
    {
        Statement version(m_db, QStringLiteral("PRAGMA user_version"));
        made = version.ok() && version.step() == SQLITE_ROW && version.integer(0) == kSchemaVersion;
    }
    if (made)
        return exec("COMMIT");
    const QByteArray setVersion = QByteArray("PRAGMA user_version = ") + QByteArray::number(kSchemaVersion);
    if (!exec(kSchema) || !exec(setVersion.constData())) {
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

bool ArchiveIndex::clear()
{
    return open() && exec("DELETE FROM files");
}

bool ArchiveIndex::storeFile(const IndexedFile &file, qint64 replaceId)
{
    if (replaceId > 0) {
        Statement del(m_db, QStringLiteral("DELETE FROM files WHERE id = ?"));
        del.bind(1, replaceId);
        if (del.step() != SQLITE_DONE)
            return !noteFailure(del.rc());
    }
    const SearchAttributes &a = file.attributes;
    Statement ins(m_db, QStringLiteral("INSERT OR REPLACE INTO files(path, size, mtime, created, display, title, "
                                       "authors, keywords, tags, pages, name_f, kw_f, au_f) "
                                       "VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?)"));
    ins.bind(1, file.path);
    ins.bind(2, a.size);
    ins.bind(3, file.mtimeMs);
    ins.bind(4, a.creationDate.isValid() ? a.creationDate.toMSecsSinceEpoch() : kDistantPastMs);
    ins.bind(5, a.displayName);
    ins.bind(6, a.title);
    ins.bind(7, a.authors.join(u'\n'));
    ins.bind(8, a.keywords.join(u'\n'));
    ins.bind(9, a.tags.join(u'\n'));
    ins.bind(10, qint64(a.pageCount));
    ins.bind(11, SearchText::fold(a.displayName));
    ins.bind(12, joinedFolded(a.keywords));
    ins.bind(13, joinedFolded(a.authors));
    if (ins.step() != SQLITE_DONE)
        return !noteFailure(ins.rc());
    const qint64 id = sqlite3_last_insert_rowid(m_db);
    Statement words(m_db, QStringLiteral("INSERT INTO words(rowid, name, keywords, authors, title, tags, content) "
                                         "VALUES(?,?,?,?,?,?,?)"));
    words.bind(1, id);
    words.bind(2, SearchText::foldForWords(a.displayName));
    words.bind(3, SearchText::foldForWords(a.keywords.join(u' ')));
    words.bind(4, SearchText::foldForWords(a.authors.join(u' ')));
    words.bind(5, SearchText::foldForWords(a.title));
    words.bind(6, SearchText::foldForWords(a.tags.join(u' ')));
    words.bind(7, SearchText::foldForWords(file.text));
    if (words.step() != SQLITE_DONE)
        return !noteFailure(words.rc());
    return true;
}

bool ArchiveIndex::removeOutside(const QStringList &roots, qint64 *removed)
{
    Statement all(m_db, QStringLiteral("SELECT id, path FROM files"));
    QList<qint64> gone;
    while (all.step() == SQLITE_ROW) {
        const QString path = all.text(1);
        bool inside = false;
        for (const QString &root : roots)
            inside = inside || SearchRoots::isInside(path, root);
        if (!inside)
            gone.append(all.integer(0));
    }
    Statement del(m_db, QStringLiteral("DELETE FROM files WHERE id = ?"));
    for (qint64 id : gone) {
        del.bind(1, id);
        if (del.step() != SQLITE_DONE)
            return !noteFailure(del.rc());
        del.reset();
    }
    *removed += gone.size();
    return true;
}

ArchiveIndex::UpdateStats ArchiveIndex::update(const QStringList &rootsIn, const ProgressFn &progress)
{
    UpdateStats stats;
    if (!open(&stats.error))
        return stats;
    QStringList roots;
    for (const QString &r : rootsIn)
        if (!r.isEmpty())
            roots.append(withoutTrailingSlash(r));

    if (!exec("BEGIN IMMEDIATE") || !removeOutside(roots, &stats.removed) || !exec("COMMIT")) {
        exec("ROLLBACK");
        stats.error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return stats;
    }

    Progress state;
    // What the index has of each root, and what the disk has.
    struct Known {
        qint64 id, size, mtime;
    };
    QHash<QString, Known> known;
    QList<DiskFile> disk;
    // Nested roots are walked once, as the outer one.
    QList<SearchRoot> asRoots;
    for (const QString &r : roots)
        asRoots.append({QString(), r});
    for (const QString &root : SearchRoots::currentSearchDirectories(asRoots, QString())) {
        const auto [from, to] = rangeBelow(root);
        Statement rows(m_db, QStringLiteral("SELECT id, path, size, mtime FROM files WHERE path > ? AND path < ?"));
        rows.bind(1, from);
        rows.bind(2, to);
        while (rows.step() == SQLITE_ROW)
            known.insert(rows.text(1), {rows.integer(0), rows.integer(2), rows.integer(3)});
        walk(root, disk, progress, state, &stats.cancelled);
    }
    if (stats.cancelled)
        return stats;
    stats.files = disk.size();

    QList<std::pair<QString, qint64>> toRead; // path, id to replace (0: new)
    for (const DiskFile &file : disk) {
        const auto it = known.find(file.path);
        if (it == known.end()) {
            toRead.append({file.path, 0});
            ++stats.added;
            continue;
        }
        if (it->size != file.size || it->mtime != file.mtimeMs) {
            toRead.append({file.path, it->id});
            ++stats.changed;
        }
        known.erase(it);
    }
    state.toIndex = toRead.size();

    // Rows of files that are gone.
    if (!known.isEmpty()) {
        if (!exec("BEGIN IMMEDIATE"))
            return stats;
        Statement del(m_db, QStringLiteral("DELETE FROM files WHERE id = ?"));
        for (const Known &gone : std::as_const(known)) {
            del.bind(1, gone.id);
            del.step();
            del.reset();
        }
        exec("COMMIT");
        stats.removed += known.size();
    }

    // Reading a PDF is the slow part and needs no database: batches are read in
    // parallel and stored by this thread, one transaction each.
    for (qsizetype at = 0; at < toRead.size() && !stats.cancelled; at += kBatch) {
        const QList<std::pair<QString, qint64>> batch = toRead.mid(at, kBatch);
        const QList<IndexedFile> read = QtConcurrent::blockingMapped<QList<IndexedFile>>(
            batch, [](const std::pair<QString, qint64> &entry) { return FileAttributes::read(entry.first); });
        if (!exec("BEGIN IMMEDIATE")) {
            stats.error = QString::fromUtf8(sqlite3_errmsg(m_db));
            return stats;
        }
        for (qsizetype i = 0; i < read.size(); ++i) {
            if (!QFileInfo::exists(read[i].path))
                continue; // removed while it was read
            if (!storeFile(read[i], batch[i].second)) {
                stats.error = QString::fromUtf8(sqlite3_errmsg(m_db));
                exec("ROLLBACK");
                return stats;
            }
        }
        if (!exec("COMMIT")) {
            stats.error = QString::fromUtf8(sqlite3_errmsg(m_db));
            return stats;
        }
        state.indexed += read.size();
        if (progress && !progress(state))
            stats.cancelled = true;
    }
    return stats;
}

namespace {

// The FTS5 expression of one everywhere clause; empty when the token holds no word.
QString wordExpression(const SearchQuery::Clause &clause)
{
    const QString words = SearchText::foldForWords(clause.token);
    bool anyWord = false;
    for (const QChar c : words)
        anyWord = anyWord || c.isLetterOrNumber();
    if (!anyWord)
        return {};
    QString phrase = words;
    phrase.replace(u'"', QStringLiteral("\"\""));
    phrase = u'"' + phrase + u'"';
    // A one-character token is a whole word of the attributes; a longer one starts a word
    // of the attributes or of the text.
    return clause.oneCharacter ? QStringLiteral("{name keywords authors title tags} : ") + phrase
                               : phrase + QStringLiteral(" *");
}

} // namespace

ArchiveIndex::Answer ArchiveIndex::query(const QList<SearchQuery::Clause> &clauses, const QStringList &directories,
                                         int limit)
{
    Answer answer;
    if (!open(&answer.error)) {
        answer.ok = false;
        return answer;
    }
    QStringList where;
    QStringList binds;
    QStringList scope;
    for (const QString &dir : directories) {
        const auto [from, to] = rangeBelow(dir);
        scope.append(QStringLiteral("(path > ? AND path < ?)"));
        binds << from << to;
    }
    if (scope.isEmpty())
        return answer; // nowhere to look
    where.append(u'(' + scope.join(QStringLiteral(" OR ")) + u')');
    for (const SearchQuery::Clause &clause : clauses) {
        const QString folded = SearchText::fold(clause.token);
        switch (clause.field) {
        case SearchQuery::Field::Subject:
            if (clause.oneCharacter) {
                where.append(QStringLiteral("substr(name_f, 1, length(?)) = ?"));
                binds << folded << folded;
            } else {
                where.append(QStringLiteral("instr(name_f, ?) > 0"));
                binds << folded;
            }
            break;
        case SearchQuery::Field::Email: {
            const QString needle = clause.oneCharacter ? u'\n' + folded : folded;
            where.append(QStringLiteral("(instr(kw_f, ?) > 0 OR instr(au_f, ?) > 0)"));
            binds << needle << needle;
            break;
        }
        case SearchQuery::Field::Everywhere: {
            const QString expression = wordExpression(clause);
            if (expression.isEmpty())
                return answer; // no word can match
            where.append(QStringLiteral("id IN (SELECT rowid FROM words WHERE words MATCH ?)"));
            binds << expression;
            break;
        }
        }
    }
    Statement select(m_db, QStringLiteral("SELECT path, display, title, authors, keywords, tags, created, size, pages "
                                          "FROM files WHERE %1 ORDER BY created DESC, path LIMIT ?")
                               .arg(where.join(QStringLiteral(" AND "))));
    if (!select.ok()) {
        noteFailure(select.rc());
        answer.ok = false;
        answer.error = QString::fromUtf8(sqlite3_errmsg(m_db));
        return answer;
    }
    for (int i = 0; i < binds.size(); ++i)
        select.bind(i + 1, binds[i]);
    select.bind(int(binds.size()) + 1, qint64(limit) + 1);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        if (answer.hits.size() == limit) {
            answer.more = true;
            break;
        }
        Hit hit;
        hit.path = select.text(0);
        SearchAttributes &a = hit.attributes;
        a.displayName = select.text(1);
        a.title = select.text(2);
        a.authors = select.text(3).split(u'\n', Qt::SkipEmptyParts);
        a.keywords = select.text(4).split(u'\n', Qt::SkipEmptyParts);
        a.tags = select.text(5).split(u'\n', Qt::SkipEmptyParts);
        a.creationDate = fromMs(select.integer(6));
        a.size = select.integer(7);
        a.pageCount = int(select.integer(8));
        answer.hits.append(std::move(hit));
    }
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        noteFailure(rc);
        answer.ok = false;
        answer.error = QString::fromUtf8(sqlite3_errmsg(m_db));
    }
    return answer;
}

std::optional<SearchAttributes> ArchiveIndex::attributesOf(const QString &path)
{
    if (!open())
        return std::nullopt;
    Statement select(m_db, QStringLiteral("SELECT display, title, authors, keywords, tags, created, size, pages "
                                          "FROM files WHERE path = ?"));
    select.bind(1, path);
    if (select.step() != SQLITE_ROW)
        return std::nullopt;
    SearchAttributes a;
    a.displayName = select.text(0);
    a.title = select.text(1);
    a.authors = select.text(2).split(u'\n', Qt::SkipEmptyParts);
    a.keywords = select.text(3).split(u'\n', Qt::SkipEmptyParts);
    a.tags = select.text(4).split(u'\n', Qt::SkipEmptyParts);
    a.creationDate = fromMs(select.integer(5));
    a.size = select.integer(6);
    a.pageCount = int(select.integer(7));
    return a;
}

qint64 ArchiveIndex::fileCount()
{
    if (!open())
        return 0;
    Statement count(m_db, QStringLiteral("SELECT count(*) FROM files"));
    return count.step() == SQLITE_ROW ? count.integer(0) : 0;
}
