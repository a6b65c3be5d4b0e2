#include "Settings/Preferences.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class PreferencesStore : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString file() const { return dir.filePath("Tarnwick/Tarnwick.conf"); }
};

TEST_F(PreferencesStore, RegisteredDefaultsAnswerUntilAValueIsStored)
{
    Preferences prefs(file());
    prefs.registerStandardDefaults();
    EXPECT_EQ(prefs.stringForKey("hoursBetweenUpdates"), "24");
    EXPECT_TRUE(prefs.boolForKey("useWindowsFriendlyFilenames"));
    EXPECT_TRUE(prefs.boolForKey("includeTinyHeaderText"));
    EXPECT_EQ(prefs.integerForKey("maxNumRenderJobs"), 1);
    EXPECT_FALSE(prefs.boolForKey("StartArchivingOnLaunch"));
    EXPECT_FALSE(prefs.value("nothing").isValid());
    EXPECT_FALSE(prefs.hasStoredValue("hoursBetweenUpdates")) << "registering writes nothing";

    prefs.setValue("useWindowsFriendlyFilenames", false);
    prefs.setValue("maxNumRenderJobs", 4);
    EXPECT_FALSE(prefs.boolForKey("useWindowsFriendlyFilenames"));
    EXPECT_EQ(prefs.integerForKey("maxNumRenderJobs"), 4);
    prefs.removeObjectForKey("maxNumRenderJobs");
    EXPECT_EQ(prefs.integerForKey("maxNumRenderJobs"), 1);
    prefs.removePersistentDomain();
    EXPECT_TRUE(prefs.boolForKey("useWindowsFriendlyFilenames"));
}

TEST_F(PreferencesStore, SourceKeysStayExactAndSurviveAReload)
{
    // Source keys are addresses and folder paths followed directly by a suffix.
    const QStringList keys = {"anna@example.org__IMAP", "/home/u/Mail__DEST", "//home/u/Mail__DEST",
                              "C:\\Mail\\Inboxpdf", "100%pdf", "Generalpdf"};
    {
        Preferences prefs(file());
        for (const QString &key : keys)
            prefs.setValue(key, "value of " + key);
        prefs.setValue("EmailAccounts", QStringList{"a@x.org", "b@y.org"});
        prefs.setValue("FolderItems", QStringList{"/only/one"});
    }
    Preferences again(file());
    for (const QString &key : keys)
        EXPECT_EQ(again.stringForKey(key), "value of " + key) << key.toStdString();
    EXPECT_EQ(again.stringListForKey("EmailAccounts"), (QStringList{"a@x.org", "b@y.org"}));
    EXPECT_EQ(again.stringListForKey("FolderItems"), QStringList{"/only/one"});
    EXPECT_TRUE(again.stringListForKey("missing").isEmpty());
}

TEST_F(PreferencesStore, ChangesAreSignalled)
{
    Preferences prefs(file());
    QSignalSpy spy(&prefs, &Preferences::changed);
    prefs.setValue("zoomState", 0.5);
    prefs.removeObjectForKey("zoomState");
    prefs.removePersistentDomain();
    ASSERT_GE(spy.size(), 3);
    EXPECT_EQ(spy[0][0].toString(), "zoomState");
    EXPECT_EQ(spy[1][0].toString(), "zoomState");
    EXPECT_TRUE(spy[2][0].toString().isEmpty());
}

} // namespace
