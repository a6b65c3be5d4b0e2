#include "Utils/LenientDate.h"

#include <gtest/gtest.h>

namespace {

struct DateRow {
    const char *text;
    const char *expectedUtc; // ISO 8601, or nullptr when no date can be read
};

class LenientDateRows : public ::testing::TestWithParam<DateRow> {};

TEST_P(LenientDateRows, ReadsTheInstant)
{
    const DateRow row = GetParam();
    const QDateTime parsed = LenientDate::parse(QString::fromUtf8(row.text));
    if (!row.expectedUtc) {
        EXPECT_FALSE(parsed.isValid()) << row.text << " -> " << parsed.toString(Qt::ISODate).toStdString();
        return;
    }
    ASSERT_TRUE(parsed.isValid()) << row.text;
    EXPECT_EQ(parsed.toUTC().toString(Qt::ISODate).toStdString(), row.expectedUtc) << row.text;
}

INSTANTIATE_TEST_SUITE_P(
    HeaderTexts, LenientDateRows,
    ::testing::Values(
        DateRow{"Sat, 18 Jan 2014 08:16:20 +0000", "2014-01-18T08:16:20Z"},
        DateRow{"18 Jan 2014 09:16:20 +0100", "2014-01-18T08:16:20Z"},
        DateRow{"Fri, 17 Jan 2014 23:16:20 -0900", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 03:16:20 EST", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 01:16:20 PDT", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 08:16:20 GMT", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 08:16:20 UT", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 13:46:20 +05:30", "2014-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 08:16 +0000", "2014-01-18T08:16:00Z"},
        DateRow{"Sat, 18 Jan 14 08:16:20 +0000", "2014-01-18T08:16:20Z"},
        DateRow{"Mon, 18 Jan 99 08:16:20 +0000", "1999-01-18T08:16:20Z"},
        DateRow{"Sat, 18 Jan 2014 08:16:20 +0000 (UTC)", "2014-01-18T08:16:20Z"},
        DateRow{"  Sat,  18   Jan 2014\t08:16:20   +0000  ", "2014-01-18T08:16:20Z"},
        DateRow{"Saturday, 18 January 2014 08:16:20 +0000", "2014-01-18T08:16:20Z"},
        DateRow{"Sat Jan 18 08:16:20 2014", "2014-01-18T08:16:20Z"},
        DateRow{"18-Jan-2014 08:16:20 +0000", "2014-01-18T08:16:20Z"},
        DateRow{"2014-01-18T08:16:20Z", "2014-01-18T08:16:20Z"},
        DateRow{"2014-01-18 10:16:20+02:00", "2014-01-18T08:16:20Z"},
        DateRow{"Thu, 01 Jan 1970 00:00:00 +0000", "1970-01-01T00:00:00Z"},
        DateRow{"Tue, 31 Dec 2013 23:59:60 +0000", "2013-12-31T23:59:59Z"},
        DateRow{"", nullptr},
        DateRow{"not a date at all", nullptr},
        DateRow{"Sat, 31 Feb 2014 08:16:20 +0000", nullptr},
        DateRow{"Sat, 18 Foo 2014 08:16:20 +0000", nullptr},
        DateRow{"Sat, 18 Jan 2014 25:16:20 +0000", nullptr}));

} // namespace
