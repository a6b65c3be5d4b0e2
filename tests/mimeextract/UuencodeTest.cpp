#include "MimeTestSupport.h"

#include "TestSupport.h"

#include "mimeextract/uuencode.h"

using namespace MimeTest;

namespace {

class Uuencode : public Engine {
protected:
    int decode(const std::string &text, char *name = nullptr, size_t size = 0)
    {
        writeFile(out() + "/in.txt", text);
        return UUENCODE_decode_uu(nullptr, out().c_str(), "in.txt", name, size, 1);
    }
};

// Encodes data as uuencoded lines of up to 45 bytes, with "`" for zero.
std::string uuencode(const std::string &name, const std::string &data, const char *mode = "644")
{
    std::string text = std::string("begin ") + mode + " " + name + "\n";
    for (size_t i = 0; i < data.size(); i += 45) {
        std::string chunk = data.substr(i, 45);
        text += char(32 + chunk.size());
        chunk.append((3 - chunk.size() % 3) % 3, '\0');
        for (size_t j = 0; j < chunk.size(); j += 3) {
            const unsigned a = uint8_t(chunk[j]), b = uint8_t(chunk[j + 1]), c = uint8_t(chunk[j + 2]);
            for (unsigned v : {a >> 2, (a & 3) << 4 | b >> 4, (b & 15) << 2 | c >> 6, c & 63})
                text += v ? char(32 + v) : '`';
        }
        text += "\n";
    }
    return text + "`\nend\n";
}

TEST_F(Uuencode, BeginLines)
{
    struct Row {
        const char *line;
        int header;
    };
    const Row rows[] = {
        {"begin 644 a.bin\n", 1}, {"BEGIN 755 name with blanks.txt\r\n", 1}, {"begin 644\n", 1},
        {"begin 999 a.bin\n", 0}, {"begin 0 a.bin\n", 0},                      {"begin: 644 a.bin\n", 0},
        {"begin\n", 0},           {"beginning 644 a\n", 0},                     {"begin x a\n", 0},
    };
    for (const Row &row : rows)
        EXPECT_EQ(UUENCODE_is_uuencode_header(row.line), row.header) << row.line;
    UUENCODE_set_decode(0);
    EXPECT_EQ(UUENCODE_is_uuencode_header("begin 644 a.bin\n"), 0);
}

TEST_F(Uuencode, EveryFileOfAWholeFileIsWritten)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += char(i * 7);
    EXPECT_EQ(decode("intro\n" + uuencode("one.bin", data) + "between\n" + uuencode("two.bin", "second")), 2);
    EXPECT_EQ(readFile(out() + "/one.bin"), data);
    EXPECT_EQ(readFile(out() + "/two.bin"), "second");
}

TEST_F(Uuencode, TheCallersNameWinsAndAnEmptyBufferReceivesTheName)
{
    char given[129] = "chosen.bin";
    EXPECT_EQ(decode(uuencode("inner.bin", "x"), given, sizeof given), 1);
    EXPECT_EQ(readFile(out() + "/chosen.bin"), "x");
    char empty[129] = "";
    EXPECT_EQ(decode(uuencode("told.bin", "y"), empty, sizeof empty), 1);
    EXPECT_STREQ(empty, "told.bin");
}

TEST_F(Uuencode, AMissingEndLineIsAShortFileAndThePartStays)
{
    std::string text = uuencode("cut.bin", std::string(90, 'z'));
    text = text.substr(0, text.find("`\nend"));
    EXPECT_EQ(decode(text), -1);
    EXPECT_EQ(UUENCODE_get_last_error(), UUENCODE_STATUS_SHORT_FILE);
    EXPECT_EQ(readFile(out() + "/cut.bin"), std::string(90, 'z'));
}

TEST_F(Uuencode, ShortAndOverlongLinesStayInsideTheLine)
{
    // "M" announces 45 bytes but the line holds 8 characters: the rest reads as zero.
    EXPECT_EQ(decode("begin 644 pad.bin\nM86)C\n" + std::string(3000, 'M') + "\nend\n"), 1);
    EXPECT_EQ(readFile(out() + "/pad.bin").size(), 4 * 45u); // the long line came in three pieces
    EXPECT_NE(log().find("UUENCODE_decode_uu:WARNING: Excessive length line"), std::string::npos);
}

TEST_F(Uuencode, BeginLineNamesStayInTheFolder)
{
    EXPECT_EQ(decode(uuencode("../../../tmp/escaped.bin", "e")), 1);
    EXPECT_EQ(readFile(out() + "/escaped.bin"), "e");
    EXPECT_EQ(decode(uuencode("..", "dots")), 1);
    EXPECT_EQ(readFile(out() + "/__"), "dots");
}

TEST_F(Uuencode, ThePhotoFixtureDecodesToItsBinary)
{
    REQUIRE_FIXTURES();
    const std::string photo = readFile(fixture("encodings/mimekit/photo.jpg"));
    EXPECT_EQ(decode(readFile(fixture("encodings/mimekit/photo.uu"))), 1);
    EXPECT_EQ(readFile(out() + "/photo.jpg"), photo);
}

TEST_F(Uuencode, FilesAreFoundInTheirFirstTwentyLines)
{
    writeFile(out() + "/late.txt", std::string(25, '\n') + "begin 644 x\n");
    writeFile(out() + "/early.txt", "hello\nbegin 644 x\n");
    EXPECT_EQ(UUENCODE_is_file_uuencoded(out().c_str(), "late.txt"), 0);
    EXPECT_EQ(UUENCODE_is_file_uuencoded(out().c_str(), "early.txt"), 1);
    EXPECT_EQ(UUENCODE_is_file_uuencoded(out().c_str(), "missing.txt"), -1);
}

} // namespace
