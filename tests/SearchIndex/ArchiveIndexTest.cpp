// The index and the search over it, on archives of small text files written by the test
// (the PDFs of real messages are the view's test): updates that notice new, changed and
// removed files, rows dropped with their source, the index's privacy and its repair, and
// the limits of the query and of the manual search.

#include "SearchIndex/ArchiveIndex.h"
#include "SearchIndex/ArchiveSearch.h"
#include "TestSupport.h"
#include "openmeta/OpenMeta.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/stat.h>

namespace {

struct Box {
    QTemporaryDir dir;
    QString db() const { return dir.filePath("cache/Tarnwick/index.sqlite"); }
    QString root(const char *name) const { return dir.filePath(QString::fromLatin1(name)); }
    void write(const QString &path, const QByteArray &text) { TestSupport::writeFile(path, text); }
};

int mode(const QString &path)
{
    struct stat st{};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 0777) : -1;
}

ArchiveSearch::Outcome search(const Box &box, const QString &root, SearchQuery::Fields fields)
{
    ArchiveSearch::Request request;
    request.fields = std::move(fields);
    request.roots = {{QStringLiteral("r"), root}};
    request.indexPath = box.db();
    return ArchiveSearch::run(request);
}

} // namespace

TEST(ArchiveIndex, UpdatesFollowTheArchiveAndItsSources)
{
    Box box;
    const QString inbox = box.root("Inbox"), other = box.root("Other");
    box.write(inbox + "/2023/03/note.txt", "Kickoff in Köln");
    box.write(inbox + "/2023/03/.hidden.txt", "Kickoff");
    box.write(inbox + "/2023/04/plan.txt", "Budget");
    box.write(other + "/memo.txt", "Kickoff again");
    ArchiveIndex index(box.db());

    struct Row {
        const char *step;
        std::function<void()> change;
        QStringList roots;
        qint64 added, changed, removed, count;
    };
    const Row rows[] = {
        {"first run", [] {}, {inbox, other}, 3, 0, 0, 3},
        {"nothing changed", [] {}, {inbox, other}, 0, 0, 0, 3},
        {"a file changed and one added",
         [&] {
             box.write(inbox + "/2023/04/plan.txt", "Budget for the kickoff");
             box.write(inbox + "/2023/05/new.txt", "x");
         },
         {inbox, other}, 1, 1, 0, 4},
        {"a file deleted", [&] { QFile::remove(inbox + "/2023/05/new.txt"); }, {inbox, other}, 0, 0, 1, 3},
        {"a source removed", [] {}, {inbox}, 0, 0, 1, 2},
        {"the preferences reset", [] {}, {}, 0, 0, 2, 0},
    };
    for (const Row &row : rows) {
        row.change();
        const ArchiveIndex::UpdateStats stats = index.update(row.roots);
        EXPECT_TRUE(stats.error.isEmpty()) << row.step << ": " << stats.error.toStdString();
        EXPECT_EQ(stats.added, row.added) << row.step;
        EXPECT_EQ(stats.changed, row.changed) << row.step;
        EXPECT_EQ(stats.removed, row.removed) << row.step;
        EXPECT_EQ(index.fileCount(), row.count) << row.step;
    }
    // It holds the text of the archive: its owner's alone.
    EXPECT_EQ(mode(QFileInfo(box.db()).path()), 0700);
    EXPECT_EQ(mode(box.db()), 0600);
    EXPECT_EQ(mode(box.db() + "-wal"), 0600);
}

