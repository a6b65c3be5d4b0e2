#include "AppSandbox/FolderAccess.h"
#include "AppSandbox/FolderReference.h"
#include "AppSandbox/URLBookmarkInPrefs.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "Utils/Log.h"

#include <QDir>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class FolderReferences : public ::testing::Test {
protected:
    QTemporaryDir tmp;
    std::unique_ptr<Preferences> prefs;

    void SetUp() override
    {
        prefs = std::make_unique<Preferences>(tmp.filePath("config/Tarnwick.conf"));
        QDir(tmp.path()).mkpath("home/user/Archive/2015");
    }
    QString at(const QString &relative) const { return QDir::cleanPath(tmp.filePath(relative)); }
    bool birthTimesKnown() const
    {
        const auto id = FolderReference::identityOf(tmp.path(), nullptr);
        return id && id->hasBirthTime;
    }
};

TEST_F(FolderReferences, ARenamedOrMovedFolderIsFoundAgain)
{
    if (!birthTimesKnown())
        GTEST_SKIP() << "the temporary folder's file system records no birth time";
    struct Row {
        const char *what, *from, *to;
    };
    const Row rows[] = {
        {"renamed in place", "home/user/Archive/2015", "home/user/Archive/2015 done"},
        {"moved one level up", "home/user/Archive/2015", "home/user/2015"},
        {"moved into a sibling", "home/user/Archive/2015", "home/user/Archive/old/2015"},
        {"its parent renamed", "home/user/Archive/2015", "home/user/Archives/2015"},
        {"moved up and renamed", "home/user/Archive/2015", "home/user/Mail archive"},
    };
    for (const Row &row : rows) {
        QDir(tmp.path()).mkpath(row.from);
        const QString key = QStringLiteral("dest-%1").arg(row.what);
        ASSERT_FALSE(URLBookmarkInPrefs::setURL(at(row.from), key, *prefs).isEmpty()) << row.what;
        EXPECT_FALSE(prefs->hasStoredValue(key)) << "the plain key is not written";
        QDir(tmp.path()).mkpath(QFileInfo(at(row.to)).path());
        ASSERT_TRUE(QDir().rename(at(row.from), at(row.to))) << row.what;
        EXPECT_EQ(URLBookmarkInPrefs::URLFromPrefsForKey(key, *prefs), at(row.to)) << row.what;
        QDir(at(row.to)).removeRecursively();
        QDir(tmp.path()).mkpath("home/user/Archive");
    }
}

TEST_F(FolderReferences, ADeletedFolderGivesItsLastPathOnce)
{
    const QString folder = at("home/user/Archive/2015");
    ASSERT_FALSE(URLBookmarkInPrefs::setURL(folder, "destBookmarkURL", *prefs).isEmpty());
    ASSERT_TRUE(QDir(folder).removeRecursively());
    // A newcomer in the same place may well get the freed inode number.
    QDir(tmp.path()).mkpath("home/user/Archive/2016");

    Log::captureStart();
    EXPECT_EQ(URLBookmarkInPrefs::URLFromPrefsForKey("destBookmarkURL", *prefs), folder);
    EXPECT_EQ(Log::captureTake(), QStringList{"volume or path does not appear to be mounted " + folder});
    EXPECT_FALSE(prefs->hasStoredValue("destBookmarkURL_bookmark")) << "the reference is dropped";
    EXPECT_TRUE(URLBookmarkInPrefs::URLFromPrefsForKey("destBookmarkURL", *prefs).isEmpty());
}

TEST_F(FolderReferences, AnInodeNumberAloneNeverPicksAnotherFolder)
{
    // References that agree with a folder on device and inode but not on what else tells
    // folders apart: the folder that reused the number is not the one that was chosen.
    const QString newcomer = at("home/user/Archive/2015");
    const auto id = FolderReference::identityOf(newcomer, nullptr);
    ASSERT_TRUE(id);
    struct Row {
        const char *what;
        QString path;
        bool hasBirthTime;
        qint64 birthShift;
    };
    const Row rows[] = {
        {"older birth time, same path", newcomer, true, -1},
        {"older birth time, old path gone", at("home/user/Archive/gone"), true, -1},
        {"no birth time, old path gone", at("home/user/Archive/gone"), false, 0},
    };
    for (const Row &row : rows) {
        if (row.hasBirthTime && !id->hasBirthTime)
            continue;
        FolderIdentity recorded = *id;
        recorded.hasBirthTime = row.hasBirthTime;
        recorded.birthSecs += row.birthShift;
        const QByteArray data = FolderReference::encode(row.path, recorded);
        QString why;
        EXPECT_FALSE(FolderReference::resolve(data, &why)) << row.what;
        EXPECT_FALSE(why.isEmpty()) << row.what;
    }
    // The same identity resolves, which shows the rows above fail for the right reason.
    EXPECT_EQ(FolderReference::resolve(FolderReference::encode(newcomer, *id), nullptr).value_or(""), newcomer);
}

TEST_F(FolderReferences, APlainPathIsTurnedIntoAReference)
{
    const QString folder = at("home/user/Archive");
    prefs->setValue("destBookmarkURL", folder);
    EXPECT_EQ(URLBookmarkInPrefs::URLFromPrefsForKey("destBookmarkURL", *prefs), folder);
    EXPECT_EQ(FolderReference::recordedPath(prefs->dataForKey("destBookmarkURL_bookmark")), folder);
    EXPECT_EQ(prefs->stringForKey("destBookmarkURL"), folder) << "the plain path stays";

    // A plain path that leads nowhere makes no reference and no folder.
    prefs->setValue("other", at("nowhere"));
    Log::captureStart();
    EXPECT_TRUE(URLBookmarkInPrefs::URLFromPrefsForKey("other", *prefs).isEmpty());
    const QStringList lines = Log::captureTake();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_TRUE(lines[0].startsWith("Failed to get bookmark made - perhaps path is unreachable - " + at("nowhere") +
                                    " - error: "))
        << lines[0].toStdString();
    EXPECT_FALSE(prefs->hasStoredValue("other_bookmark"));
}

TEST_F(FolderReferences, ASourceWithoutItsOwnDestinationShowsTheMainOne)
{
    const QString source = at("home/user/Mail");
    QDir().mkpath(source);
    ASSERT_TRUE(FolderAccess::setDestinationDirectory(at("home/user/Archive"), *prefs));
    ASSERT_TRUE(SourcesList::setOwnDestination(source, at("home/user/Archive/2015"), *prefs));
    EXPECT_TRUE(prefs->hasStoredValue(source + "__DEST_bookmark"));
    auto d = SourcesList::destinationDisplay(source, *prefs);
    EXPECT_TRUE(d.own);
    EXPECT_EQ(d.text, at("home/user/Archive/2015") + "/Mail");

    SourcesList::removeOwnDestination(source, *prefs);
    EXPECT_FALSE(prefs->hasStoredValue(source + "__DEST_bookmark"));
    d = SourcesList::destinationDisplay(source, *prefs);
    EXPECT_FALSE(d.own);
    EXPECT_EQ(d.text, "Default (" + at("home/user/Archive") + "/Mail)");

    // An account shows its whole address after the folder.
    EXPECT_EQ(SourcesList::destinationDisplay("anna@example.org", *prefs).text,
              "Default (" + at("home/user/Archive") + "/anna@example.org)");
}

} // namespace
