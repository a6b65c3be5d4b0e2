#include "MimeTestSupport.h"

#include "mimeextract/ffget.h"
#include "mimeextract/mime.h"

using namespace MimeTest;
using Files = std::map<std::string, std::string>;

namespace {

class MimeWalk : public Engine {};

std::string crlf(std::string text)
{
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

const std::string kMixed = crlf("From: a@example.org\n"
                                "Subject: three parts\n"
                                "Content-Type: multipart/mixed; boundary=\"XX\"\n"
                                "\n"
                                "--XX\n"
                                "Content-Type: text/plain\n"
                                "\n"
                                "plain text\n"
                                "--XX\n"
                                "Content-Type: application/pdf; name=\"report.pdf\"\n"
                                "Content-Transfer-Encoding: base64\n"
                                "\n"
                                "JVBERi0xLjQK\n"
                                "--XX\n"
                                "Content-Type: text/html\n"
                                "Content-Transfer-Encoding: quoted-printable\n"
                                "\n"
                                "<p>caf=C3=A9 =\n"
                                "joined</p>\n"
                                "--XX--\n");

TEST_F(MimeWalk, NamelessPartsAreNumberedAndNamedOnesKeepTheirNames)
{
    const Files files = unpack(kMixed);
    EXPECT_EQ(files, (Files{{"textfile0", ""},
                            {"textfile1", "plain text\r\n"},
                            {"report.pdf", "%PDF-1.4\n"},
                            {"textfile2", "<p>caf\xc3\xa9 joined</p>\r\n"}}));
    EXPECT_EQ(MIME_get_attachment_count(), 1);
    EXPECT_STREQ(MIME_get_subject(), "three parts");
}

TEST_F(MimeWalk, TheNamelessCounterRunsOnAcrossMessages)
{
    unpack("Subject: one\n\nfirst\n");
    const Files second = unpack("Subject: two\n\nsecond\n");
    EXPECT_EQ(second.at("textfile0"), "first\n");
    EXPECT_EQ(second.at("textfile1"), "second\n");
}

TEST_F(MimeWalk, EveryPartComesOutTheSameReadOneByteAtATime)
{
    const std::string messages[] = {
        kMixed,
        "Subject: lf\nContent-Type: multipart/mixed; boundary=b\n\npre\n--b\nContent-Type: text/plain; name=a.txt\n\n"
        "A\n--b\nContent-Type: message/rfc822\n\nSubject: in\nContent-Type: text/plain; name=in.txt\n\ninner\n"
        "--b--\n",
    };
    for (const std::string &message : messages) {
        reset();
        const Files whole = unpack(message);
        for (const auto &[name, content] : whole)
            unlink((out() + "/" + name).c_str());
        reset();
        const Files byByte = unpack(message, [] { FFGET_set_block_size(1); });
        EXPECT_EQ(byByte, whole);
        for (const auto &[name, content] : byByte)
            unlink((out() + "/" + name).c_str());
    }
}

TEST_F(MimeWalk, BoundaryLines)
{
    const Files files = unpack("Subject: b\nContent-Type: multipart/mixed; boundary=b1\n\n"
                               "--b1\nContent-Type: text/plain; name=a.txt\n\n"
                               "--b1 is not alone here\nkept\n--b1--\nepilogue\n");
    EXPECT_EQ(files.at("a.txt"), "--b1 is not alone here\nkept\n");
}

TEST_F(MimeWalk, InnerAndOuterBoundaries)
{
    const Files files = unpack("Subject: n\nContent-Type: multipart/mixed; boundary=outer\n\n"
                               "--outer\nContent-Type: multipart/alternative; boundary=inner\n\n"
                               "--inner\nContent-Type: text/plain; name=one.txt\n\none\n"
                               "--inner\nContent-Type: text/plain; name=two.txt\n\ntwo\n"
                               "--outer\nContent-Type: text/plain; name=three.txt\n\nthree\n--outer--\n");
    EXPECT_EQ(files.at("one.txt"), "one\n");
    EXPECT_EQ(files.at("two.txt"), "two\n");
    EXPECT_EQ(files.at("three.txt"), "three\n");
}

TEST_F(MimeWalk, Base64Endings)
{
    struct Row {
        const char *body;
        const char *decoded;
    };
    // A padded last group gives its bytes and nothing after it counts.
    const Row multipart[] = {{"QUJD\nQQ==\nQUJD\n", "ABCA"}, {"QUJDRA=\n", "ABCD"}, {"QU-JD\n", "ABC"}};
    for (const Row &row : multipart) {
        const Files files = unpack(std::string("Subject: p\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                                               "Content-Type: application/x; name=p.bin\n"
                                               "Content-Transfer-Encoding: base64\n\n") +
                                   row.body + "--b\nContent-Type: text/plain; name=after.txt\n\nafter\n--b--\n");
        EXPECT_EQ(files.at("p.bin"), row.decoded) << row.body;
        EXPECT_EQ(files.at("after.txt"), "after\n") << row.body;
    }
    // A single part with LF line ends ends at two empty lines; with CR LF it runs on.
    const std::string single = "Subject: s\nContent-Transfer-Encoding: base64\nContent-Type: x/y; name=s.bin\n\n";
    EXPECT_EQ(unpack(single + "QUJD\n\n\nREVG\n").at("s.bin"), "ABC");
    EXPECT_EQ(unpack(crlf(single + "QUJD\n\n\nREVG\n")).at("s.bin"), "ABCDEF");
}

TEST_F(MimeWalk, NulBytesAreReadAsSpaces)
{
    const Files files = unpack(std::string("Subject: nul\n\na\0b\n", 18));
    EXPECT_EQ(files.at("textfile0"), "a b\n");
}

TEST_F(MimeWalk, AnAttachedMessageInBase64IsSavedAndUnpacked)
{
    const std::string inner = "Subject: inner\r\nContent-Type: multipart/mixed; boundary=in\r\n\r\n--in\r\n"
                              "Content-Type: text/plain; name=deep.txt\r\n\r\ndeep\r\n--in--\r\n";
    const Files files = unpack("Subject: outer\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                               "Content-Type: message/rfc822; name=fwd.eml\nContent-Transfer-Encoding: base64\n\n" +
                               std::string("U3ViamVjdDogaW5uZXINCkNvbnRlbnQtVHlwZTogbXVsdGlwYXJ0L21peGVkOyBib3VuZGFy\n"
                                           "eT1pbg0KDQotLWluDQpDb250ZW50LVR5cGU6IHRleHQvcGxhaW47IG5hbWU9ZGVlcC50eHQN\n"
                                           "Cg0KZGVlcA0KLS1pbi0tDQo=\n") +
                               "--b--\n");
    EXPECT_EQ(files.at("fwd.eml"), inner);
    EXPECT_EQ(files.at("deep.txt"), "deep\r\n");
}

TEST_F(MimeWalk, AMailboxIsUnpackedMessageByMessage)
{
    std::string mbox;
    for (int i = 0; i < 3; ++i)
        mbox += "From sender@example.org Sat Jan 18 08:16:20 2014\nSubject: m" + std::to_string(i) +
                "\nContent-Type: text/plain; name=m" + std::to_string(i) + ".txt\n\nbody\nFrom inside\n\n";
    const Files files = unpack(mbox, [] { MIME_set_mailboxformat(1); });
    // Only a "From " line after an empty line starts a message; the pieces are removed.
    const std::string body = "body\nFrom inside\n\n";
    EXPECT_EQ(files, (Files{{"m0.txt", body}, {"m1.txt", body}, {"m2.txt", body}}));
}

TEST_F(MimeWalk, APartWithoutHeadersIsReadOnUntilHeadersComeBack)
{
    const Files files = unpack("Subject: h\nContent-Type: multipart/mixed; boundary=b\n\n--b\n\nnaked body\n"
                               "--b\nContent-Type: text/plain; name=dressed.txt\n\ndressed\n--b--\n");
    EXPECT_EQ(files.at("dressed.txt"), "dressed\n");
    EXPECT_EQ(files.size(), 2u); // and the empty preamble
}

TEST_F(MimeWalk, UniqueNamesAndTheirThreeMethods)
{
    struct Row {
        int method;
        const char *name;
        std::vector<std::string> names;
    };
    const Row rows[] = {
        {1, "report.pdf", {"report.pdf", "report_1.pdf", "report_2.pdf"}},
        {1, "README", {"README", "README_1", "README_2"}},
        {2, "report.pdf", {"report.pdf", "1_report.pdf", "2_report.pdf"}},
        {3, "report.pdf", {"report.pdf", "report.pdf_1", "report.pdf_2"}},
    };
    for (const Row &row : rows) {
        std::string message = "Subject: u\nContent-Type: multipart/mixed; boundary=b\n\n";
        for (int i = 0; i < 3; ++i)
            message += "--b\nContent-Type: text/plain; name=" + std::string(row.name) + "\n\n" + std::to_string(i) +
                       "\n";
        message += "--b--\n";
        reset();
        const Files files = unpack(message, [&] {
            MIME_set_uniquenames(1);
            MIME_set_renamemethod(row.method);
        });
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(files.at(row.names[size_t(i)]), std::to_string(i) + "\n") << row.method << row.name;
        for (const auto &[name, content] : files)
            unlink((out() + "/" + name).c_str());
    }
    EXPECT_EQ(MIME_set_renamemethod(4), -1);
    EXPECT_NE(log().find("MIME_set_renamemethod:ERROR: selected method not within"), std::string::npos);
}

TEST_F(MimeWalk, UniqueNamesOfTheLongestNameStillDiffer)
{
    const std::string name = std::string(120, 'n') + ".txt";
    std::string message = "Subject: u\nContent-Type: multipart/mixed; boundary=b\n\n";
    for (int i = 0; i < 3; ++i)
        message += "--b\nContent-Type: text/plain; name=" + name + "\n\nx\n";
    const Files files = unpack(message + "--b--\n", [] { MIME_set_uniquenames(1); });
    EXPECT_EQ(files.size(), 4u);
}

TEST_F(MimeWalk, NamelessPartsByTypeOrRemoved)
{
    const Files typed = unpack(kMixed, [] { MIME_set_name_by_type(1); });
    EXPECT_TRUE(typed.count("multipart-mixed0") && typed.count("text-plain1") && typed.count("text-html2"));
    for (const auto &[name, content] : typed)
        unlink((out() + "/" + name).c_str());
    const Files named = unpack(kMixed, [] { MIME_set_no_nameless(1); });
    EXPECT_EQ(named, (Files{{"report.pdf", "%PDF-1.4\n"}}));
}

TEST_F(MimeWalk, FurtherNamesOfAPartBecomeHardLinks)
{
    const Files files = unpack("Subject: l\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                               "Content-Type: text/plain; name=\"first.txt\"; name=\"second.txt\"\n\nsame\n--b--\n");
    EXPECT_EQ(files.at("first.txt"), "same\n");
    EXPECT_EQ(files.at("second.txt"), "same\n");
}

TEST_F(MimeWalk, UuencodedFilesInTextAndInTheirOwnEncoding)
{
    const std::string uu = "begin 644 a.bin\n#86)C\n`\nend\n";
    const Files inText = unpack("Subject: t\n\nsee below\n" + uu + "bye\n");
    EXPECT_EQ(inText.at("a.bin"), "abc");
    EXPECT_EQ(inText.at("textfile0"), "see below\n" + uu + "bye\n");
    const Files own = unpack("Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                             "Content-Type: application/octet-stream\nContent-Transfer-Encoding: x-uuencode\n\n" +
                             uu + "--b--\n");
    EXPECT_EQ(own.at("a.bin"), "abc");
}

TEST_F(MimeWalk, ADoubleCrLineHidingAMessageIsUnpacked)
{
    // After a CR CR line end the rest of the line, to the next LF, is saved and walked when
    // it looks like a message; CR-only messages end their headers that way too.
    const std::string hidden = "Subject: inner\rContent-Type: text/plain; name=hidden.txt\r\rhidden body\n";
    const Files files = unpack("Subject: d\r\nX-Junk: y\r\r" + hidden);
    EXPECT_EQ(files.at("doubleCR.1"), hidden);
    EXPECT_EQ(files.at("doubleCR.2"), "hidden body\n");
    EXPECT_TRUE(files.count("hidden.txt"));
}

TEST_F(MimeWalk, NestingBeyondTheLimitsEndsThatPart)
{
    // Messages inside messages, each saved and walked one level deeper.
    std::string message = "Subject: core\nContent-Type: text/plain; name=core.txt\n\ncore\n";
    for (int i = 0; i < 40; ++i)
        message = "Subject: wrap\nContent-Type: message/rfc822; name=m" + std::to_string(i) + ".eml\n\n" + message;
    const Files deep = unpack(message, [] { MIME_set_verbosity(1); });
    EXPECT_FALSE(deep.count("core.txt"));
    EXPECT_NE(log().find("is greater than permitted 20"), std::string::npos);
    // Multiparts inside multiparts are walked in line, at one level: bounded all the same.
    std::string nested = "Subject: n\n";
    for (int i = 0; i < 5000; ++i)
        nested += "Content-Type: multipart/mixed; boundary=b" + std::to_string(i) + "\n\n--b" + std::to_string(i) +
                  "\n";
    nested += "Content-Type: text/plain; name=bottom.txt\n\nbottom\n";
    const Files wide = unpack(nested);
    EXPECT_FALSE(wide.count("bottom.txt"));
}

TEST_F(MimeWalk, TnefPartsAreUnpackedBesideTheirFile)
{
    const std::string tnef = std::string("\x78\x9f\x3e\x22\x01\x00", 6) +
                             std::string("\x02\x10\x80\x01\x00\x06\x00\x00\x00t.txt\0\x00\x00", 17) +
                             std::string("\x02\x0f\x80\x06\x00\x02\x00\x00\x00hi\x00\x00", 13);
    std::string b64;
    const char *table = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (size_t i = 0; i < tnef.size(); i += 3) {
        const std::string g = tnef.substr(i, 3);
        const unsigned v = uint8_t(g[0]) << 16 | (g.size() > 1 ? uint8_t(g[1]) << 8 : 0) | (g.size() > 2 ? uint8_t(g[2]) : 0);
        b64 += table[v >> 18 & 63];
        b64 += table[v >> 12 & 63];
        b64 += g.size() > 1 ? table[v >> 6 & 63] : '=';
        b64 += g.size() > 2 ? table[v & 63] : '=';
    }
    const Files files = unpack("Subject: t\nContent-Type: multipart/mixed; boundary=b\n\n--b\n"
                               "Content-Type: application/ms-tnef; name=winmail.dat\nContent-Transfer-Encoding: base64\n\n" +
                               b64 + "\n--b--\n");
    EXPECT_EQ(files.at("winmail.dat"), tnef);
    EXPECT_EQ(files.at("t.txt"), "hi");
}

} // namespace
