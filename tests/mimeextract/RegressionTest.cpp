#include "MimeTestSupport.h"

#include "mimeextract/mime.h"

using namespace MimeTest;

namespace {

// Inputs that found a fault, each kept as the test that would have caught it.
class Regression : public Engine {};

// filename*=UTF-8''... (RFC 2231 without a section number) was kept with its charset and
// percent escapes: the "*" before "=" was not seen as the extended form.
TEST_F(Regression, SampleQuarterlyReportNamesItsRfc2231Attachment)
{
    const auto files = unpack(readFile(TARNWICK_SOURCE_DIR "/samples/mailbox/2014-quarterly-report.eml"));
    EXPECT_EQ(files.at("Bericht \xc3\xbc" "ber Q4.txt"), "Bericht \xc3\xbc" "ber Q4\n");
    EXPECT_EQ(files.at("figures.csv"), "quarter,revenue\nQ4,1200\n\n");
}

// A part whose name an earlier part of the same message already had was saved as a
// nameless textfile: the name list's "already seen" check also kept the name away.
TEST_F(Regression, SecondPartNamedLikeTheFirst)
{
    const std::string message = "Subject: x\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                                "Content-Type: text/plain; name=\"same.txt\"\n\none\n--b\n"
                                "Content-Type: text/plain; name=\"same.txt\"\n\ntwo\n--b--\n";
    const auto files = unpack(message, [] { MIME_set_uniquenames(1); });
    EXPECT_EQ(files.at("same.txt"), "one\n");
    EXPECT_EQ(files.at("same_1.txt"), "two\n");
}

// A header block past the size cap still took in a short line that fitted the room left
// by the long line before it, out of order with the lines dropped.
TEST_F(Regression, HeaderBlockOverTheCapThenAShortContentType)
{
    std::string message = "Subject: big\n";
    while (message.size() < 2 * 1024 * 1024)
        message += "X-Filler: " + std::string(1000, 'f') + "\n";
    message += "Content-Type: text/plain; name=late.txt\n\nbody\n";
    const auto files = unpack(message);
    EXPECT_EQ(files.count("late.txt"), 0u);
}

} // namespace
