#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class SourcesRows : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<Preferences> prefs;
    void SetUp() override { prefs = std::make_unique<Preferences>(dir.filePath("Tarnwick.conf")); }

    void store(const QStringList &accounts, const QStringList &folders)
    {
        prefs->setValue("EmailAccounts", accounts);
        prefs->setValue("FolderItems", folders);
    }
    static QStringList ids(const SourcesList &list)
    {
        QStringList out;
        for (const auto &row : list.rows())
            out << row.value("id").toString();
        return out;
    }
};

TEST_F(SourcesRows, RowsFollowTheStore)
{
    struct Row {
        QStringList accounts, folders, ids;
    };
    const Row rows[] = {
        {{}, {},
         {"__General__", "__Settings Item__", "__EMAIL ACCOUNTS__", "__Add Email Item__", "__FOLDERS__",
          "__Add New Folder Item__", "__Add New Mailbox Item__"}},
        {{"a@x.org", "b@y.org"}, {"/m/Archive 2015"},
         {"__General__", "__Settings Item__", "__EMAIL ACCOUNTS__", "a@x.org", "b@y.org", "__Add Email Item__",
          "__FOLDERS__", "/m/Archive 2015", "__Add New Folder Item__", "__Add New Mailbox Item__"}},
    };
    for (const Row &row : rows) {
        store(row.accounts, row.folders);
        SourcesList list(*prefs);
        list.reloadTheData();
        EXPECT_EQ(ids(list), row.ids);
    }
    // The last state: two accounts and one folder.
    SourcesList list(*prefs);
    list.reloadTheData();
    const auto &r = list.rows();
    EXPECT_EQ(r[3].value("email").toString(), "a@x.org");
    EXPECT_EQ(r[3].value("icon").toString(), "40-40-icon-mailbox.png");
    EXPECT_EQ(r[7].value("name").toString(), "Archive 2015");
    EXPECT_EQ(r[7].value("folder").toString(), "/m/Archive 2015");
    EXPECT_EQ(r[9].value("name").toString(), "Add Mailbox From Mail Client");
    EXPECT_EQ(r[9].value("action").toString(), "Action_newMailbox");
    EXPECT_FALSE(r[0].contains("icon"));
}

TEST_F(SourcesRows, SelectionIsClampedAndKeptAcrossRebuilds)
{
    store({"a@x.org", "b@y.org"}, {"/m/One", "/m/Two"});
    SourcesList list(*prefs);
    list.reloadTheData(); // 11 rows; folders at 7 and 8
    struct Row {
        int asked, selected;
    };
    const Row rows[] = {
        {1, 1}, {3, 3}, {99, 8}, {11, 8}, {-2, 8}, {8, 8},
        {2, -1}, // a heading asked by number deselects
    };
    for (const Row &row : rows)
        EXPECT_EQ(list.setSelectedRow(row.asked), row.selected) << row.asked;

    // The user clicking a heading is refused and the selection stays.
    ASSERT_EQ(list.selectRow(4), SourcesList::Selection::AccountPane);
    EXPECT_EQ(list.selectRow(0), SourcesList::Selection::Refused);
    EXPECT_EQ(list.selectedRow(), 4);
    EXPECT_EQ(list.rememberedId(), "b@y.org");

    // A new account before it moves the row; the remembered id follows.
    store({"0@first.org", "a@x.org", "b@y.org"}, {"/m/One", "/m/Two"});
    list.reloadTheData();
    EXPECT_EQ(list.selectedRow(), 5);
    // Its source removed, nothing is selected.
    store({"a@x.org"}, {"/m/One", "/m/Two"});
    list.reloadTheData();
    EXPECT_EQ(list.selectedRow(), -1);
}

TEST_F(SourcesRows, AddingAndRemovingAFolder)
{
    store({}, {});
    SourcesList list(*prefs);
    list.reloadTheData();
    EXPECT_EQ(SourcesList::addSourcePathToPrefs("/m/Only", *prefs), 0);
    EXPECT_EQ(SourcesList::addSourcePathToPrefs("/m/Only", *prefs), 0) << "never twice";
    list.reloadTheData();
    // Adding selects past the end, which lands on the new last folder.
    EXPECT_EQ(list.setSelectedRow(int(list.rows().size())), 5);
    EXPECT_EQ(list.selectRow(5), SourcesList::Selection::FolderPane);

    // Removing the only folder: the row above is the folders heading, so nothing stays selected.
    const int remembered = list.selectedRow();
    EXPECT_TRUE(SourcesList::removeSourcePathFromPrefs("/m/Only", *prefs));
    EXPECT_FALSE(SourcesList::removeSourcePathFromPrefs("/m/Only", *prefs));
    list.reloadTheData();
    EXPECT_EQ(list.setSelectedRow(remembered - 1), -1);
    EXPECT_EQ(list.rows().size(), 7);
}

TEST_F(SourcesRows, AFullRunSkipsEmptyStrings)
{
    store({"a@x.org", "", "b@y.org"}, {"", "/m/One"});
    EXPECT_EQ(SourcesList::allSourceKeys(*prefs), (QStringList{"a@x.org", "b@y.org", "/m/One"}));
    SourcesList list(*prefs);
    list.reloadTheData();
    EXPECT_EQ(list.rows().size(), 12) << "the list shows every stored string";
    prefs->removeObjectForKey("EmailAccounts");
    EXPECT_EQ(SourcesList::allSourceKeys(*prefs), QStringList{"/m/One"});
}

TEST(SourcesList, TheMailChooserOpensAtTheUsersMailFolder)
{
    struct Row {
        QStringList made;
        QString expected;
    };
    const Row rows[] = {
        {{}, ""},
        {{".local/share/evolution/mail"}, ".local/share/evolution/mail"},
        {{".thunderbird", ".local/share/evolution/mail"}, ".thunderbird"},
        {{"Maildir", ".local/share/evolution/mail"}, "Maildir"},
        {{"Mail", ".thunderbird"}, "Mail"},
    };
    for (const Row &row : rows) {
        QTemporaryDir home;
        for (const QString &sub : row.made)
            QDir(home.path()).mkpath(sub);
        const QString expected = row.expected.isEmpty() ? home.path() : home.filePath(row.expected);
        EXPECT_EQ(SourcesList::mailChooserFolder(home.path()), expected);
    }
}

} // namespace
