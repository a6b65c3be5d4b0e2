#include "MimeTestSupport.h"

#include "TestSupport.h"

#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <sstream>

using namespace MimeTest;

namespace {

// The shared fixtures and their oracles (MANIFEST.tsv), run through the whole unpack.
class Fixtures : public Engine {};

std::vector<std::string> listDir(const std::string &dir, const std::string &prefix, const std::string &suffix)
{
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (const dirent *e = readdir(d)) {
            const std::string n = e->d_name;
            if (n == "." || n == "..")
                continue;
            if (n.rfind(prefix, 0) == 0 && n.size() >= suffix.size() &&
                n.compare(n.size() - suffix.size(), suffix.size(), suffix) == 0)
                names.push_back(n);
        }
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// Wraps bytes as a base64 part of a message.
std::string base64Message(const std::string &type, const std::string &data)
{
    static const char *t = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string body;
    for (size_t i = 0; i < data.size(); i += 3) {
        const size_t n = std::min<size_t>(3, data.size() - i);
        unsigned v = uint8_t(data[i]) << 16;
        if (n > 1)
            v |= uint8_t(data[i + 1]) << 8;
        if (n > 2)
            v |= uint8_t(data[i + 2]);
        body += t[v >> 18 & 63];
        body += t[v >> 12 & 63];
        body += n > 1 ? t[v >> 6 & 63] : '=';
        body += n > 2 ? t[v & 63] : '=';
        if (body.size() % 78 == 76)
            body += "\r\n";
    }
    return "From: a@example.org\r\nSubject: sample\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/mixed; boundary=\"XX\"\r\n\r\n--XX\r\nContent-Type: text/plain\r\n\r\nhello\r\n"
           "--XX\r\nContent-Type: " + type + "\r\nContent-Transfer-Encoding: base64\r\n\r\n" + body +
           "\r\n--XX--\r\n";
}

TEST_F(Fixtures, Mime4jMessagesGiveTheirDecodedParts)
{
    REQUIRE_FIXTURES();
    const std::string dir = fixture("mime4j");
    int compared = 0;
    for (const std::string &msg : listDir(dir, "", ".msg")) {
        const std::string stem = msg.substr(0, msg.size() - 4);
        reset();
        const auto files = unpack(readFile(dir + "/" + msg));
        for (const std::string &oracle : listDir(dir, stem + "_decoded_", "")) {
            if (oracle.size() > 4 && oracle.substr(oracle.size() - 4) == ".xml")
                continue;
            const std::string want = readFile(dir + "/" + oracle);
            // Empty parts (bodies mime4j saw where this walk sees headers or nothing) are
            // not written by the engine.
            if (want.empty())
                continue;
            const bool binary = oracle.substr(oracle.size() - 4) == ".bin";
            const bool found = std::any_of(files.begin(), files.end(), [&](const auto &f) {
                return binary ? f.second == want : normalised(f.second) == normalised(want);
            });
            EXPECT_TRUE(found) << msg << " lacks " << oracle;
            ++compared;
        }
        for (const auto &[name, content] : files)
            unlink((out() + "/" + name).c_str());
    }
    EXPECT_GE(compared, 8);
}

TEST_F(Fixtures, PhotoPairsDecodeToTheirBinary)
{
    REQUIRE_FIXTURES();
    const std::string photo = readFile(fixture("encodings/mimekit/photo.jpg"));
    const auto uu = unpack("Subject: uu\r\nContent-Type: text/plain\r\n\r\nhere it is\r\n" +
                           readFile(fixture("encodings/mimekit/photo.uu")));
    EXPECT_TRUE(uu.at("photo.jpg") == photo);
    const auto b64 = unpack("Subject: b64\nContent-Type: image/jpeg; name=\"b64.jpg\"\nContent-Transfer-Encoding: base64\n\n" +
                            readFile(fixture("encodings/mimekit/photo.b64")));
    EXPECT_TRUE(b64.at("b64.jpg") == photo);
}

TEST_F(Fixtures, TnefSamplesInsideMessagesGiveTheirAttachments)
{
    REQUIRE_FIXTURES();
    struct Row {
        const char *sample, *name;
    };
    const Row rows[] = {{"attachments", "zappa_av1.jpg"}, {"attachments", "bookmark.htm"},
                        {"panic", "image001.jpg"},        {"panic", "image002.jpg"},
                        {"panic", "image003.png"}};
    for (const char *sample : {"attachments", "panic"})
        unpack(base64Message("application/ms-tnef; name=\"winmail.dat\"",
                             readFile(fixture(std::string("tnef/") + sample + ".tnef"))));
    const auto files = folder(out());
    for (const Row &row : rows) {
        std::string expected = readFile(fixture(std::string("tnef/") + row.sample + "/" + row.name));
        ASSERT_TRUE(files.count(row.name)) << row.name;
        std::string got = files.at(row.name);
        if (std::string(row.name).find(".htm") != std::string::npos) // stored with LF line ends
            got.erase(std::remove(got.begin(), got.end(), '\r'), got.end());
        EXPECT_TRUE(got == expected) << row.name;
    }
}

TEST_F(Fixtures, EveryFixtureMessageUnpacksWithinTheFolder)
{
    REQUIRE_FIXTURES();
    int messages = 0;
    for (const char *sub : {"eml/malformed/enmime", "eml/malformed/mikel", "eml/malformed/dovecot", "eml/nested",
                            "eml/python", "eml/rfc2047", "eml/uuencode", "eml/line-endings", "mime4j-mimetools"}) {
        const std::string dir = fixture(sub);
        for (const std::string &name : listDir(dir, "", "")) {
            if (name.find(".json") != std::string::npos || name.find(".xml") != std::string::npos)
                continue;
            reset();
            unpack(readFile(dir + "/" + name));
            ++messages;
        }
    }
    EXPECT_GT(messages, 50);
    EXPECT_EQ(folder(root()).size(), size_t(messages)); // only the message files beside out/
}

} // namespace