TEST(ArchiveIndex, FindsByNameTagAndWordAndRepairsItself)
{
    Box box;
    const QString root = box.root("Inbox");
    box.write(root + "/2023/Kickoff Köln.txt", "Agenda: Käsespätzle, Grüße. Protokoll 議事録です.");
    box.write(root + "/2023/other.txt", "nothing");
    ASSERT_FALSE(OpenMeta::setUserTags(QStringList{"Projekt Nord"}, root + "/2023/other.txt"));
    {
        ArchiveIndex index(box.db());
        ASSERT_TRUE(index.update({root}).error.isEmpty());
    }
    const struct {
        SearchQuery::Fields fields;
        const char *found; // file name, or "" for nothing
    } rows[] = {
        {{"kickoff koln", "", ""}, "Kickoff Köln.txt"},
        {{"", "", "kasespatzle"}, "Kickoff Köln.txt"},
        {{"", "", "GRUSSE"}, "Kickoff Köln.txt"},
        {{"", "", "議事録"}, "Kickoff Köln.txt"},
        {{"", "", "spätzle"}, ""}, // the start of a word, not its middle
        {{"", "", "nord"}, "other.txt"},
        {{"other", "", "nord"}, "other.txt"}, // every clause holds
    };
    for (const auto &row : rows) {
        const ArchiveSearch::Outcome outcome = search(box, root, row.fields);
        if (*row.found == 0) {
            EXPECT_TRUE(outcome.items.isEmpty()) << row.fields.everywhere.toStdString();
            continue;
        }
        ASSERT_EQ(outcome.items.size(), 1) << row.found;
        EXPECT_EQ(QFileInfo(outcome.items[0].path()).fileName().toStdString(), row.found);
        EXPECT_FALSE(outcome.manual);
    }

    // A damaged database is made again, and the next update fills it.
    box.write(box.db(), QByteArray("this is not a database").repeated(200));
    QFile::remove(box.db() + "-wal");
    QFile::remove(box.db() + "-shm");
    ArchiveIndex index(box.db());
    ASSERT_TRUE(index.open());
    EXPECT_EQ(index.update({root}).added, 2);
    EXPECT_EQ(search(box, root, {"", "", "kasespatzle"}).items.size(), 1);
}

TEST(ArchiveSearch, LimitsOfTheQueryAndOfTheManualSearch)
{
    Box box;
    const QString root = box.root("Inbox");
    for (int i = 0; i < 2500; ++i)
        box.write(QStringLiteral("%1/%2/note-%3.txt").arg(root).arg(i % 50).arg(i), "x");
    // Not indexed: only the manual search finds these.
    const QString loose = box.root("Loose");
    for (int i = 0; i < 1500; ++i)
        box.write(QStringLiteral("%1/%2/memo-%3.txt").arg(loose).arg(i % 30).arg(i), "x");
    ArchiveIndex index(box.db());
    ASSERT_EQ(index.update({root}).added, 2500);

    const ArchiveSearch::Outcome many = search(box, root, {"note", "", ""});
    EXPECT_EQ(many.items.size(), 2000);
    EXPECT_FALSE(many.liveUpdates);
    EXPECT_FALSE(many.manual);
    const ArchiveSearch::Outcome few = search(box, root, {"note-1234", "", ""});
    EXPECT_EQ(few.items.size(), 1);
    EXPECT_TRUE(few.liveUpdates);

    const ArchiveSearch::Outcome manual = search(box, loose, {"MEMO", "", ""});
    EXPECT_TRUE(manual.manual);
    EXPECT_EQ(manual.items.size(), 1001);
}

TEST(ArchiveSearch, BrowsingRootsAndMonths)
{
    Box box;
    const QString root = box.root("Inbox");
    for (const char *month : {"11", "02", "01"})
        QDir().mkpath(root + "/2023/" + month);
    QDir().mkpath(root + "/2022");
    ArchiveSearch::Request request;
    request.roots = {{"Inbox", root}, {"Gone", box.root("never-made")}};
    request.indexPath = box.db();
    const ArchiveSearch::Outcome top = ArchiveSearch::run(request);
    EXPECT_TRUE(top.browsing);
    ASSERT_EQ(top.items.size(), 1);
    EXPECT_EQ(top.items[0].path(), root);

    request.pathConstraint = root;
    QStringList years;
    for (const SearchItem &item : ArchiveSearch::run(request).items)
        years.append(item.cachedTitle());
    EXPECT_EQ(years, (QStringList{"2022", "2023"}));

    request.pathConstraint = root + "/2023";
    QStringList months;
    for (const SearchItem &item : ArchiveSearch::run(request).items)
        months.append(item.cachedTitle());
    EXPECT_EQ(months, (QStringList{QLocale().standaloneMonthName(1), QLocale().standaloneMonthName(2),
                                   QLocale().standaloneMonthName(11)}));
}
