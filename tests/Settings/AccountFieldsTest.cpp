#include "Settings/AccountFields.h"
#include "Settings/Preferences.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

// The mailbox-list cache is keyed by a keyed hash of the three fields: the key changes with
// any of them, never holds the password's text, and is not the same in two panes (a dump
// of one cannot be checked against a list of passwords without the pane's own key).
TEST(AccountFields, TheCacheKeyIsAKeyedHashOfTheFields)
{
    AccountFields pane, other;
    const QByteArray key = pane.cacheKey("ann@example.org", "imap.example.org", "hunter22");
    EXPECT_EQ(key.size(), 32);
    EXPECT_EQ(pane.cacheKey("ann@example.org", "imap.example.org", "hunter22"), key);
    EXPECT_FALSE(key.contains("hunter22"));
    const struct {
        QString email, server, password;
    } changed[] = {
        {"ann@example.org", "imap.example.org", "hunter23"},
        {"ann@example.org", "imap.example.org:993", "hunter22"},
        {"bob@example.org", "imap.example.org", "hunter22"},
        // The separator alone does not make two fields one.
        {"ann@example.org_imap.example.org", "", "hunter22"},
    };
    for (const auto &row : changed)
        EXPECT_NE(pane.cacheKey(row.email, row.server, row.password), key) << row.password.toStdString();
    EXPECT_NE(other.cacheKey("ann@example.org", "imap.example.org", "hunter22"), key);
}

TEST(AccountFields, SwitchingAMailboxKeepsASet)
{
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("Tarnwick.conf"));
    AccountFields::toggleFolderSetting("ann@example.org", "Spam", prefs);
    AccountFields::toggleFolderSetting("ann@example.org", "Lists/Qt", prefs);
    EXPECT_FALSE(AccountFields::isFolderON("ann@example.org", "Spam", prefs));
    AccountFields::toggleFolderSetting("ann@example.org", "Spam", prefs);
    EXPECT_TRUE(AccountFields::isFolderON("ann@example.org", "Spam", prefs));
    EXPECT_EQ(prefs.stringListForKey("ann@example.org__IgnoreFolders"), QStringList{"Lists/Qt"});
    AccountFields::toggleFolderSetting("", "Spam", prefs); // no address: nothing stored
    EXPECT_FALSE(prefs.hasStoredValue("__IgnoreFolders"));
}
