#include "MimeTestSupport.h"

#include "mimeextract/MIME_headers.h"
#include "mimeextract/ffget.h"

#include <cstdio>
#include <memory>

using namespace MimeTest;

namespace {

class MimeHeaders : public Engine {
protected:
    // Parses the first header block of text (read with blocks of blockSize bytes).
    std::unique_ptr<MIMEH_header_info, void (*)(MIMEH_header_info *)> parse(const std::string &text,
                                                                           int blockSize = 8191,
                                                                           int *result = nullptr)
    {
        std::unique_ptr<MIMEH_header_info, void (*)(MIMEH_header_info *)> h(new MIMEH_header_info,
                                                                            [](MIMEH_header_info *p) {
                                                                                MIMEH_header_info_done(p);
                                                                                delete p;
                                                                            });
        MIMEH_header_info_init(h.get());
        MIMEH_set_outputdir(out().c_str());
        FFGET_set_block_size(blockSize);
        FILE *in = fmemopen(const_cast<char *>(text.data()), text.size(), "rb");
        auto f = std::make_unique<FFGET_FILE>();
        FFGET_setstream(f.get(), in);
        const int r = MIMEH_parse_headers(f.get(), h.get());
        if (result)
            *result = r;
        fclose(in);
        return h;
    }
};

TEST_F(MimeHeaders, FileNamesAndBoundariesFromParameters)
{
    struct Row {
        const char *headers;
        const char *filename, *boundary;
        int defect; // a defect number expected, or 0
    };
    const Row rows[] = {
        {"Content-Type: application/pdf; name=\"report.pdf\"\n", "report.pdf", "", 0},
        // A parameter list broken after ";" without indentation is joined...
        {"Content-Type: application/pdf;\nname=\"joined.pdf\"\n", "joined.pdf", "", 0},
        // ... unless the next line is a Content-Type of its own.
        {"Content-Type: text/plain;\nContent-Type: application/pdf; name=second.pdf\n", "second.pdf", "", 0},
        {"Content-Type: text/plain;\n\tname=folded.txt\n", "folded.txt", "", 0},
        {"Content-Disposition: attachment; filename*0*=utf-8''%E2%82%AC;filename*1=.txt\n", "\xe2\x82\xac.txt", "",
         0},
        {"Content-Disposition: attachment; filename*=UTF-8''Bericht%20%C3%BCber%20Q4.txt\n",
         "Bericht \xc3\xbc" "ber Q4.txt", "", 0},
        {"Content-Type: text/plain; name*0=two; name*1=parts.txt\n", "twoparts.txt", "", 0},
        {"Content-Type: text/plain; name=\"\"abc.txt\"\n", "abc.txt", "", MIMEH_DEFECT_MULTIPLE_QUOTES},
        {"Content-Type: multipart/mixed; boundary=\"abc\n", "", "\"abc", MIMEH_DEFECT_UNBALANCED_QUOTES},
        {"Content-Type: multipart/mixed; boundary==\"b1\"\n", "", "b1", MIMEH_DEFECT_MULTIPLE_EQUALS_SEPARATORS},
        {"Content-Type: multipart/mixed; boundary=a; boundary=b\n", "", "b", MIMEH_DEFECT_MULTIPLE_BOUNDARIES},
        {"Content-Type: text/plain; name=a.txt; name=b.txt\n", "a.txt", "", MIMEH_DEFECT_MULTIPLE_NAMES},
        {"Content-Disposition: attachment; filename=a.txt; filename=b.txt\n", "b.txt", "",
         MIMEH_DEFECT_MULTIPLE_FILENAMES},
        {"Content-Type: text/plain; name x.txt\n", "x.txt", "", MIMEH_DEFECT_MISSING_SEPARATORS},
        {"Content-Disposition: attachment; filename=report(1).pdf\n", "report.pdf", "", 0},
        {"Content-Disposition: attachment; filename=\"report(1).pdf\"\n", "report(1).pdf", "", 0},
        {"Content-Type: text/plain; name==?iso-8859-1?Q?Caf=E9.txt?=\n", "Caf\xe9.txt", "", 0},
        {"Content-Type: image/png; name=\"../../up.png\"\n", "up.png", "", 0},
        {"Content-Location: http://example.org/a/b/photo.jpg\n", "photo.jpg", "", 0},
        {"Content-Type: text/plain; name=first.txt\nContent-Location: http://x/second.txt\n", "first.txt", "", 0},
        {"Content-Type: multipart/mixed; boundary=\"0123456789abcdefghijklmnopqrstuvwxyzABCDEFLMNOPRSTUVWXYZ'()+_,-./:=?  \"\n",
         "", "0123456789abcdefghijklmnopqrstuvwxyzABCDEFLMNOPRSTUVWXYZ'()+_,-./:=?  ", 0},
    };
    for (const Row &row : rows) {
        for (int blockSize : {8191, 1}) {
            MIMEH_reset();
            auto h = parse(std::string(row.headers) + "\n", blockSize);
            EXPECT_STREQ(h->filename, row.filename) << row.headers;
            EXPECT_STREQ(h->boundary, row.boundary) << row.headers;
            if (row.defect)
                EXPECT_GT(h->defects[row.defect], 0) << row.headers;
            else
                EXPECT_EQ(MIMEH_get_defect_count(h.get()), 0) << row.headers;
        }
    }
}

TEST_F(MimeHeaders, ContentTypeAndEncodingCodes)
{
    struct Row {
        const char *value;
        int code;
    };
    const Row types[] = {
        {"multipart/appledouble", _CTYPE_MULTIPART_APPLEDOUBLE}, {"Multipart/Signed", _CTYPE_MULTIPART_SIGNED},
        {"multipart/related", _CTYPE_MULTIPART_RELATED},         {"multipart/mixed", _CTYPE_MULTIPART_MIXED},
        {"multipart/alternative", _CTYPE_MULTIPART_ALTERNATIVE}, {"multipart/report", _CTYPE_MULTIPART_REPORT},
        {"multipart/digest", _CTYPE_MULTIPART},                  {"text/calendar", _CTYPE_TEXT_CALENDAR},
        {"TEXT/PLAIN", _CTYPE_TEXT_PLAIN},                       {"text/html", _CTYPE_TEXT_HTML},
        {"text/enriched", _CTYPE_TEXT},                          {"image/gif", _CTYPE_IMAGE_GIF},
        {"image/jpeg", _CTYPE_IMAGE_JPEG},                       {"image/png", _CTYPE_IMAGE},
        {"audio/mpeg", _CTYPE_AUDIO},                            {"message/rfc822", _CTYPE_RFC822},
        {"application/octet-stream", _CTYPE_OCTECT},             {"application/ms-tnef", _CTYPE_TNEF},
        {"application/applefile", _CTYPE_APPLICATION_APPLEFILE},
        {"application/pdf", _CTYPE_UNKNOWN},
    };
    for (const Row &row : types) {
        auto h = parse("Content-Type: " + std::string(row.value) + "\n\n");
        EXPECT_EQ(h->content_type, row.code) << row.value;
    }
    const Row encodings[] = {
        {"base64", _CTRANS_ENCODING_B64},   {"7bit", _CTRANS_ENCODING_7BIT},
        {"8BIT", _CTRANS_ENCODING_8BIT},    {"quoted-printable;", _CTRANS_ENCODING_QP},
        {"binary", _CTRANS_ENCODING_BINARY}, {"x-uuencode", _CTRANS_ENCODING_UUENCODE},
        {"uue", _CTRANS_ENCODING_UUENCODE}, {"u", _CTRANS_ENCODING_UUENCODE},
        {"x-gzip64", _CTRANS_ENCODING_RAW},
    };
    for (const Row &row : encodings) {
        auto h = parse("Content-Transfer-Encoding: " + std::string(row.value) + "\n\n");
        EXPECT_EQ(h->content_transfer_encoding, row.code) << row.value;
    }
    auto octet = parse("Content-Type: application/octet-stream\n\n");
    EXPECT_EQ(octet->content_transfer_encoding, _CTRANS_ENCODING_RAW);
}

TEST_F(MimeHeaders, InformationalFieldsAndComments)
{
    auto h = parse("Subject: Quarterly (draft) numbers\r\nFrom: A <a@example.org>\r\nTo: b@example.org\r\n"
                   "Date: Sat, 18 Jan 2014 08:16:20 +0000\r\nMessage-ID: <1@x>\r\nContent-Disposition: inline\r\n"
                   "X-Unknown: ignored\r\n\r\nbody");
    EXPECT_STREQ(h->subject, "Quarterly  numbers");
    EXPECT_STREQ(h->from, "A <a@example.org>");
    EXPECT_STREQ(h->to, "b@example.org");
    EXPECT_STREQ(h->messageid, "<1@x>");
    EXPECT_EQ(h->content_disposition, _CDISPOSITION_INLINE);
    EXPECT_EQ(h->recognised, 6);
    EXPECT_STREQ(h->delimeter, "\r\n");
}

TEST_F(MimeHeaders, BlocksWithoutKnownHeadersAndTheEndOfInput)
{
    int result = 0;
    auto none = parse("just some words\nand more\n\nbody", 8191, &result);
    EXPECT_EQ(none->recognised, 0);
    EXPECT_EQ(result, 0);
    auto empty = parse("\nbody", 8191, &result);
    EXPECT_EQ(result, 1);
    auto ended = parse("Subject: cut", 8191, &result);
    EXPECT_EQ(result, -1);
    EXPECT_STREQ(ended->subject, "cut");
}

TEST_F(MimeHeaders, AppleDoubleNamesCarryOverToTheAppleFilePart)
{
    auto container = parse("Content-Type: multipart/appledouble; boundary=x; name=\"pic.jpg\"\n\n");
    EXPECT_STREQ(container->filename, "mac-pic.jpg");
    auto meta = parse("Content-Type: application/applefile\n\n");
    EXPECT_STREQ(meta->filename, "pic.jpg.applemeta");
    MIMEH_reset();
    auto alone = parse("Content-Type: application/applefile\n\n");
    EXPECT_STREQ(alone->filename, "applefile");
}

TEST_F(MimeHeaders, TheRestOfADoubleCrLineIsSavedForTheWalk)
{
    auto h = parse("Subject: x\r\rhidden: part\r\rline\nContent-Type: text/plain\n\n");
    EXPECT_EQ(MIMEH_get_doubleCR(), 1);
    EXPECT_STREQ(MIMEH_get_doubleCR_name(), "doubleCR.1");
    EXPECT_EQ(readFile(out() + "/doubleCR.1"), "hidden: part\r\rline\n");
    EXPECT_EQ(h->content_type, _CTYPE_TEXT_PLAIN);
}

TEST_F(MimeHeaders, RfcHeaderSniffingCountsKnownWordsAtLineStarts)
{
    EXPECT_EQ(MIMEH_are_headers_RFC822("Received: x\nFrom: y\nSubject: z\n"), 3);
    EXPECT_EQ(MIMEH_are_headers_RFC822("Dear reader, from the start\n"), 0);
}

TEST_F(MimeHeaders, AnEndlessHeaderBlockIsCapped)
{
    std::string block = "Subject: big\n";
    const std::string line = "X-Filler: " + std::string(1000, 'f') + "\n";
    while (block.size() < 2 * MIMEH_MAX_HEADER_BYTES)
        block += line;
    block += "Content-Type: text/plain; name=late.txt\n\n";
    auto h = parse(block);
    EXPECT_STREQ(h->subject, "big");
    EXPECT_STREQ(h->filename, ""); // beyond the cap
}

} // namespace
