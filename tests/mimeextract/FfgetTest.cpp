#include "MimeTestSupport.h"

#include "mimeextract/ffget.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace {

class Ffget : public MimeTest::Engine {};

// Every line of text as the reader cuts it, read with blocks of the given size.
std::vector<std::string> lines(const std::string &text, int blockSize, bool watch, int size = 1024)
{
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    auto f = std::make_unique<FFGET_FILE>();
    FFGET_setstream(f.get(), in);
    FFGET_set_block_size(blockSize);
    FFGET_set_watch_SDL(watch);
    std::vector<std::string> out;
    std::vector<char> line(size_t(size) + 1);
    while (FFGET_fgets(line.data(), size, f.get()))
        out.emplace_back(line.data(), f->last_length);
    FFGET_set_watch_SDL(0);
    fclose(in);
    return out;
}

const int kBlockSizes[] = {1, 2, 3, 5, 8191};

TEST_F(Ffget, LineEndsAreCutTheSameWhateverTheBlockEdges)
{
    struct Row {
        const char *text;
        bool watch;
        std::vector<std::string> lines;
    };
    const Row rows[] = {
        {"a\nb\n", false, {"a\n", "b\n"}},
        {"a\r\nb", false, {"a\r\n", "b"}},
        {"a\n\r\nb", false, {"a\n\r", "\n", "b"}},
        {"a\rb\n", false, {"a\rb\n"}},
        {"a\r\nb\r\n\r\nc", true, {"a\r\n", "b\r\n", "\r\n", "c"}},
        {"a\n\nb", true, {"a\n", "\n", "b"}},
        {"", false, {}},
    };
    for (const Row &row : rows) {
        for (int size : kBlockSizes) {
            FFGET_reset();
            EXPECT_EQ(lines(row.text, size, row.watch), row.lines) << row.text << " block " << size;
        }
    }
}

TEST_F(Ffget, ALoneCrTurnsCrModeOnAndADoubleCrIsNoted)
{
    for (int size : kBlockSizes) {
        FFGET_reset();
        EXPECT_EQ(lines("a\rb\r\nc", size, true), (std::vector<std::string>{"a\r", "b\r", "\n", "c"})) << size;
        EXPECT_EQ(FFGET_get_crmode(), 1);
        FFGET_reset();
        EXPECT_EQ(lines("a\r\rb", size, true), (std::vector<std::string>{"a\r\r", "b"})) << size;
        EXPECT_EQ(FFGET_get_doubleCR(), 1);
    }
}

TEST_F(Ffget, LongLinesComeInPieces)
{
    const std::string text = std::string(10, 'x') + "\n";
    EXPECT_EQ(lines(text, 8191, false, 5), (std::vector<std::string>{"xxxx", "xxxx", "xx\n"}));
}

TEST_F(Ffget, AnEmptyLineAfterALineEndIsBlank)
{
    const std::string text = "Subject: x\r\n\r\nbody\r\n";
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    auto f = std::make_unique<FFGET_FILE>();
    FFGET_setstream(f.get(), in);
    FFGET_set_watch_SDL(1);
    char line[100];
    std::vector<int> blanks;
    while (FFGET_fgets(line, sizeof line, f.get()))
        blanks.push_back(f->trueblank);
    EXPECT_EQ(blanks, (std::vector<int>{0, 1, 0}));
    fclose(in);
}

TEST_F(Ffget, NulBytesAreReadAsSpacesUnlessAllowed)
{
    const std::string text("a\0b\n", 4);
    EXPECT_EQ(lines(text, 8191, false), (std::vector<std::string>{"a b\n"}));
    FFGET_set_allow_nul(1);
    EXPECT_EQ(lines(text, 8191, false), (std::vector<std::string>{text}));
}

TEST_F(Ffget, RawPiecesEndAfterARunOfLineEnds)
{
    const std::string text = "ab\r\n\r\ncd\nef";
    for (int size : kBlockSizes) {
        FFGET_reset();
        FFGET_set_block_size(size);
        FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        auto f = std::make_unique<FFGET_FILE>();
        FFGET_setstream(f.get(), in);
        std::vector<std::string> pieces;
        char buffer[64];
        int n;
        while ((n = FFGET_raw(f.get(), buffer, sizeof buffer)) > 0)
            pieces.emplace_back(buffer, size_t(n));
        EXPECT_EQ(pieces, (std::vector<std::string>{"ab\r\n\r\n", "cd\n", "ef"})) << size;
        fclose(in);
    }
}

TEST_F(Ffget, OneByteCanBePushedBackAtABlockEdge)
{
    const std::string text = "xy";
    FFGET_set_block_size(1);
    FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
    auto f = std::make_unique<FFGET_FILE>();
    FFGET_setstream(f.get(), in);
    EXPECT_EQ(FFGET_fgetc(f.get()), 'x');
    EXPECT_EQ(FFGET_fgetc(f.get()), 'y');
    EXPECT_EQ(FFGET_ungetc(f.get(), 'y'), 'y');
    EXPECT_EQ(FFGET_fgetc(f.get()), 'y');
    EXPECT_EQ(FFGET_fgetc(f.get()), EOF);
    EXPECT_EQ(FFGET_feof(f.get()), 1);
    fclose(in);
}

} // namespace
