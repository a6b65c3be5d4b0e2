// Searching a real archive: the sample mailbox archived by `tarnwick archive` (renderboxes,
// PDFs with their document information), configured as a folder source, then found by
// subject, address, body text, a German word typed without its umlauts and a Japanese
// word, through `tarnwick search --json` and through the search view on the offscreen
// platform.

#include "AppSandbox/FolderAccess.h"
#include "SearchView/SearchViewController.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QListView>
#include <QLocale>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

class ArchivedMailbox : public ::testing::Test {
protected:
    static inline QTemporaryDir *box = nullptr;
    static inline bool ready = false;

    static QString path(const char *sub) { return box->filePath(QString::fromLatin1(sub)); }
    static QProcessEnvironment environment()
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("XDG_CACHE_HOME", path("cache"));
        env.insert("TMPDIR", path("tmp"));
        env.insert("HOME", path("home"));
        return env;
    }
    static int tarnwick(const QStringList &args, QByteArray *out = nullptr)
    {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.start(TestSupport::tarnwickBinary(), args);
        p.waitForFinished(300000);
        if (out)
            *out = p.readAllStandardOutput();
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    static void SetUpTestSuite()
    {
        box = new QTemporaryDir;
        QDir().mkpath(path("tmp"));
        const QString samples = QStringLiteral(TARNWICK_SOURCE_DIR "/samples/mailbox");
        ready = tarnwick({"archive", "--dest", path("Archive"), samples}) == 0 &&
                tarnwick({"config", "set-destination", path("Archive")}) == 0 &&
                tarnwick({"sources", "add-folder", samples}) == 0;
    }
    static void TearDownTestSuite()
    {
        delete box;
        box = nullptr;
    }
    void SetUp() override { ASSERT_TRUE(ready); }
};

struct Row {
    const char *what;
    SearchQuery::Fields fields;
    const char *expected; // a piece of the expected PDF's file name
};

const Row kRows[] = {
    {"subject word", {"Sommerfest", "", ""}, "Einladung zum Sommerfest"},
    {"sender address", {"", "tanaka@example.jp", ""}, "定例会議の議事録"},
    {"body word", {"", "", "Erdbeerkuchen"}, "Einladung zum Sommerfest"},
    {"German word without its umlauts", {"", "", "Kasespatzle"}, "Einladung zum Sommerfest"},
    {"Japanese word", {"", "", "議事録"}, "定例会議の議事録"},
};

bool contains(const QStringList &paths, const char *piece)
{
    for (const QString &p : paths)
        if (QFileInfo(p).fileName().contains(QString::fromUtf8(piece)) && p.endsWith(".pdf"))
            return true;
    return false;
}

} // namespace

TEST_F(ArchivedMailbox, FoundFromTheCommandLine)
{
    for (const Row &row : kRows) {
        QStringList args{"search", "--json"};
        if (!row.fields.subject.isEmpty())
            args << "--subject" << row.fields.subject;
        if (!row.fields.email.isEmpty())
            args << "--email" << row.fields.email;
        if (!row.fields.everywhere.isEmpty())
            args << "--text" << row.fields.everywhere;
        QByteArray out;
        EXPECT_EQ(tarnwick(args, &out), 0) << row.what;
        QStringList paths;
        for (const QJsonValue &hit : QJsonDocument::fromJson(out).array())
            paths.append(hit.toObject()["path"].toString());
        EXPECT_TRUE(contains(paths, row.expected)) << row.what << ": " << out.toStdString();
        EXPECT_LE(paths.size(), 4) << row.what; // the message and its attachments, not the archive
    }
    QByteArray out;
    EXPECT_EQ(tarnwick({"search", "--text", "Zahnarzttermin"}, &out), 1);
    EXPECT_TRUE(out.isEmpty());
}

TEST_F(ArchivedMailbox, FoundInTheSearchView)
{
    Preferences prefs(path("config/Tarnwick/Tarnwick.conf"));
    SearchViewController view(prefs, nullptr, path("cache/Tarnwick/index.sqlite"));
    view.resize(900, 600);
    view.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&view));
    view.viewWillAppear();
    ASSERT_EQ(view.topPaths().size(), 1);
    WAIT_EXPECT_EQ(view.results().size(), 1, 10000); // the archive folder itself
    for (const Row &row : kRows) {
        view.homeClicked();
        for (auto [edit, text] : {std::pair{view.subjectField(), row.fields.subject},
                                  {view.emailField(), row.fields.email},
                                  {view.everywhereField(), row.fields.everywhere}}) {
            // Typed where the test's keyboard has the keys.
            if (QString::fromLatin1(text.toLatin1()) == text)
                QTest::keyClicks(edit, text);
            else
                edit->setText(text);
        }
        WAIT_EXPECT_TRUE(!view.isSearching() && view.shownQueryString() == view.currentQueryString(), 10000);
        EXPECT_TRUE(view.statusText().endsWith("files (done)")) << view.statusText().toStdString();
        QStringList paths;
        for (const SearchItem &item : view.results())
            paths.append(item.path());
        EXPECT_TRUE(contains(paths, row.expected)) << row.what << ": " << paths.join('\n').toStdString();
    }
    EXPECT_TRUE(view.canGoBack());

    // A PDF selected: its breadcrumb runs through the month folder, its panel gives its pages.
    view.grid()->setCurrentIndex(view.grid()->model()->index(0, 0));
    WAIT_EXPECT_TRUE(view.infoText().contains("Pages: 1"), 10000);
    QStringList crumbs;
    for (const SearchRoots::Crumb &crumb : view.breadcrumb())
        crumbs.append(crumb.name);
    ASSERT_GE(crumbs.size(), 5);
    EXPECT_EQ(crumbs.mid(0, 2), (QStringList{"All Archives", "mailbox"}));
    EXPECT_TRUE(crumbs.contains("2023") && crumbs.contains(QLocale().standaloneMonthName(11)))
        << crumbs.join(" > ").toStdString();
}

