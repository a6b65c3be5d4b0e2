#include "MimeTestSupport.h"

#include "TestSupport.h"

#include "mimeextract/logger.h"
#include "mimeextract/mime.h"
#include "mimeextract/ripmime-api.h"

#include <algorithm>
#include <sys/stat.h>

using namespace MimeTest;

namespace {

class RipmimeApi : public Engine {};

TEST_F(RipmimeApi, MissingPathsAreRefusedWithTheirLogLines)
{
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    LOGGER_set_output_mode(LOGGER_MODE_LOGFILE);
    EXPECT_EQ(RIPMIME_decode(&api, nullptr, out().c_str()), 1);
    EXPECT_EQ(RIPMIME_decode(&api, "x.eml", nullptr), 1);
    EXPECT_NE(log().find("RIPMIME_decode: mailpack filename is NULL"), std::string::npos);
    EXPECT_NE(log().find("RIPMIME_decode: output directory is NULL"), std::string::npos);
    EXPECT_EQ(log().rfind("mimeextract/ripmime-api.cpp:", 0), 0u);
}

TEST_F(RipmimeApi, TheFolderIsMadePrivateAndATrailingSlashIgnored)
{
    writeFile(root() + "/m.eml", "Subject: s\n\nbody\n");
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    const std::string made = root() + "/made";
    EXPECT_EQ(RIPMIME_decode(&api, (root() + "/m.eml").c_str(), (made + "/").c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(made.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(readFile(made + "/textfile0"), "body\n");
    EXPECT_STREQ(api.outputdir, made.c_str());
    // An existing folder is used as it is.
    EXPECT_EQ(RIPMIME_decode(&api, (root() + "/m.eml").c_str(), made.c_str()), 0);
    // A folder that cannot be made.
    EXPECT_EQ(RIPMIME_decode(&api, (root() + "/m.eml").c_str(), (root() + "/m.eml/sub").c_str()), -1);
}

TEST_F(RipmimeApi, AnUnreadableMailpackIsLogged)
{
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    LOGGER_set_output_mode(LOGGER_MODE_LOGFILE);
    EXPECT_EQ(RIPMIME_decode(&api, (root() + "/absent.eml").c_str(), out().c_str()), 0);
    EXPECT_EQ(RIPMIME_get_unpack_result(), MIME_ERROR_FILE);
    EXPECT_NE(log().find("MIME_unpack_single:ERROR: Cannot open file"), std::string::npos);
}

TEST_F(RipmimeApi, TheExtractionRouteListsTheFilesItWrote)
{
    // As attachment saving runs it: the message file inside the folder, equal names
    // overwriting each other, a file already there left alone and not listed.
    writeFile(out() + "/older.txt", "older");
    writeFile(out() + "/tempRipMime.dat",
              "Subject: r\nContent-Type: multipart/mixed; boundary=b\n\n--b\nContent-Type: text/plain; name=a.txt\n\n"
              "one\n--b\nContent-Type: text/plain; name=a.txt\n\ntwo\n--b\nContent-Type: text/plain\n\nthree\n--b--\n");
    std::vector<std::string> written;
    EXPECT_EQ(RIPMIME_extract((out() + "/tempRipMime.dat").c_str(), out().c_str(), written), 0);
    EXPECT_EQ(written, (std::vector<std::string>{out() + "/a.txt", out() + "/textfile0", out() + "/textfile1"}));
    EXPECT_EQ(readFile(out() + "/a.txt"), "two\n");
    EXPECT_EQ(readFile(out() + "/older.txt"), "older");
}

TEST_F(RipmimeApi, TheExtractionRouteOnTheTnefSample)
{
    REQUIRE_FIXTURES();
    writeFile(out() + "/tempRipMime.dat", readFile(fixture("tnef/ukr.eml")));
    std::vector<std::string> written;
    EXPECT_EQ(RIPMIME_extract((out() + "/tempRipMime.dat").c_str(), out().c_str(), written), 0);
    EXPECT_NE(std::find(written.begin(), written.end(), out() + "/winmail.dat"), written.end());
    EXPECT_EQ(readFile(out() + "/textfile1").substr(0, 6), "\xdb\xcf\xd3\xd4\xc9\xca");
}

} // namespace
