#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

TEST(PreferenceRegister, AnEmptyStoreAnswersWithTheRegisteredDefaults)
{
    QTemporaryDir dir;
    Preferences prefs(dir.filePath("Tarnwick.conf"));
    prefs.registerStandardDefaults();
    struct Row {
        const char *key;
        QVariant expected;
    };
    const Row rows[] = {
        {"hoursBetweenUpdates", QStringLiteral("24")}, // a string, not a number
        {"useWindowsFriendlyFilenames", true},
        {"includeTinyHeaderText", true},
        {"maxNumRenderJobs", 1},
        {"StartArchivingOnLaunch", false},
        {"bugsnagHaveAsked", false},
        {"launchCount", 0},
    };
    for (const Row &row : rows) {
        const QString key = QString::fromLatin1(row.key);
        if (row.expected.typeId() == QMetaType::Bool)
            EXPECT_EQ(prefs.boolForKey(key), row.expected.toBool()) << row.key;
        else if (row.expected.typeId() == QMetaType::Int)
            EXPECT_EQ(prefs.integerForKey(key), row.expected.toInt()) << row.key;
        else
            EXPECT_EQ(prefs.value(key), row.expected) << row.key;
        EXPECT_FALSE(prefs.hasStoredValue(key)) << "registering writes nothing: " << row.key;
    }
    EXPECT_EQ(prefs.value("hoursBetweenUpdates").typeId(), QMetaType::QString);
    EXPECT_FALSE(prefs.stringForKey("SUFeedURL").isEmpty());
}

TEST(PreferenceRegister, PerSourceKeysFollowTheSourceKeyDirectly)
{
    using R = PreferenceRegister;
    struct Row {
        QString made, expected;
    };
    const QString a = "anna@example.org", f = "/home/u/Mail";
    const Row rows[] = {
        {R::imapKey(a), "anna@example.org__IMAP"},
        {R::authSystemKey(a), "anna@example.org__authSystem"},
        {R::googleOAuthKeyKey(a), "anna@example.org__googleOAuthKey"},
        {R::ignoreFoldersKey(a), "anna@example.org__IgnoreFolders"},
        {R::certificatePinKey(a), "anna@example.org__CertSHA256"},
        {R::formatKey(a, "pdf"), "anna@example.orgpdf"},
        {R::formatKey(a, "attachment"), "anna@example.orgattachment"},
        {R::formatKey(a, "eml"), "anna@example.orgeml"},
        {R::passwordKey(a), "anna@example.org__PASS"},
        {R::destKey(f), "/home/u/Mail__DEST"},
        {R::lastFinishedKey(f), "/home/u/Mail__LastFinished"},
        {R::lastNumDoneKey(f), "/home/u/Mail__LastNumDone"},
    };
    for (const Row &row : rows)
        EXPECT_EQ(row.made, row.expected);
    // Every suffix the register lists makes one of the keys above.
    for (const auto &s : R::perSourceSuffixes()) {
        const auto made = [&](const Row &r) { return r.expected == a + s.suffix || r.expected == f + s.suffix; };
        EXPECT_TRUE(std::any_of(std::begin(rows), std::end(rows), made)) << s.suffix.toStdString();
    }
}

TEST(PreferenceRegister, AutomaticRunIntervalIsClamped)
{
    struct Row {
        QVariant hours;
        std::optional<qint64> seconds;
    };
    const Row rows[] = {
        {QStringLiteral("24"), 86400},
        {QStringLiteral("0"), std::nullopt},
        {QStringLiteral("0.001"), 60},
        {QStringLiteral("1000"), 2592000},
        {QStringLiteral("720"), 2592000},
        {QStringLiteral("0.5"), 1800},
        {QStringLiteral("abc"), std::nullopt},
        {QStringLiteral(""), std::nullopt},
        {QStringLiteral("-3"), std::nullopt},
        {QStringLiteral("nan"), std::nullopt},
        {QStringLiteral("inf"), std::nullopt},
        {QVariant(), std::nullopt},
        {QVariant(2), 7200},
    };
    for (const Row &row : rows)
        EXPECT_EQ(PreferenceRegister::automaticRunInterval(row.hours), row.seconds) << row.hours.toString().toStdString();
}

TEST(PreferenceRegister, TheHoursFieldKeepsDigitsOnly)
{
    const std::pair<QString, QString> rows[] = {
        {"1a2", "12"}, {"24", "24"}, {"-5", "5"}, {"1.5", "15"}, {"", ""}, {"٣", ""}, {" 7 h", "7"}};
    for (const auto &[typed, kept] : rows)
        EXPECT_EQ(PreferenceRegister::hoursFieldText(typed), kept) << typed.toStdString();
}

} // namespace
