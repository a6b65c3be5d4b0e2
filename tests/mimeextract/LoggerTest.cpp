#include "MimeTestSupport.h"

#include "mimeextract/logger.h"

using namespace MimeTest;

namespace {

class Logger : public Engine {};

TEST_F(Logger, LinesEndOnceAndPercentSignsSurvive)
{
    LOGGER_log("plain");
    LOGGER_log("ends already\n");
    LOGGER_log("%s", "100% sure %d");
    EXPECT_EQ(log(), "plain\nends already\n100% sure %d\n");
}

TEST_F(Logger, WrappingBreaksBeforeLongWordsAndInsideOverlongOnes)
{
    LOGGER_set_wrap(1);
    LOGGER_set_wraplength(10);
    LOGGER_log("alpha beta gamma");
    LOGGER_log("abcdefghijklmno");
    EXPECT_EQ(log(), "alpha beta\ngamma\nabcdefghij\nklmno\n");
}

TEST_F(Logger, ModesAndTheLogFile)
{
    const std::string path = root() + "/engine.log";
    ASSERT_EQ(LOGGER_set_logfile(path.c_str()), 0);
    LOGGER_set_output_file(nullptr);
    LOGGER_log("to the file");
    LOGGER_set_output_mode(LOGGER_MODE_NONE);
    LOGGER_log("nowhere");
    LOGGER_close_logfile();
    EXPECT_EQ(readFile(path), "to the file\n");
    EXPECT_EQ(LOGGER_set_logfile((root() + "/no/such/folder/x.log").c_str()), -1);
}

} // namespace
