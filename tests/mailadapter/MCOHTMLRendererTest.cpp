#include "TestSupport.h"

#include "mailadapter/MCOHTMLRenderer.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace {

template <typename Row>
std::string rowName(const ::testing::TestParamInfo<Row> &info)
{
    return info.param.name;
}

// Answers as configured by a row; a null template leaves the built-in one.
class RowDelegate : public MCOHTMLRendererDelegate {
public:
    const char *messageTemplate = nullptr;
    const char *attachmentTemplate = nullptr;
    const char *imageTemplate = nullptr;
    const char *separatorTemplate = nullptr;
    const char *hiddenType = nullptr;
    bool tagParts = false;

    bool shouldShowPart(const MCOAbstractPart &part) override
    {
        return !hiddenType || part.mimeType() != QLatin1String(hiddenType);
    }
    QString templateForMessage(const MCOAbstractMessage &) override { return text(messageTemplate); }
    QString templateForAttachment(const MCOAbstractPart &) override { return text(attachmentTemplate); }
    QString templateForImage(const MCOAbstractPart &) override { return text(imageTemplate); }
    QString templateForAttachmentSeparator() override { return text(separatorTemplate); }
    QString filteredHTMLForPart(const QString &html) override
    {
        return tagParts ? QStringLiteral("<section>") + html + QStringLiteral("</section>") : html;
    }
    QString filteredHTMLForMessage(const QString &html) override
    {
        return tagParts ? QStringLiteral("<article>") + html + QStringLiteral("</article>") : html;
    }

private:
    static QString text(const char *s) { return s ? QString::fromUtf8(s) : QString(); }
};

struct DelegateSetup {
    bool none = false; // no delegate at all
    const char *messageTemplate = nullptr;
    const char *attachmentTemplate = nullptr;
    const char *imageTemplate = nullptr;
    const char *separatorTemplate = nullptr;
    const char *hiddenType = nullptr;
    bool tagParts = false;
};

// "${name}" in an expectation stands for the unique ID of the leaf with that file name,
// so that rows do not depend on how the parser numbers its parts.
std::string resolved(const char *expected, const MCOMessageParser &message)
{
    QString out = QString::fromUtf8(expected);
    static const QRegularExpression token(QStringLiteral("\\$\\{([^}]+)\\}"));
    for (const QRegularExpressionMatch &m : token.globalMatch(out)) {
        QString id = QStringLiteral("<no part named ") + m.captured(1) + QLatin1Char('>');
        for (const MCOAbstractPartPtr &leaf : message.mainPart()->leaves()) {
            if (leaf->filename() == m.captured(1))
                id = leaf->uniqueID();
        }
        out.replace(m.captured(0), id);
    }
    return out.toStdString();
}

QString render(const MCOMessageParser &message, const DelegateSetup &setup)
{
    if (setup.none)
        return MCOHTMLRenderer::htmlForMessage(message, nullptr);
    RowDelegate delegate;
    delegate.messageTemplate = setup.messageTemplate;
    delegate.attachmentTemplate = setup.attachmentTemplate;
    delegate.imageTemplate = setup.imageTemplate;
    delegate.separatorTemplate = setup.separatorTemplate;
    delegate.hiddenType = setup.hiddenType;
    delegate.tagParts = setup.tagParts;
    return MCOHTMLRenderer::htmlForMessage(message, &delegate);
}

