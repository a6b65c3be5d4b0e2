// The search's rules without an index: tokenising the fields, the query they make, the
// folders searched, the breadcrumb, the grid's names and order, the status line.

#include "SearchIndex/SearchQuery.h"
#include "SearchIndex/SearchRoots.h"
#include "SearchIndex/SearchText.h"
#include "SearchView/SearchItem.h"
#include "SearchView/SearchViewController.h"

#include <QLocale>

#include <gtest/gtest.h>

namespace {

std::string s(const QString &text) { return text.toStdString(); }

} // namespace

TEST(SearchQuery, Tokenising)
{
    const struct {
        const char *field;
        QStringList tokens;
    } rows[] = {
        {"", {}},
        {"  invoice   march ", {"invoice", "march"}},
        {"\"two words\" x", {"two words", "x"}},
        {"a\"quoted  phrase\"b", {"a", "quoted  phrase", "b"}},
        {"from: anna report", {"from: anna", "report"}},
        {"\"never closed", {"never closed"}},
        {"\"\" last:", {"last:"}},
        {"to: \"Anna Berg\"", {"to: Anna Berg"}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(SearchQuery::readSpaceAndQuoteDelimitedStringIntoArray(QString::fromUtf8(row.field)), row.tokens)
            << row.field;
}

TEST(SearchQuery, QueryString)
{
    const struct {
        SearchQuery::Fields fields;
        const char *query;
    } rows[] = {
        {{}, ""},
        {{"\"two words\" x", "", ""},
         R"(( kMDItemDisplayName == "*two words*"cd ) && ( kMDItemDisplayName == "x*"cd ))"},
        {{"", "anna@example.org", ""},
         R"(( (kMDItemKeywords == "*anna@example.org*"cd)  || (kMDItemAuthors == "*anna@example.org*"cd) ))"},
        {{"", "a", ""}, R"(( (kMDItemKeywords == "a*"cd) || (kMDItemAuthors == "a*"cd) ))"},
        {{"", "", "k"}, R"(( * == "k"cdw ))"},
        {{"Report", "", "Köln"},
         R"(( kMDItemDisplayName == "*Report*"cd ) && ( * == "Köln*"cdw || kMDItemTextContent == "Köln*"cdw ))"},
    };
    for (const auto &row : rows)
        EXPECT_EQ(s(SearchQuery::currentQueryString(row.fields)), row.query);
}

TEST(SearchQuery, FoldingIgnoresCaseAndAccents)
{
    EXPECT_EQ(SearchText::fold(QStringLiteral("KÄSESPÄTZLE Grüße")), QStringLiteral("kasespatzle grusse"));
    EXPECT_EQ(SearchText::fold(QStringLiteral("ﾃｽﾄ が")), QStringLiteral("テスト が"));
    EXPECT_EQ(SearchText::foldForWords(QStringLiteral("議事録です")), QStringLiteral(" 議  事  録  で  す "));
}

TEST(SearchRoots, CoalescedSearchDirectories)
{
    const auto roots = [](const QStringList &paths) {
        QList<SearchRoot> list;
        for (const QString &p : paths)
            list.append({QStringLiteral("n"), p});
        return list;
    };
    const struct {
        QStringList roots;
        QString constraint;
        QStringList dirs;
    } rows[] = {
        {{}, {}, {}},
        {{"/a/x", "/a/x"}, {}, {"/a/x"}},
        {{"/a/x/y", "/b", "/a/x"}, {}, {"/a/x", "/b"}},
        {{"/a/x", "/a/x/y"}, {}, {"/a/x"}},
        // A name that merely starts like another folder is a folder of its own.
        {{"/a/mail", "/a/mailbox"}, {}, {"/a/mail", "/a/mailbox"}},
        {{"/a/x/1", "/a/x/2", "/a/x"}, {}, {"/a/x"}},
        {{"/a", "/b"}, "/b/2019", {"/b/2019"}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(SearchRoots::currentSearchDirectories(roots(row.roots), row.constraint), row.dirs)
            << s(row.roots.join(","));
}

TEST(SearchRoots, Breadcrumb)
{
    using Crumb = SearchRoots::Crumb;
    const QList<SearchRoot> roots{{"anna@example.org", "/arch/anna@example.org"}, {"Inbox", "/arch/Inbox"}};
    const QString march = QLocale().standaloneMonthName(3);
    const struct {
        QString path;
        QList<Crumb> crumbs;
    } rows[] = {
        {"", {{"All Archives", ""}}},
        {"/arch/Inbox", {{"All Archives", ""}, {"Inbox", "/arch/Inbox"}}},
        {"/arch/Inbox/2023/03",
         {{"All Archives", ""}, {"Inbox", "/arch/Inbox"}, {"2023", "/arch/Inbox/2023/"}, {march, "/arch/Inbox/2023/03/"}}},
        // Under no root: only the ancestors longer than 12 characters.
        {"/elsewhere/deeper/file.pdf",
         {{"All Archives", ""}, {"deeper", "/elsewhere/deeper/"}, {"file.pdf", "/elsewhere/deeper/file.pdf/"}}},
    };
    for (const auto &row : rows)
        EXPECT_EQ(SearchRoots::parentsAndPath(row.path, roots), row.crumbs) << s(row.path);
}

TEST(SearchItem, TitlesAndBrowseOrder)
{
    const struct {
        const char *name;
        const char *title;
    } titles[] = {
        {"2021-04-17 08.15.18Z  Invoice.pdf", "Invoice"},
        {"1999-12-31 23.59.59Z  Old.pdf.pdf", "Old.pdf"},
        {"2021-04-17 08:15:18Z  Invoice.pdf", "2021-04-17 08:15:18Z  Invoice.pdf"},
        {"archive-2023.mbox", "archive-2023"},
        {"Inbox.imapmbox", "Inbox"},
        {" spaced.txt ", "spaced.txt"},
    };
    for (const auto &row : titles)
        EXPECT_EQ(s(SearchItem::stripAnnoyingStuff(QString::fromUtf8(row.name))), row.title) << row.name;

    const struct {
        const char *path;
        QString name;
    } names[] = {
        {"/a/2023/03", QLocale().standaloneMonthName(3)},
        {"/a/2023/00", "n/a"},
        {"/a/2023/13", "of"},
        {"/a/2023/123", "123"},
        {"/a/Inbox/03", "03"},
    };
    for (const auto &row : names)
        EXPECT_EQ(SearchItem::nameFromPath(QString::fromUtf8(row.path)), row.name) << row.path;

    QStringList entries{"10", "Zebra", "2", "alpha", "01", "0", "12"};
    std::stable_sort(entries.begin(), entries.end(), SearchItem::browseOrderLess);
    EXPECT_EQ(entries, (QStringList{"01", "2", "10", "12", "alpha", "Zebra", "0"}));
}

TEST(SearchViewController, StatusLine)
{
    EXPECT_EQ(s(SearchViewController::statusLine(3, true)), "3 files (working)");
    EXPECT_EQ(s(SearchViewController::statusLine(2021, false)), "2021 files (done)");
    EXPECT_EQ(s(SearchViewController::statusLine(10000, false)), "> 10000 (incomplete)");
}
