#include "MimeTestSupport.h"

#include "mimeextract/filename-filters.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace MimeTest;

namespace {

class FilenameFilters : public Engine {};

TEST_F(FilenameFilters, HeaderNamesBecomeOneComponent)
{
    struct Row {
        const char *name;
        int paranoid;
        const char *expected;
    };
    const Row rows[] = {
        {"..\\..\\evil.exe", 0, "evil.exe"},
        {"a/b/c.txt", 0, "c.txt"},
        {"photo.jpg?x=1", 0, "photo.jpg"},
        {"?query", 0, "-query"},
        {"=?utf-8?Q?x?=", 0, "=?utf-8?Q?x?="},
        {"..", 0, "__"},
        {".", 0, "_"},
        {"\"quoted name.txt\"", 0, "quoted name.txt"},
        {"\"\"", 0, "\"\""},
        {"dir\\\"x", 0, "\"x"},
        {"my file \xc3\xa9.txt", 1, "my_file___.txt"},
        {"ok-name_1.PDF", 1, "ok_name_1.PDF"},
        {"/etc/passwd", 0, "passwd"},
        {"tab\tname", 1, "tab_name"},
    };
    for (const Row &row : rows) {
        FNFILTER_set_paranoid(row.paranoid);
        char buffer[129];
        snprintf(buffer, sizeof buffer, "%s", row.name);
        FNFILTER_filter(buffer, sizeof buffer);
        EXPECT_STREQ(buffer, row.expected) << row.name;
    }
}

TEST_F(FilenameFilters, MacModeKeepsSlashesAsDashes)
{
    FNFILTER_set_mac(1);
    char buffer[129] = "Picture 1/2.jpg";
    FNFILTER_filter(buffer, sizeof buffer);
    EXPECT_STREQ(buffer, "Picture 1-2.jpg");
}

TEST_F(FilenameFilters, LongNamesAreCutInsideTheBuffer)
{
    char buffer[16];
    memset(buffer, 'a', sizeof buffer); // not even terminated
    FNFILTER_filter(buffer, sizeof buffer);
    EXPECT_EQ(strlen(buffer), sizeof buffer - 1);
}

TEST_F(FilenameFilters, ConfineKeepsOneHarmlessComponent)
{
    struct Row {
        const char *name;
        int ok;
        const char *expected;
    };
    const Row rows[] = {
        {"../../x", 0, "x"},     {"/abs/dir/", 0, "dir"}, {"...", 0, "___"}, {"..", 0, "__"},
        {"a\\b", 0, "b"},        {"", -1, ""},           {"/", -1, ""},     {"\\\\", -1, ""},
        {"plain.txt", 0, "plain.txt"},
    };
    for (const Row &row : rows) {
        char buffer[64];
        snprintf(buffer, sizeof buffer, "%s", row.name);
        EXPECT_EQ(FNFILTER_confine(buffer, sizeof buffer), row.ok) << row.name;
        EXPECT_STREQ(buffer, row.expected) << row.name;
        EXPECT_EQ(FNFILTER_is_confined(buffer), row.ok == 0) << row.name;
    }
}

TEST_F(FilenameFilters, OutputRefusesLinksAndNamesThatLeave)
{
    const std::string outside = root() + "/outside.txt";
    writeFile(outside, "keep");
    ASSERT_EQ(symlink("../outside.txt", (out() + "/evil").c_str()), 0);

    errno = 0;
    EXPECT_EQ(FNFILTER_fopen_output(out().c_str(), "evil", 0600), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(FNFILTER_fopen_input(out().c_str(), "evil"), nullptr);
    for (const char *name : {"../outside.txt", "..", ".", "", "a/b"})
        EXPECT_EQ(FNFILTER_fopen_output(out().c_str(), name, 0600), nullptr) << name;
    EXPECT_EQ(readFile(outside), "keep");
}

TEST_F(FilenameFilters, RewritingAHardLinkedNameLeavesTheOtherName)
{
    writeFile(out() + "/a", "old");
    ASSERT_EQ(link((out() + "/a").c_str(), (out() + "/b").c_str()), 0);
    FILE *f = FNFILTER_fopen_output(out().c_str(), "a", 0600);
    ASSERT_NE(f, nullptr);
    fputs("new", f);
    fclose(f);
    EXPECT_EQ(readFile(out() + "/a"), "new");
    EXPECT_EQ(readFile(out() + "/b"), "old");
}

TEST_F(FilenameFilters, AFifoInTheFolderIsRefusedWithoutBlocking)
{
    ASSERT_EQ(mkfifo((out() + "/pipe").c_str(), 0600), 0);
    EXPECT_EQ(FNFILTER_fopen_output(out().c_str(), "pipe", 0600), nullptr);
    EXPECT_EQ(FNFILTER_fopen_input(out().c_str(), "pipe"), nullptr);
}

TEST_F(FilenameFilters, LinkRenameAndRemoveStayInTheFolder)
{
    writeFile(out() + "/a", "x");
    EXPECT_EQ(FNFILTER_link(out().c_str(), "a", "b"), 0);
    EXPECT_EQ(FNFILTER_link(out().c_str(), "a", "../escaped"), -1);
    EXPECT_EQ(FNFILTER_rename(out().c_str(), "b", "c"), 0);
    EXPECT_EQ(FNFILTER_rename(out().c_str(), "c", "../escaped"), -1);
    EXPECT_EQ(FNFILTER_remove(out().c_str(), "../out"), -1);
    EXPECT_EQ(FNFILTER_remove(out().c_str(), "c"), 0);
    EXPECT_EQ(folder(out()).size(), 1u);
    EXPECT_FALSE(FNFILTER_exists(root().c_str(), "escaped"));
}

} // namespace
