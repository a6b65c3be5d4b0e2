#include "openmeta/MetaTestSupport.h"
#include "openmeta/OpenMeta.h"

#include <QDir>
#include <QPoint>
#include <QTemporaryDir>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cerrno>

using namespace MetaTestSupport;

namespace {

const QString Precomposed = QStringLiteral("Caf\u00e9");
const QString Combining = QStringLiteral("Cafe\u0301");

struct CleanRow {
    const char *name;
    QStringList input;
    QStringList expected;
};

class OpenMetaCleaning : public ::testing::TestWithParam<CleanRow> {};

TEST_P(OpenMetaCleaning, RemoveDuplicateTags)
{
    EXPECT_EQ(OpenMeta::removeDuplicateTags(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    OpenMeta, OpenMetaCleaning,
    ::testing::Values(
        CleanRow{"CaseVariantsKeepFirst", {"Work", "work", "WORK", "Home"}, {"Work", "Home"}},
        CleanRow{"LaterFirstSpellingWins", {"home", "Work", "HOME"}, {"home", "Work"}},
        CleanRow{"PrecomposedAndCombiningAreOne", {Combining, Precomposed}, {Precomposed}},
        CleanRow{"StoredFormIsComposed", {Combining}, {Precomposed}},
        CleanRow{"EmptyList", {}, {}},
        CleanRow{"OrderKept", {"b", "a", "c"}, {"b", "a", "c"}}),
    [](const auto &info) { return std::string(info.param.name); });

// One row per way of calling setUserTags; the file starts with the tags "old,keep".
struct SetRow {
    const char *name;
    QVariant tags;
    bool emptyPath;
    int code;            // 0: success
    QString info;        // expected error text when code != 0
    QString storedTags;  // user.xdg.tags afterwards; null: absent
    bool tagTimeWritten;
};

class OpenMetaSetUserTags : public ::testing::TestWithParam<SetRow> {};

TEST_P(OpenMetaSetUserTags, WritesAttributes)
{
    const SetRow &row = GetParam();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("a.pdf"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_EQ(runTool(QStringLiteral("setfattr"), {"-n", "user.xdg.tags", "-v", "old,keep", file}).exitCode, 0);

    const QDateTime when(QDate(2021, 3, 4), QTime(5, 6, 7, 250), QTimeZone::utc());
    const OpenMetaResult result = OpenMeta::setUserTags(row.tags, row.emptyPath ? QString() : file, when);

    if (row.code == 0) {
        EXPECT_FALSE(result.has_value()) << result->info.toStdString();
    } else {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->domain, OpenMeta::ErrorDomain);
        EXPECT_EQ(result->code, row.code);
        EXPECT_EQ(result->info, row.info);
    }
    EXPECT_EQ(xdgTags(file), row.storedTags);
    const QString timeAttr = QStringLiteral("user.com.apple.metadata:kMDItemOMUserTagTime");
    EXPECT_EQ(getfattr(file).contains(timeAttr), row.tagTimeWritten);
    if (row.tagTimeWritten) {
        EXPECT_EQ(OpenMeta::getXAttr(OpenMeta::spotlightKey(OpenMeta::UserTagTimeKey), file).toDateTime(), when);
    }
}

QStringList manyTags(int count)
{
    QStringList out;
    for (int i = 0; i < count; ++i)
        out.append(QStringLiteral("tag-number-%1").arg(i, 4, 10, QLatin1Char('0')));
    return out;
}

const QString TooBig = QStringLiteral(
    "Meta data is too big - size as binary plist must be less than (perhaps 4k?) some number of bytes");

INSTANTIATE_TEST_SUITE_P(
    OpenMeta, OpenMetaSetUserTags,
    ::testing::Values(
        SetRow{"PlainList", QStringList{"work", "urgent"}, false, 0, {}, "work,urgent", true},
        SetRow{"DuplicatesCleaned", QStringList{"Work", "work", "WORK", "Home"}, false, 0, {}, "Work,Home", true},
        SetRow{"NumberRefusedNothingWritten", QVariantList{QStringLiteral("a"), 7}, false, -1,
               "Open Meta SYNC parameter error", "old,keep", false},
        SetRow{"NotAListRefused", QVariant(QStringLiteral("work")), false, -1, "Open Meta SYNC parameter error",
               "old,keep", false},
        SetRow{"EmptyListClearsTags", QStringList{}, false, 0, {}, QString(), true},
        SetRow{"EmptyPath", QStringList{"a"}, true, -1, "Open Meta parameter error", "old,keep", false},
        // 257 tags of 15 bytes joined by commas: 4111 bytes.
        SetRow{"OverLimitLeavesTags", manyTags(257), false, -5, TooBig, "old,keep", true},
        // 225 tags: 3599 bytes. (ext4 keeps all attributes of a file in one 4 KiB block,
        // so a value right at the limit would fail there with ENOSPC beside the tag time.)
        SetRow{"UnderLimitWritten", manyTags(225), false, 0, {}, manyTags(225).join(u','), true}),
    [](const auto &info) { return std::string(info.param.name); });

// setXAttr on a file whose attribute "user.probe" already holds the string "before".
struct XAttrRow {
    const char *name;
    QVariant value;
    QString path; // "" for the test file, otherwise relative to the temporary folder
    QString domain;
    int code;
    QVariant readBack; // value of user.probe afterwards (null: absent)
};

class OpenMetaSetXAttr : public ::testing::TestWithParam<XAttrRow> {};

TEST_P(OpenMetaSetXAttr, SerialisesOrRefuses)
{
    const XAttrRow &row = GetParam();
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f.bin"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_FALSE(OpenMeta::setXAttr(QStringLiteral("before"), QStringLiteral("probe"), file).has_value());

    const QString target = row.path.isNull() ? file : (row.path.isEmpty() ? QString() : dir.filePath(row.path));
    const OpenMetaResult result = OpenMeta::setXAttr(row.value, QStringLiteral("probe"), target);
    if (row.code == 0) {
        EXPECT_FALSE(result.has_value()) << result->info.toStdString();
    } else {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->domain, row.domain);
        EXPECT_EQ(result->code, row.code);
        if (row.domain == OpenMeta::PosixErrorDomain) {
            EXPECT_EQ(result->info, OpenMeta::errnoString(row.code));
        }
    }
    EXPECT_EQ(OpenMeta::getXAttr(QStringLiteral("probe"), file), row.readBack);
}

INSTANTIATE_TEST_SUITE_P(
    OpenMeta, OpenMetaSetXAttr,
    ::testing::Values(
        XAttrRow{"String", QStringLiteral("after"), QString(), {}, 0, QStringLiteral("after")},
        XAttrRow{"List", QStringList{"a", "b"}, QString(), {}, 0, QVariantList{QStringLiteral("a"), QStringLiteral("b")}},
        XAttrRow{"NullRemoves", QVariant(), QString(), {}, 0, QVariant()},
        XAttrRow{"NoPlistForm", QVariant(QPoint(1, 2)), QString(), OpenMeta::ErrorDomain, -2, QStringLiteral("before")},
        // A 4096-character string serialises to a few bytes more than 4096.
        XAttrRow{"OverLimit", QString(4096, u'x'), QString(), OpenMeta::ErrorDomain, -5, QStringLiteral("before")},
        XAttrRow{"UnderLimit", QString(3600, u'x'), QString(), {}, 0, QString(3600, u'x')},
        XAttrRow{"EmptyPath", QStringLiteral("after"), QStringLiteral(""), OpenMeta::ErrorDomain, -1,
                 QStringLiteral("before")},
        XAttrRow{"MissingFile", QStringLiteral("after"), QStringLiteral("nope/none"), OpenMeta::PosixErrorDomain,
                 ENOENT, QStringLiteral("before")}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(OpenMeta, LimitIsOnTheSerialisedSize)
{
    // A string of 4090 characters is under 4096 bytes itself but not once serialised.
    EXPECT_GT(OpenMeta::binaryPropertyList(QString(4090, u'x')).size(), OpenMeta::MaxValueBytes);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    ASSERT_TRUE(writeFile(file, "x"));
    const OpenMetaResult result = OpenMeta::setXAttr(QString(4090, u'x'), QStringLiteral("probe"), file);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->code, -5);
    EXPECT_TRUE(getfattr(file).isEmpty());
}

TEST(OpenMeta, ValuesAreBinaryPropertyLists)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_FALSE(OpenMeta::setXAttrMetaData(QStringList{"a"}, OpenMeta::UserTagsKey, file).has_value());
    const ToolRun run = runTool(QStringLiteral("getfattr"),
                                {"--only-values", "-n", "user.com.apple.metadata:kMDItemOMUserTags", file});
    EXPECT_TRUE(run.out.startsWith(QStringLiteral("bplist00"))) << run.out.toStdString();
}

TEST(OpenMeta, SymbolicLinkIsNotFollowed)
{
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("target.pdf"));
    const QString link = dir.filePath(QStringLiteral("link.pdf"));
    ASSERT_TRUE(writeFile(target, "x"));
    ASSERT_TRUE(QFile::link(target, link));

    // Linux keeps user attributes off symbolic links, so writing on the link itself
    // fails; what matters is that the target is not tagged in its place.
    const OpenMetaResult result = OpenMeta::setUserTags(QStringList{"work"}, link);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->domain, OpenMeta::PosixErrorDomain);
    EXPECT_TRUE(getfattr(target).isEmpty());
    EXPECT_TRUE(OpenMeta::getUserTags(target).isEmpty());
}

