#include "MimeTestSupport.h"

#include "TestSupport.h"

#include "mimeextract/tnef/tnef.h"

#include <algorithm>
#include <cstdint>
#include <set>

using namespace MimeTest;

namespace {

// A TNEF stream under construction.
struct Stream {
    std::string bytes;
    explicit Stream(uint32_t signature = TNEF_SIGNATURE) { u32(signature), u16(1); }
    void u16(uint32_t v) { bytes += char(v & 0xFF), bytes += char(v >> 8 & 0xFF); }
    void u32(uint32_t v) { u16(v & 0xFFFF), u16(v >> 16); }
    Stream &attr(uint32_t id, const std::string &data)
    {
        bytes += char(2);
        u32(id), u32(uint32_t(data.size()));
        bytes += data;
        u16(0);
        return *this;
    }
};

std::string le32(uint32_t v)
{
    return {char(v & 0xFF), char(v >> 8 & 0xFF), char(v >> 16 & 0xFF), char(v >> 24)};
}

// A MAPI property block with one variable-length property.
std::string mapiBlock(uint32_t tag, const std::string &value)
{
    std::string padded = value + std::string((4 - value.size() % 4) % 4, '\0');
    return le32(1) + le32(tag) + le32(1) + le32(uint32_t(value.size())) + padded;
}

const uint32_t kRendData = 0x00069002, kTitle = 0x00018010, kData = 0x0006800F, kProps = 0x00069003,
               kAttachment = 0x00069005;

std::set<std::string> g_reported;

int remember(char *name, char *)
{
    g_reported.insert(name);
    return 0;
}

class Tnef : public Engine {
protected:
    void SetUp() override
    {
        Engine::SetUp();
        TNEF_set_path(out().c_str());
        TNEF_set_verbosity(1);
        TNEF_set_filename_report_fn(remember);
        g_reported.clear();
    }
    void decode(const Stream &s)
    {
        TNEF_decode_tnef(reinterpret_cast<const unsigned char *>(s.bytes.data()), s.bytes.size());
    }
};

TEST_F(Tnef, AnAttachmentIsSavedOnceWhicheverOfTitleAndDataComesFirst)
{
    Stream titleFirst;
    titleFirst.attr(kRendData, "r").attr(kTitle, std::string("a.txt\0", 6)).attr(kData, "first");
    Stream dataFirst;
    dataFirst.attr(kRendData, "r").attr(kData, "second").attr(kTitle, "b.txt");
    decode(titleFirst);
    decode(dataFirst);
    EXPECT_EQ(folder(out()), (std::map<std::string, std::string>{{"a.txt", "first"}, {"b.txt", "second"}}));
    EXPECT_EQ(g_reported, (std::set<std::string>{"a.txt", "b.txt"}));
}

TEST_F(Tnef, ANewAttachmentForgetsThePreviousTitleAndData)
{
    Stream s;
    s.attr(kRendData, "r").attr(kTitle, "one.txt").attr(kRendData, "r").attr(kData, "orphan");
    decode(s);
    EXPECT_TRUE(folder(out()).empty());
}

TEST_F(Tnef, AWrongSignatureIsStillWalked)
{
    Stream s(0x12345678);
    s.attr(kTitle, "kept.txt").attr(kData, "x");
    decode(s);
    EXPECT_EQ(readFile(out() + "/kept.txt"), "x");
}

TEST_F(Tnef, CompressedRtfBodiesAreNumberedForTheProcess)
{
    Stream s;
    s.attr(kProps, mapiBlock(0x10090102, "LZFu-rtf"));
    decode(s);
    decode(s);
    EXPECT_EQ(readFile(out() + "/XAM_0.rtf"), "LZFu-rtf");
    EXPECT_EQ(readFile(out() + "/XAM_1.rtf"), "LZFu-rtf");
    TNEF_init(); // settings only: the numbering goes on
    TNEF_set_path(out().c_str());
    decode(s);
    EXPECT_EQ(readFile(out() + "/XAM_2.rtf"), "LZFu-rtf");
}

TEST_F(Tnef, TheLongFileNameOfTheAttachmentPropertiesNamesTheFile)
{
    std::u16string wide = u"r\u00e9sum\u00e9 2024.txt";
    std::string utf16(reinterpret_cast<const char *>(wide.data()), wide.size() * 2);
    Stream s;
    s.attr(kRendData, "r").attr(kTitle, "RSUM~1.TXT").attr(kData, "cv");
    s.attr(kAttachment, mapiBlock(0x3707001F, utf16 + std::string(2, '\0')));
    decode(s);
    EXPECT_EQ(folder(out()), (std::map<std::string, std::string>{{"r\xc3\xa9sum\xc3\xa9 2024.txt", "cv"}}));
}

TEST_F(Tnef, TitlesThatTryToLeaveTheFolderStayInIt)
{
    struct Row {
        const char *title, *saved;
    };
    const Row rows[] = {{"../../evil.txt", "evil.txt"}, {"C:\\Windows\\evil.dll", "evil.dll"},
                        {"..", "__"},                   {"/", "untitled-attachment"},
                        {"/etc/passwd", "passwd"}};
    for (const Row &row : rows) {
        Stream s;
        s.attr(kTitle, row.title).attr(kData, row.title);
        decode(s);
        EXPECT_EQ(readFile(out() + "/" + row.saved), row.title) << row.title;
    }
    EXPECT_EQ(folder(out()).size(), std::size(rows));
    EXPECT_EQ(folder(root()).size(), 0u); // nothing beside the output folder
}

TEST_F(Tnef, ALengthPastTheEndStopsDecodingWithoutReadingIt)
{
    Stream s;
    s.attr(kTitle, "t.txt");
    s.bytes += char(2);
    s.u32(kData);
    s.u32(0x7FFFFFF0);
    s.bytes += "short";
    decode(s);
    EXPECT_TRUE(folder(out()).empty());
    Stream mapi;
    mapi.attr(kProps, le32(0xFFFFFFFF) + le32(0x10090102) + le32(1) + le32(0xFFFFFFF0));
    decode(mapi);
    EXPECT_TRUE(folder(out()).empty());
}

TEST_F(Tnef, EveryTruncationOfASampleEndsCleanly)
{
    REQUIRE_FIXTURES();
    const std::string panic = readFile(fixture("tnef/panic.tnef"));
    TNEF_set_verbosity(0);
    for (size_t cut = 0; cut < panic.size(); cut += 97)
        TNEF_decode_tnef(reinterpret_cast<const unsigned char *>(panic.data()), cut);
    SUCCEED();
}

TEST_F(Tnef, TheSamplesGiveTheirNamedAttachments)
{
    REQUIRE_FIXTURES();
    struct Row {
        const char *sample, *name;
        bool textNormalised; // stored with LF line ends in the fixture
    };
    const Row rows[] = {
        {"attachments", "zappa_av1.jpg", false}, {"attachments", "bookmark.htm", true},
        {"panic", "image001.jpg", false},        {"panic", "image002.jpg", false},
        {"panic", "image003.png", false},
    };
    for (const char *sample : {"attachments", "panic"}) {
        writeFile(out() + "/" + sample + ".tnef", readFile(fixture(std::string("tnef/") + sample + ".tnef")));
        EXPECT_EQ(TNEF_main(out().c_str(), (std::string(sample) + ".tnef").c_str()), 0);
    }
    for (const Row &row : rows) {
        const std::string expected = readFile(fixture(std::string("tnef/") + row.sample + "/" + row.name));
        std::string got = readFile(out() + "/" + row.name);
        if (row.textNormalised)
            got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
        EXPECT_EQ(got.size(), expected.size()) << row.name;
        EXPECT_TRUE(got == expected) << row.name;
    }
}

TEST_F(Tnef, DecodingSwitchedOffWritesNothing)
{
    writeFile(out() + "/w.dat", Stream().attr(kTitle, "t").attr(kData, "d").bytes);
    TNEF_set_decode(0);
    EXPECT_EQ(TNEF_main(out().c_str(), "w.dat"), 0);
    EXPECT_EQ(folder(out()).size(), 1u);
    TNEF_set_decode(1);
    EXPECT_EQ(TNEF_main(out().c_str(), "absent.dat"), -1);
}

} // namespace