// Browsing and the moves between searches, over a small archive of text files: the root,
// its years, months by name, a search, its attachments, back, and results that follow a
// job's new file.
TEST(SearchView, BrowsingHistoryAttachmentsAndLiveResults)
{
    QTemporaryDir dir;
    const QString root = dir.filePath("Archive/Inbox");
    const QString march = root + "/2023/03";
    TestSupport::writeFile(march + "/2023-03-01 10.00.00Z  Alpha memo.txt", "alpha");
    TestSupport::writeFile(march + "/2023-03-01 10.00.00Z  Alpha memo (attachments)/sheet.csv", "1,2");
    TestSupport::writeFile(root + "/2023/04/Beta.txt", "beta");
    Preferences prefs(dir.filePath("prefs.conf"));
    ASSERT_TRUE(FolderAccess::setDestinationDirectory(dir.filePath("Archive"), prefs));
    SourcesList::addSourcePathToPrefs(dir.filePath("Mail/Inbox"), prefs);
    SearchViewController view(prefs, nullptr, dir.filePath("cache/index.sqlite"));
    view.show();
    const auto titles = [&] {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !view.searchPending(); }, 10000));
        QStringList out;
        for (const SearchItem &item : view.results())
            out.append(item.cachedTitle() + (item.isAttachment() ? "+" : ""));
        return out;
    };
    const auto activate = [&](int row) {
        emit view.grid()->activated(view.grid()->model()->index(row, 0));
    };
    const QString alphaPdf = "Alpha memo.txt";
    QSignalSpy indexed(&view, &SearchViewController::indexUpdated);

    struct Step {
        const char *what;
        std::function<void()> act;
        QStringList titles;
    };
    const Step steps[] = {
        {"the roots", [&] { view.viewWillAppear(); }, {"Inbox"}},
        {"a root chosen", [&] { view.whereToSearchClicked(root); }, {"2023"}},
        {"a year opened", [&] { activate(0); },
         {QLocale().standaloneMonthName(3), QLocale().standaloneMonthName(4)}},
        {"a search", [&] { QTest::keyClicks(view.subjectField(), "memo"); }, {alphaPdf, "sheet.csv+"}},
        {"its attachments",
         [&] {
             view.grid()->setCurrentIndex(view.grid()->model()->index(0, 0));
             view.showAttachments();
         },
         {"sheet.csv"}},
        {"back", [&] { view.popHistory(); }, {alphaPdf, "sheet.csv+"}},
        {"a job's new file",
         [&] {
             indexed.clear();
             TestSupport::writeFile(root + "/2023/05/2023-05-02 10.00.00Z  Gamma memo.txt", "gamma");
             view.archiveChanged();
             WAIT_EXPECT_TRUE(!indexed.isEmpty(), 10000);
         },
         {"Gamma memo.txt", alphaPdf, "sheet.csv+"}},
    };
    for (const Step &step : steps) {
        step.act();
        const QStringList got = titles();
        EXPECT_EQ(got, step.titles) << step.what << ": " << got.join(" | ").toStdString();
    }
    EXPECT_EQ(view.subjectField()->text(), "memo");
    EXPECT_EQ(view.pathConstraint(), root + "/2023");

    // Nothing selected: the panel counts the folder searched, in the background, once.
    const QString counted = "PDFs: 0\nImages: 0\nOther: 4\nSize: 0 MB";
    view.grid()->clearSelection();
    WAIT_EXPECT_EQ(view.infoText(), counted, 10000);
    view.grid()->setCurrentIndex(view.grid()->model()->index(0, 0));
    WAIT_EXPECT_TRUE(view.infoText().contains("Pages: 1"), 10000);
    view.grid()->clearSelection();
    EXPECT_EQ(view.infoText(), counted); // from the cache, without a second walk
}
