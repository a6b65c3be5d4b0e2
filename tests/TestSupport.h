#pragma once
// Shared helpers for the test suite.

#include <QString>
#include <gtest/gtest.h>

namespace TestSupport {

// ../shared/corpora/dev-fixtures beside the project, or the empty string when the shared
// folder is absent (tests that need it skip).
QString fixturesDir();
// tests/data of the project.
QString dataDir();
// The built executable.
QString tarnwickBinary();

} // namespace TestSupport

#define REQUIRE_FIXTURES()                                                                  \
    do {                                                                                    \
        if (TestSupport::fixturesDir().isEmpty())                                           \
            GTEST_SKIP() << "../shared/corpora/dev-fixtures is absent";                     \
    } while (0)
