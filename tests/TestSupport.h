#pragma once
// Shared helpers for the test suite.

#include <QString>

#include <functional>
#include <gtest/gtest.h>

namespace TestSupport {

// ../shared/corpora/dev-fixtures beside the project, or the empty string when the shared
// folder is absent (tests that need it skip).
QString fixturesDir();
// tests/data of the project.
QString dataDir();
// The built executable.
QString tarnwickBinary();
// The bytes of a file; empty when it cannot be read.
QByteArray readAll(const QString &path);
// Writes `bytes` to `path`, making its folder first; a failure fails the test.
void writeFile(const QString &path, const QByteArray &bytes);
// Runs the event loop until `done` holds or `ms` pass; whether it holds.
bool spinUntil(const std::function<bool()> &done, int ms = 15000);

} // namespace TestSupport

#define REQUIRE_FIXTURES()                                                                  \
    do {                                                                                    \
        if (TestSupport::fixturesDir().isEmpty())                                           \
            GTEST_SKIP() << "../shared/corpora/dev-fixtures is absent";                     \
    } while (0)

// Waits (running the event loop) until `actual` equals `expected`, at most `ms`, then
// checks it as EXPECT_EQ does. QtTest's QTRY_ macros report outside GoogleTest's count.
#define WAIT_EXPECT_TRUE(condition, ms)                                                     \
    do {                                                                                    \
        static_cast<void>(QTest::qWaitFor([&] { return bool(condition); }, (ms)));          \
        EXPECT_TRUE(condition) << #condition;                                               \
    } while (0)

#define WAIT_EXPECT_EQ(actual, expected, ms)                                                \
    do {                                                                                    \
        static_cast<void>(QTest::qWaitFor([&] { return (actual) == (expected); }, (ms)));   \
        EXPECT_EQ(actual, expected);                                                        \
    } while (0)