TEST(OpenMeta, AddUserTagsMergesWithPresent)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_FALSE(OpenMeta::setUserTags(QStringList{"Work", "Home"}, file).has_value());
    ASSERT_FALSE(OpenMeta::addUserTags(QStringList{"home", "Travel"}, file).has_value());
    EXPECT_EQ(OpenMeta::getUserTags(file), (QStringList{"Work", "Home", "Travel"}));
    EXPECT_EQ(xdgTags(file), QStringLiteral("Work,Home,Travel"));
}

TEST(OpenMeta, DecomposedTagStoredComposedAsUtf8)
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("f"));
    ASSERT_TRUE(writeFile(file, "x"));
    ASSERT_FALSE(OpenMeta::setUserTags(QStringList{Combining}, file).has_value());
    const ToolRun run = runTool(QStringLiteral("getfattr"), {"--only-values", "-n", "user.xdg.tags", file});
    EXPECT_EQ(run.out.toUtf8(), Precomposed.toUtf8());
}

TEST(OpenMeta, KeysAndErrnoText)
{
    EXPECT_EQ(OpenMeta::spotlightKey(QStringLiteral("kMDItemOMUserTagTime")),
              QStringLiteral("com.apple.metadata:kMDItemOMUserTagTime"));
    EXPECT_TRUE(OpenMeta::errnoString(ENOENT).startsWith(QStringLiteral("errno error: 2, ")));
    EXPECT_TRUE(OpenMeta::validateAsArrayOfStrings(QVariantList{}));
    EXPECT_FALSE(OpenMeta::validateAsArrayOfStrings(QVariant()));
}

} // namespace
