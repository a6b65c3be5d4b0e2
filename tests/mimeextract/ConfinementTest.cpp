#include "MimeTestSupport.h"

#include "mimeextract/mime.h"

#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

using namespace MimeTest;

namespace {

// Whatever names a message holds, the engine writes inside its output folder only, and
// never through a symbolic link that is already there.
class Confinement : public Engine {
protected:
    // Every path below root() other than the output folder's own files and the messages.
    std::vector<std::string> strays()
    {
        std::vector<std::string> found;
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root())) {
            const std::string path = entry.path().string();
            const std::string name = entry.path().filename().string();
            if (path == out() || entry.path().parent_path() == out() || name.rfind("message", 0) == 0 ||
                name == "outside.txt")
                continue;
            found.push_back(path);
        }
        return found;
    }
};

std::string multipart(const std::vector<std::string> &headers)
{
    std::string message = "Subject: names\nContent-Type: multipart/mixed; boundary=b\n\n";
    int i = 0;
    for (const std::string &h : headers)
        message += "--b\n" + h + "\n\npart " + std::to_string(i++) + "\n";
    return message + "--b--\n";
}

TEST_F(Confinement, NamesFromHeadersStayInTheFolder)
{
    struct Row {
        const char *header, *saved;
    };
    const Row rows[] = {
        {"Content-Type: text/plain; name=\"../../escape1.txt\"", "escape1.txt"},
        {"Content-Disposition: attachment; filename=\"..\\\\..\\\\escape2.exe\"", "escape2.exe"},
        {"Content-Type: text/plain; name=\"/tmp/escape3.txt\"", "escape3.txt"},
        {"Content-Type: text/plain; name=\"..\"", "__"},
        {"Content-Type: text/plain; name=\"...\"", "___"},
        {"Content-Disposition: attachment; filename*0*=utf-8''%2e%2e%2f%2e%2e%2fescape4.txt", "escape4.txt"},
        {"Content-Type: text/plain; name=\"=?utf-8?B?Li4vLi4vZXNjYXBlNS50eHQ=?=\"", "escape5.txt"},
        {"Content-Type: text/plain; name=\"\xc3\xa9/../../escape6.txt\"", "escape6.txt"},
        {"Content-Location: http://example.org/../escape7.txt", "escape7.txt"},
    };
    std::vector<std::string> headers;
    for (const Row &row : rows)
        headers.push_back(row.header);
    const auto files = unpack(multipart(headers));
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(files.count(rows[i].saved), 1u) << rows[i].header;
    EXPECT_EQ(strays(), std::vector<std::string>{});
}

TEST_F(Confinement, SymbolicLinksInTheFolderAreNeverWrittenThrough)
{
    writeFile(root() + "/outside.txt", "untouched");
    for (const char *name : {"report.pdf", "a.bin", "doubleCR.1"})
        ASSERT_EQ(symlink("../outside.txt", (out() + "/" + name).c_str()), 0);
    const std::string message = multipart({"Content-Type: application/pdf; name=report.pdf",
                                           "Content-Type: text/plain", "Content-Type: text/plain; name=ok.txt"});
    unpack(message);
    unpack("Subject: uu\n\nbegin 644 a.bin\n#86)C\n`\nend\n");
    unpack("Subject: d\r\nX: y\r\rhidden\n");
    EXPECT_EQ(readFile(root() + "/outside.txt"), "untouched");
    struct stat st;
    EXPECT_EQ(lstat((out() + "/report.pdf").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_NE(log().find("MIME_decode_text:ERROR: cannot open"), std::string::npos);
    EXPECT_NE(log().find("UUENCODE_decode_uu:ERROR: Cannot open file"), std::string::npos);
    EXPECT_EQ(readFile(out() + "/doubleCR.2"), "hidden\n"); // the next free name
}

TEST_F(Confinement, WithUniqueNamesALinkIsSteppedAround)
{
    writeFile(root() + "/outside.txt", "untouched");
    ASSERT_EQ(symlink("../outside.txt", (out() + "/report.pdf").c_str()), 0);
    const auto files = unpack(multipart({"Content-Type: application/pdf; name=report.pdf"}),
                              [] { MIME_set_uniquenames(1); });
    EXPECT_EQ(files.at("report_1.pdf"), "part 0\n");
    EXPECT_EQ(readFile(root() + "/outside.txt"), "untouched");
}

TEST_F(Confinement, HeaderNamesOfTheDumpAndTheMailboxPiecesStayInside)
{
    unpack("Subject: dump\n\nbody\n", [] {
        MIME_set_dumpheaders(1);
        MIME_set_headersname("../dumped");
    });
    EXPECT_EQ(strays(), std::vector<std::string>{});
    EXPECT_NE(readFile(out() + "/dumped").find("Subject: dump"), std::string::npos);
}

} // namespace
