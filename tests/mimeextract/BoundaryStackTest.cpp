#include "MimeTestSupport.h"

#include "mimeextract/boundary-stack.h"

#include <cstring>

namespace {

class BoundaryStack : public MimeTest::Engine {};

int matches(const char *line) { return BS_cmp(line, strlen(line)); }

TEST_F(BoundaryStack, LinesThatCloseAPart)
{
    struct Row {
        const char *line;
        int boundary;
    };
    const Row rows[] = {
        {"--b1\r\n", 1},          {"--b1--\r\n", 1},   {"b1\n", 1},          {"---b1\n", 1},
        {"----b1\n", 0},          {"--b1 more words\n", 0}, {"--b2\n", 0},   {"--b\n", 0},
        {"--b1x\n", 0},           {"", 0},             {"--B1\n", 0},
    };
    BS_push("b1");
    for (const Row &row : rows)
        EXPECT_EQ(matches(row.line), row.boundary) << row.line;
}

TEST_F(BoundaryStack, AnOuterBoundaryEndsTheInnerMultiparts)
{
    BS_push("outer");
    BS_push("inner");
    EXPECT_EQ(matches("--inner\n"), 1);
    EXPECT_EQ(BS_count(), 2);
    EXPECT_EQ(matches("--outer\n"), 1);
    EXPECT_EQ(BS_count(), 1);
    EXPECT_STREQ(BS_top(), "outer");
    EXPECT_EQ(matches("--inner\n"), 0);
}

TEST_F(BoundaryStack, AnEmptyBoundaryMatchesEveryDashedLine)
{
    BS_push("");
    EXPECT_EQ(matches("--anything at all\n"), 1);
    EXPECT_EQ(matches("-x\n"), 0);
}

TEST_F(BoundaryStack, WithoutBoundariesNothingMatches)
{
    EXPECT_EQ(matches("--b1\n"), 0);
    EXPECT_EQ(BS_cmp(nullptr, 0), 0);
}

TEST_F(BoundaryStack, AWiderShiftWindowFindsIndentedBoundaries)
{
    BS_push("b1");
    EXPECT_EQ(matches("    b1\n"), 0);
    EXPECT_EQ(BS_set_boundary_detect_limit(8), 0);
    EXPECT_EQ(matches("    b1\n"), 1);
    EXPECT_EQ(BS_set_boundary_detect_limit(0), -1);
    EXPECT_EQ(BS_set_boundary_detect_limit(1024), -1);
}

TEST_F(BoundaryStack, PushesBeyondTheLimitsAreIgnored)
{
    BS_set_hold_limit(3);
    for (int i = 0; i < 5; ++i)
        BS_push("b");
    EXPECT_EQ(BS_count(), 3);
    BS_init();
    for (int i = 0; i < 3 * BS_MAX_ENTRIES; ++i)
        BS_push("endless");
    EXPECT_EQ(BS_count(), BS_MAX_ENTRIES);
    BS_clear();
    EXPECT_EQ(BS_count(), 0);
    EXPECT_EQ(BS_top(), nullptr);
}

} // namespace