QByteArray readFixture(const QString &relative)
{
    QFile file(TestSupport::fixturesDir() + QLatin1Char('/') + relative);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// ---- Whole messages ------------------------------------------------------------------

struct MessageRow {
    const char *name;
    const char *rfc822;
    DelegateSetup delegate;
    std::vector<const char *> present;
    std::vector<const char *> absent;
};

void PrintTo(const MessageRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererMessages : public ::testing::TestWithParam<MessageRow> {};

TEST_P(MCOHTMLRendererMessages, Renders)
{
    const MessageRow &row = GetParam();
    const auto message = MCOMessageParser::messageParserWithData(QByteArray(row.rfc822));
    const QString html = render(*message, row.delegate);
    const std::string page = html.toStdString();
    for (const char *wanted : row.present)
        EXPECT_NE(page.find(resolved(wanted, *message)), std::string::npos) << "missing: " << wanted << "\n" << page;
    for (const char *unwanted : row.absent)
        EXPECT_EQ(page.find(resolved(unwanted, *message)), std::string::npos) << "present: " << unwanted << "\n" << page;
    EXPECT_EQ(render(*message, row.delegate), html) << "not deterministic";
}

const char kPDFMessage[] = "From: a@example.com\n"
                           "Subject: Report\n"
                           "Content-Type: multipart/mixed; boundary=\"b\"\n"
                           "\n"
                           "--b\n"
                           "Content-Type: text/plain\n"
                           "\n"
                           "See the report.\n"
                           "--b\n"
                           "Content-Type: application/pdf; name=\"report.pdf\"\n"
                           "Content-Disposition: attachment; filename=\"report.pdf\"\n"
                           "Content-Transfer-Encoding: base64\n"
                           "\n"
                           "JVBERi0xLjQKJcOkw7zDtsOfCjEgMCBvYmoKPDwvVHlwZS9DYXRhbG9nPj4K\n"
                           "--b\n"
                           "Content-Type: application/octet-stream; name=\"empty.bin\"\n"
                           "Content-Disposition: attachment; filename=\"empty.bin\"\n"
                           "\n"
                           "--b--\n";

INSTANTIATE_TEST_SUITE_P(
    MCOHTMLRenderer, MCOHTMLRendererMessages,
    ::testing::Values(
        MessageRow{"plain_text_escaped",
                   "From: \"Ann <A&B>\" <ann@example.com>\n"
                   "To: bob@example.com, \"Carl\" <carl@example.com>\n"
                   "Subject: Hi <you> & me\n"
                   "Date: Sat, 18 Jan 2014 09:16:20 +0100\n"
                   "Content-Type: text/plain; charset=us-ascii\n"
                   "\n"
                   "a < b && c > d\n"
                   "second line\n"
                   "> quoted \"text\"\n",
                   {},
                   {"<b>From:</b> Ann &lt;A&amp;B&gt; &lt;ann@example.com&gt;</div>",
                    "<b>To:</b> bob@example.com, Carl &lt;carl@example.com&gt;</div>",
                    "<b>Subject:</b> Hi &lt;you&gt; &amp; me</div>",
                    "<b>Date:</b> Saturday, 18 January 2014 at 08:16:20 UTC</div>", "white-space: pre-wrap",
                    "a &lt; b &amp;&amp; c &gt; d\nsecond line\n&gt; quoted \"text\"\n</div>"},
                   {"a < b", "<b>Cc:</b>", "<hr"}},
        MessageRow{"no_delegate_same_defaults",
                   "From: a@example.com\nCc: Zed <zed@example.com>\nSubject: S\n\nbody\n",
                   {.none = true},
                   {"<b>Cc:</b> Zed &lt;zed@example.com&gt;</div>", "body\n</div>"},
                   {}},
        MessageRow{"header_value_looking_like_a_tag",
                   "From: a@example.com\nSubject: {{BODY}} {{#X}}\n\nthe body\n",
                   {.messageTemplate = "<main>{{HEADER}}|{{BODY}}</main>"},
                   {"<b>Subject:</b> {{BODY}} {{#X}}</div>"},
                   {}},
        MessageRow{"html_meta_charset_and_script_removed",
                   "From: a@example.com\n"
                   "Subject: HTML\n"
                   "Content-Type: text/html; charset=utf-8\n"
                   "Content-Transfer-Encoding: 8bit\n"
                   "\n"
                   "<!DOCTYPE html><html><head><meta charset=\"iso-8859-1\">"
                   "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1252\">"
                   "<title>The title</title><style>p { margin: 0 }</style><script>alert(1)</script></head>"
                   "<body><p style=\"color: blue\">Gr\xC3\xBC\xC3\x9F" "e caf\xC3\xA9 &amp; co</p>"
                   "<SCRIPT type=\"text/javascript\">document.write('x')</SCRIPT><img src=\"cid:none\"></body></html>\n",
                   {},
                   {"<style>p { margin: 0 }</style>",
                    "<p style=\"color: blue\">Gr\xC3\xBC\xC3\x9F" "e caf\xC3\xA9 &amp; co</p><img src=\"cid:none\">"},
                   {"charset=", "<meta", "<script", "<SCRIPT", "alert", "document.write", "The title", "<html",
                    "<body", "<head", "DOCTYPE"}},
        MessageRow{"alternative_prefers_html",
                   "From: a@example.com\n"
                   "Subject: Alt\n"
                   "Content-Type: multipart/alternative; boundary=\"b\"\n"
                   "\n"
                   "--b\n"
                   "Content-Type: text/plain\n"
                   "\n"
                   "PLAIN VERSION\n"
                   "--b\n"
                   "Content-Type: text/html\n"
                   "\n"
                   "<b>HTML VERSION</b>\n"
                   "--b--\n",
                   {},
                   {"<b>HTML VERSION</b>"},
                   {"PLAIN VERSION", "<hr"}},
        MessageRow{"alternative_html_first_still_html",
                   "From: a@example.com\n"
                   "Content-Type: multipart/alternative; boundary=\"b\"\n"
                   "\n"
                   "--b\n"
                   "Content-Type: text/html\n"
                   "\n"
                   "<i>HTML VERSION</i>\n"
                   "--b\n"
                   "Content-Type: text/plain\n"
                   "\n"
                   "PLAIN VERSION\n"
                   "--b--\n",
                   {},
                   {"<i>HTML VERSION</i>"},
                   {"PLAIN VERSION"}},
        MessageRow{"alternative_with_related_and_cid",
                   "From: a@example.com\n"
                   "Content-Type: multipart/alternative; boundary=\"alt\"\n"
                   "\n"
                   "--alt\n"
                   "Content-Type: text/plain\n"
                   "\n"
                   "PLAIN VERSION\n"
                   "--alt\n"
                   "Content-Type: multipart/related; boundary=\"rel\"\n"
                   "\n"
                   "--rel\n"
                   "Content-Type: text/html\n"
                   "\n"
                   "<p>Logo: <img src=\"cid:logo@example.com\"></p>\n"
                   "--rel\n"
                   "Content-Type: image/png; name=\"logo.png\"\n"
                   "Content-ID: <logo@example.com>\n"
                   "Content-Transfer-Encoding: base64\n"
                   "\n"
                   "iVBORw0KGgo=\n"
                   "--rel--\n"
                   "--alt--\n",
                   {},
                   {"<p>Logo: <img src=\"cid:logo@example.com\"></p>"},
                   {"PLAIN VERSION", "x-mailcore-image:", "logo.png"}},
        MessageRow{"related_unreferenced_part_shown_as_block",
                   "From: a@example.com\n"
                   "Content-Type: multipart/related; boundary=\"rel\"\n"
                   "\n"
                   "--rel\n"
                   "Content-Type: text/html\n"
                   "\n"
                   "<p>Hello <img src=\"cid:one\"></p>\n"
                   "--rel\n"
                   "Content-Type: image/gif; name=\"one.gif\"\n"
                   "Content-ID: <one>\n"
                   "\n"
                   "GIF89a\n"
                   "--rel\n"
                   "Content-Type: image/gif; name=\"two.gif\"\n"
                   "Content-ID: <two>\n"
                   "\n"
                   "GIF89a\n"
                   "--rel--\n",
                   {},
                   {"<p>Hello <img src=\"cid:one\"></p><hr", "<img src=\"x-mailcore-image:${two.gif}\"/>"},
                   {"x-mailcore-image:${one.gif}"}},
        MessageRow{"image_attachment_preview",
                   "From: a@example.com\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\n"
                   "\n"
                   "--b\n"
                   "Content-Type: text/plain\n"
                   "\n"
                   "A photo.\n"
                   "--b\n"
                   "Content-Type: image/png; name=\"photo.png\"\n"
                   "Content-Disposition: attachment; filename=\"photo.png\"\n"
                   "Content-Transfer-Encoding: base64\n"
                   "\n"
                   "iVBORw0KGgo=\n"
                   "--b\n"
                   "Content-Type: application/octet-stream; name=\"scan.JPG\"\n"
                   "Content-Disposition: attachment; filename=\"scan.JPG\"\n"
                   "\n"
                   "xx\n"
                   "--b--\n",
                   {},
                   {"A photo.</div><hr style=",
                    "/><img src=\"x-mailcore-image:${photo.png}\"/><img src=\"x-mailcore-image:${scan.JPG}\"/>"},
                   {"mco-attachment"}},
        MessageRow{"pdf_attachment_block", kPDFMessage, {},
                   {"See the report.</div><hr", ">report.pdf, 45 bytes</div>", ">empty.bin</div>"},
                   {"x-mailcore-image"}},
        MessageRow{"nameless_attachment_named_by_type",
                   "From: a@example.com\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\n"
                   "\n"
                   "--b\n"
                   "Content-Type: application/pdf\n"
                   "\n"
                   "%PDF-1.4\n"
                   "--b--\n",
                   {},
                   {">Untitled.pdf, 8 bytes</div>"},
                   {}},
        MessageRow{"delegate_templates",
                   kPDFMessage,
                   {.messageTemplate = "<main>{{HEADER}}|{{BODY}}</main>",
                    .attachmentTemplate =
                        "[{{FILENAME}}{{#HASSIZE}} ({{SIZE}}){{/HASSIZE}}{{#NOSIZE}} (no size){{/NOSIZE}} {{UNIQUEID}}]",
                    .separatorTemplate = "<SEP>"},
                   {"<main><div class=\"mco-main-header\"><div><b>From:</b>", "</div>|<div style=\"white-space",
                    "report.</div><SEP>[report.pdf (45 bytes) ${report.pdf}][empty.bin (no size) ${empty.bin}]</main>"},
                   {"&lt;div", "mco-attachment"}},
        MessageRow{"delegate_triple_braces_and_filters",
                   "From: a@example.com\nSubject: S\n\n1 < 2\n",
                   {.messageTemplate = "{{{HEADER}}}<hr>{{{BODY}}}", .tagParts = true},
                   {"<article><div class=\"mco-main-header\">", "<hr><section><div style=", "1 &lt; 2\n</div></section></article>"},
                   {}},
        MessageRow{"delegate_invalid_template_kept_literally",
                   "From: a@example.com\nSubject: S & T\n\nbody text\n",
                   {.messageTemplate = "<x>{{HEADER}}{{#OPEN}}<y>{{BODY}}</y>"},
                   {"<x><div class=\"mco-main-header\">", "S &amp; T", "<y><div style=", "body text\n</div></y>"},
                   {"{{"}},
        MessageRow{"delegate_hides_parts", kPDFMessage, {.hiddenType = "application/pdf"},
                   {"See the report.", "empty.bin"},
                   {"report.pdf"}},
        MessageRow{"delegate_image_template",
                   "From: a@example.com\n"
                   "Content-Type: image/jpeg; name=\"a&b.jpg\"\n"
                   "Content-ID: <c&d@x>\n"
                   "\n"
                   "xx\n",
                   {.imageTemplate = "<figure id=\"{{CONTENTID}}\"><img src=\"{{URL}}\"/>{{FILENAME}}</figure>"},
                   {"<figure id=\"c&amp;d@x\"><img src=\"x-mailcore-image:${a&b.jpg}\"/>a&amp;b.jpg</figure>"},
                   {}},
        MessageRow{"embedded_message",
                   "From: outer@example.com\n"
                   "Subject: Fwd\n"
                   "Content-Type: multipart/mixed; boundary=\"b\"\n"
                   "\n"
                   "--b\n"
                   "Content-Type: text/plain\n"
                   "\n"
                   "Outer text.\n"
                   "--b\n"
                   "Content-Type: message/rfc822\n"
                   "\n"
                   "From: Bob <bob@example.com>\n"
                   "To: ann@example.com\n"
                   "Subject: Inner <subject>\n"
                   "Date: Tue, 01 Mar 2022 23:59:59 -0500\n"
                   "Content-Type: text/html\n"
                   "\n"
                   "<html><body><p>inner body &amp; more</p></body></html>\n"
                   "--b--\n",
                   {},
                   {"Outer text.", "<div class=\"mco-embedded-message\"", "<div class=\"mco-embedded-header\"",
                    "<b>From:</b> Bob &lt;bob@example.com&gt;</div>", "<b>Subject:</b> Inner &lt;subject&gt;</div>",
                    "<b>Date:</b> Wednesday, 2 March 2022 at 04:59:59 UTC</div>", "<p>inner body &amp; more</p>"},
                   {"<body"}},
        MessageRow{"enriched_text",
                   "From: a@example.com\n"
                   "Content-Type: text/enriched\n"
                   "\n"
                   "<bold>Bold</bold> and <<angle>\n"
                   "same paragraph\n"
                   "\n"
                   "next<param>ignored</param>\n",
                   {},
                   {"Bold and &lt;angle&gt; same paragraph\nnext"},
                   {"bold>", "ignored"}},
        MessageRow{"header_only_message", "From: a@example.com\nSubject: Lonely\n", {},
                   {"<b>Subject:</b> Lonely</div>"},
                   {"<b>To:</b>", "<b>Date:</b>", "white-space"}}),
    rowName<MessageRow>);

// ---- The <body> of HTML documents ------------------------------------------------------

struct FragmentRow {
    const char *name;
    const char *html;
    const char *fragment;
};

void PrintTo(const FragmentRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererFragments : public ::testing::TestWithParam<FragmentRow> {};

TEST_P(MCOHTMLRendererFragments, KeepsWhatTheBodyShows)
{
    const FragmentRow &row = GetParam();
    EXPECT_EQ(MCOHTMLRenderer::htmlBodyFragment(QString::fromUtf8(row.html)).toStdString(), row.fragment);
}

INSTANTIATE_TEST_SUITE_P(
    MCOHTMLRenderer, MCOHTMLRendererFragments,
    ::testing::Values(
        FragmentRow{"document", "<html><head><title>x</title></head><body><p>a</p></body></html>", "<p>a</p>"},
        FragmentRow{"no_body_tag", "<p>a</p><script>x()</script><p>b</p>", "<p>a</p><p>b</p>"},
        FragmentRow{"meta_charset", "<meta charset=\"koi8-r\"><div>x</div>", "<div>x</div>"},
        FragmentRow{"meta_http_equiv_in_body",
                    "<body><META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=big5\"><p>x</p></body>",
                    "<p>x</p>"},
        FragmentRow{"meta_refresh_in_body", "<body><meta http-equiv=refresh content=\"0;url=http://x\">y</body>", "y"},
        FragmentRow{"other_meta_kept", "<body><meta name=\"viewport\" content=\"width=device-width\">y</body>",
                    "<meta name=\"viewport\" content=\"width=device-width\">y"},
        FragmentRow{"head_styles_kept", "<head><style>.a { color: red }</style><link rel=stylesheet href=x.css></head>"
                                        "<body>x</body>",
                    "<style>.a { color: red }</style>x"},
        FragmentRow{"body_style_kept", "<body bgcolor=\"#ffffff\" style='font: 12px \"Arial\"'>x</body>",
                    "<div style=\"background-color: #ffffff; font: 12px &quot;Arial&quot;\">x</div>"},
        FragmentRow{"script_with_tricky_content",
                    "<p>a</p><script src=\"x>y\">if (a<b) { s = '</p>'; }</script ><p>b</p>", "<p>a</p><p>b</p>"},
        FragmentRow{"script_unclosed", "<p>a</p><script>x", "<p>a</p>"},
        FragmentRow{"script_upper_case", "a<SCRIPT LANGUAGE=JavaScript>x</SCRIPT>b", "ab"},
        FragmentRow{"script_end_tag_lookalike", "a<script>x</scripts>y</script>b", "ab"},
        FragmentRow{"comments_dropped", "a<!-- <script> -->b<!--[if mso]><x><![endif]-->c", "abc"},
        FragmentRow{"script_text_in_attribute", "<a title=\"<script>\">x</a>", "<a title=\"<script>\">x</a>"},
        FragmentRow{"lone_angle_brackets", "a < b > c <3 </ d", "a < b > c <3 </ d"},
        FragmentRow{"unclosed_quote", "<p class=\"x>y</p>", "<p class=\"x>y</p>"},
        FragmentRow{"doctype_and_processing_instruction",
                    "<?xml version=\"1.0\"?><!DOCTYPE html PUBLIC \"-//W3C//DTD XHTML 1.0//EN\"><body>x</body>", "x"},
        FragmentRow{"outlook_namespaced_tags", "<body><p class=MsoNormal>x<o:p></o:p></p></body>",
                    "<p class=MsoNormal>x<o:p></o:p></p>"},
        FragmentRow{"head_ended_by_content", "<head><title>t</title><p>x</p>", "<p>x</p>"},
        FragmentRow{"base_dropped", "<body><base href=\"http://x/\"><a href=\"y\">y</a></body>", "<a href=\"y\">y</a>"},
        FragmentRow{"after_body_kept", "<body>a</body>b</html>", "ab"},
        FragmentRow{"cid_images_untouched", "<img src=\"cid:part1.abc@example.com\" width=10>",
                    "<img src=\"cid:part1.abc@example.com\" width=10>"},
        FragmentRow{"empty", "", ""}),
    rowName<FragmentRow>);

// ---- Plain and enriched text -------------------------------------------------------------

struct TextRow {
    const char *name;
    const char *text;
    const char *html; // inside the pre-wrap block
};

void PrintTo(const TextRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererPlainText : public ::testing::TestWithParam<TextRow> {};

TEST_P(MCOHTMLRendererPlainText, EscapesAndKeepsLines)
{
    const TextRow &row = GetParam();
    const QString html = MCOHTMLRenderer::plainTextToHTML(QString::fromUtf8(row.text));
    static const QRegularExpression block(QStringLiteral("^<div style=\"white-space: pre-wrap;[^\"]*\">(.*)</div>$"),
                                          QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch m = block.match(html);
    ASSERT_TRUE(m.hasMatch()) << html.toStdString();
    EXPECT_EQ(m.captured(1).toStdString(), row.html);
}

INSTANTIATE_TEST_SUITE_P(MCOHTMLRenderer, MCOHTMLRendererPlainText,
                         ::testing::Values(TextRow{"escapes", "<a href=\"x\">&amp;</a>",
                                                   "&lt;a href=\"x\"&gt;&amp;amp;&lt;/a&gt;"},
                                           TextRow{"crlf", "one\r\ntwo\r\n", "one\ntwo\n"},
                                           TextRow{"lone_cr", "one\rtwo", "one\ntwo"},
                                           TextRow{"quoted_lines_keep_text", "> a\n>> b\n", "&gt; a\n&gt;&gt; b\n"},
                                           TextRow{"unicode", "\xE4\xBD\xA0\xE5\xA5\xBD \xD0\xBF", "\xE4\xBD\xA0\xE5\xA5\xBD \xD0\xBF"},
                                           TextRow{"empty", "", ""}),
                         rowName<TextRow>);

class MCOHTMLRendererEnriched : public ::testing::TestWithParam<TextRow> {};

TEST_P(MCOHTMLRendererEnriched, ReadsAsText)
{
    const TextRow &row = GetParam();
    EXPECT_EQ(MCOHTMLRenderer::enrichedToPlainText(QString::fromUtf8(row.text)).toStdString(), row.html);
}

INSTANTIATE_TEST_SUITE_P(MCOHTMLRenderer, MCOHTMLRendererEnriched,
                         ::testing::Values(TextRow{"commands_dropped", "<bold>a</bold> <italic>b</italic>", "a b"},
                                           TextRow{"double_angle", "1 << 2", "1 < 2"},
                                           TextRow{"line_breaks", "a\r\nb\r\n\r\nc\n\n\nd", "a b\nc\n\nd"},
                                           TextRow{"nofill", "<nofill>a\nb</nofill>", "a\nb"},
                                           TextRow{"param", "<color><param>red</param>x</color>", "x"},
                                           TextRow{"unclosed_command", "a <bold", "a <bold"}),
                         rowName<TextRow>);

// ---- Dates and sizes ---------------------------------------------------------------------

struct DateRow {
    const char *name;
    QDateTime date;
    const char *text;
};

void PrintTo(const DateRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererDates : public ::testing::TestWithParam<DateRow> {};

TEST_P(MCOHTMLRendererDates, FormatsInUTC)
{
    EXPECT_EQ(MCOHTMLRenderer::formattedDate(GetParam().date).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    MCOHTMLRenderer, MCOHTMLRendererDates,
    ::testing::Values(
        DateRow{"utc", QDateTime(QDate(2014, 1, 18), QTime(8, 16, 20), QTimeZone::utc()),
                "Saturday, 18 January 2014 at 08:16:20 UTC"},
        DateRow{"offset_crosses_midnight",
                QDateTime(QDate(1999, 12, 31), QTime(22, 0, 5), QTimeZone(-3 * 3600)),
                "Saturday, 1 January 2000 at 01:00:05 UTC"},
        DateRow{"leap_day", QDateTime(QDate(2024, 2, 29), QTime(0, 0, 0), QTimeZone::utc()),
                "Thursday, 29 February 2024 at 00:00:00 UTC"},
        DateRow{"invalid", QDateTime(), ""}),
    rowName<DateRow>);

struct SizeRow {
    const char *name;
    qint64 bytes;
    const char *text;
};

void PrintTo(const SizeRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererSizes : public ::testing::TestWithParam<SizeRow> {};

TEST_P(MCOHTMLRendererSizes, ReadsLikeAPerson)
{
    EXPECT_EQ(MCOHTMLRenderer::formattedSize(GetParam().bytes).toStdString(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(MCOHTMLRenderer, MCOHTMLRendererSizes,
                         ::testing::Values(SizeRow{"zero", 0, "0 bytes"}, SizeRow{"one", 1, "1 byte"},
                                           SizeRow{"bytes", 1023, "1023 bytes"}, SizeRow{"one_kb", 1024, "1 KB"},
                                           SizeRow{"half_kb_rounds_up", 1536, "2 KB"},
                                           SizeRow{"twelve_kb", 12 * 1024 + 100, "12 KB"},
                                           SizeRow{"almost_mb", 1024 * 1024 - 1, "1 MB"},
                                           SizeRow{"mb_with_tenth", 1572864, "1.5 MB"},
                                           SizeRow{"gb", 1024LL * 1024 * 1024, "1 GB"},
                                           SizeRow{"gb_with_tenth", 2684354560LL, "2.5 GB"},
                                           SizeRow{"negative", -5, "0 bytes"}),
                         rowName<SizeRow>);

// ---- Real messages -----------------------------------------------------------------------

struct FixtureRow {
    const char *name;
    const char *fixture;
    std::vector<const char *> present;
};

void PrintTo(const FixtureRow &row, std::ostream *os) { *os << row.fixture; }

class MCOHTMLRendererFixtures : public ::testing::TestWithParam<FixtureRow> {};

TEST_P(MCOHTMLRendererFixtures, ShowsDecodedText)
{
    REQUIRE_FIXTURES();
    const FixtureRow &row = GetParam();
    const QByteArray bytes = readFixture(QString::fromUtf8(row.fixture));
    ASSERT_FALSE(bytes.isEmpty()) << row.fixture;
    const auto message = MCOMessageParser::messageParserWithData(bytes);
    const std::string page = MCOHTMLRenderer::htmlForMessage(*message, nullptr).toStdString();
    for (const char *wanted : row.present)
        EXPECT_NE(page.find(wanted), std::string::npos) << "missing: " << wanted << "\n" << page;
}

INSTANTIATE_TEST_SUITE_P(
    MCOHTMLRenderer, MCOHTMLRendererFixtures,
    ::testing::Values(
        FixtureRow{"japanese_iso_2022_jp", "eml/cjk/japanese.eml",
                   {"\xE3\x81\x8B\xE3\x81\x8D\xE3\x81\x8F\xE3\x81\x88\xE3\x81\x93", // かきくえこ
                    "<b>Subject:</b> \xE3\x81\xBE\xE3\x81\xBF\xE3\x82\x80\xE3\x82\x81\xE3\x82\x82</div>"}}, // まみむめも
        FixtureRow{"japanese_shift_jis", "eml/cjk/japanese_shift_jis.eml",
                   // このメールはテスト用のメールです。
                   {"\xE3\x81\x93\xE3\x81\xAE\xE3\x83\xA1\xE3\x83\xBC\xE3\x83\xAB\xE3\x81\xAF\xE3\x83\x86\xE3\x82\xB9"
                    "\xE3\x83\x88\xE7\x94\xA8\xE3\x81\xAE\xE3\x83\xA1\xE3\x83\xBC\xE3\x83\xAB\xE3\x81\xA7\xE3\x81\x99"
                    "\xE3\x80\x82"}},
        FixtureRow{"japanese_iso_2022_crlf", "eml/cjk/japanese_iso_2022.eml",
                   {"\xE3\x81\x99\xE3\x81\xBF\xE3\x81\xBE\xE3\x81\x9B\xE3\x82\x93\xE3\x80\x82"}}, // すみません。
        FixtureRow{"korean_ks_c_5601", "eml/cjk/ks_c_5601-1987.eml",
                   {"\xEC\x8A\xA4\xED\x8B\xB0\xED\x95\xB4"}}, // 스티해
        FixtureRow{"koi8_r_with_winmail", "tnef/ukr.eml",
                   {"\xD1\x88\xD0\xBE\xD1\x81\xD1\x82\xD0\xB8\xD0\xB9", // шостий
                    "<b>Subject:</b> rr test 7</div>", ">winmail.dat, "}}),
    rowName<FixtureRow>);

TEST(MCOHTMLRendererFixtureRun, EveryMessageRendersSafely)
{
    REQUIRE_FIXTURES();
    int rendered = 0;
    QDirIterator it(TestSupport::fixturesDir(), {QStringLiteral("*.eml"), QStringLiteral("*.msg")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        const auto message = MCOMessageParser::messageParserWithData(file.readAll());
        const QString html = MCOHTMLRenderer::htmlForMessage(*message, nullptr);
        EXPECT_FALSE(html.isEmpty()) << path.toStdString();
        EXPECT_FALSE(html.contains(QLatin1String("<script"), Qt::CaseInsensitive)) << path.toStdString();
        EXPECT_FALSE(html.contains(QLatin1String("<meta charset"), Qt::CaseInsensitive)) << path.toStdString();
        EXPECT_EQ(MCOHTMLRenderer::htmlForMessage(*message, nullptr), html) << path.toStdString();
        ++rendered;
    }
    EXPECT_GT(rendered, 50);
}

// ---- Size --------------------------------------------------------------------------------

struct HugeRow {
    const char *name;
    const char *contentType;
    const char *unit; // repeated to about 5 MB
    const char *expected;
};

void PrintTo(const HugeRow &row, std::ostream *os) { *os << row.name; }

class MCOHTMLRendererHuge : public ::testing::TestWithParam<HugeRow> {};

// Speed is the benchmarks' business; here a 5 MB body must come through whole and clean.
TEST_P(MCOHTMLRendererHuge, RendersFiveMegabytesWhole)
{
    const HugeRow &row = GetParam();
    QByteArray body;
    const QByteArray unit(row.unit);
    body.reserve(5 * 1024 * 1024 + unit.size());
    while (body.size() < 5 * 1024 * 1024)
        body += unit;
    const QByteArray rfc822 = QByteArray("From: a@example.com\nSubject: Big\nContent-Type: ") + row.contentType
        + "\nContent-Transfer-Encoding: 8bit\n\n" + body;
    const auto message = MCOMessageParser::messageParserWithData(rfc822);
    const QString html = MCOHTMLRenderer::htmlForMessage(*message, nullptr);
    EXPECT_GT(html.size(), 3 * 1024 * 1024);
    EXPECT_TRUE(html.contains(QString::fromUtf8(row.expected)));
    EXPECT_FALSE(html.contains(QLatin1String("<script"), Qt::CaseInsensitive));
}

INSTANTIATE_TEST_SUITE_P(
    MCOHTMLRenderer, MCOHTMLRendererHuge,
    ::testing::Values(HugeRow{"html", "text/html; charset=utf-8",
                              "<p style=\"color: red\">Hello <b>w\xC3\xB6rld</b> &amp; <a href='x'>more</a></p>"
                              "<!-- c --><script>x()</script>\n",
                              "<p style=\"color: red\">Hello <b>w\xC3\xB6rld</b> &amp; <a href='x'>more</a></p>\n"},
                      HugeRow{"html_unbalanced_quotes", "text/html; charset=utf-8", "<p title=\"x>y\n",
                              "<p title=\"x>y\n"},
                      HugeRow{"plain", "text/plain; charset=utf-8", "a < b & c > d caf\xC3\xA9\n",
                              "a &lt; b &amp; c &gt; d caf\xC3\xA9\n"}),
    rowName<HugeRow>);

} // namespace
