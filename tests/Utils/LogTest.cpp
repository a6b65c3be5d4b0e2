#include "Utils/Log.h"

#include <gtest/gtest.h>

TEST(Log, LinesStaySingleAndAreCaptured)
{
    Log::captureStart();
    TLog(QStringLiteral("first\nsecond\r\nthird"));
    const QStringList lines = Log::captureTake();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_FALSE(lines[0].contains(QLatin1Char('\n')));
    EXPECT_TRUE(lines[0].startsWith(QLatin1String("first")));
    EXPECT_TRUE(lines[0].endsWith(QLatin1String("third")));
}
