#include "mailadapter/MCOHTMLRenderer.h"

#include "Utils/Log.h"
#include "mailadapter/MCOAttachment.h"
#include "mailadapter/MCOMessagePart.h"
#include "mailadapter/MCOPartClassifier.h"

#include <kainjow/mustache.hpp>

#include <QList>
#include <QSet>
#include <QStringList>

#include <exception>
#include <limits>
#include <string>
#include <utility>

// ---- Delegate defaults -------------------------------------------------------------

bool MCOHTMLRendererDelegate::canPreviewPart(const MCOAbstractPart &part)
{
    static const QSet<QString> types{QStringLiteral("image/png"), QStringLiteral("image/gif"),
                                     QStringLiteral("image/jpg"), QStringLiteral("image/jpeg")};
    static const QSet<QString> extensions{QStringLiteral("png"), QStringLiteral("gif"), QStringLiteral("jpg"),
                                          QStringLiteral("jpeg")};
    if (types.contains(part.mimeType()))
        return true;
    const qsizetype dot = part.filename().lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && extensions.contains(part.filename().mid(dot + 1).toLower());
}

bool MCOHTMLRendererDelegate::shouldShowPart(const MCOAbstractPart &) { return true; }
QString MCOHTMLRendererDelegate::templateForMessage(const MCOAbstractMessage &) { return {}; }
QString MCOHTMLRendererDelegate::templateForMainHeader(const MCOMessageHeader &) { return {}; }
QString MCOHTMLRendererDelegate::templateForImage(const MCOAbstractPart &) { return {}; }
QString MCOHTMLRendererDelegate::templateForAttachment(const MCOAbstractPart &) { return {}; }
QString MCOHTMLRendererDelegate::templateForEmbeddedMessage(const MCOMessagePart &) { return {}; }
QString MCOHTMLRendererDelegate::templateForEmbeddedMessageHeader(const MCOMessageHeader &) { return {}; }
QString MCOHTMLRendererDelegate::templateForAttachmentSeparator() { return {}; }
QString MCOHTMLRendererDelegate::filteredHTMLForPart(const QString &html) { return html; }
QString MCOHTMLRendererDelegate::filteredHTMLForMessage(const QString &html) { return html; }

namespace {

// ---- Built-in templates ------------------------------------------------------------
// Each on one line: mustache drops lines that hold only a section tag, which would make
// the output depend on how a template happens to be wrapped.

const char kMessageTemplate[] =
    "<div style=\"padding-bottom: 20px; font-family: Helvetica, Arial, sans-serif; font-size: 13px;\">{{HEADER}}</div>"
    "<div>{{BODY}}</div>";

#define MCO_HEADER_FIELDS                                                                                           \
    "{{#HASFROM}}<div><b>From:</b> {{FROM}}</div>{{/HASFROM}}"                                                       \
    "{{#HASTO}}<div><b>To:</b> {{TO}}</div>{{/HASTO}}"                                                               \
    "{{#HASCC}}<div><b>Cc:</b> {{CC}}</div>{{/HASCC}}"                                                               \
    "{{#HASBCC}}<div><b>Bcc:</b> {{BCC}}</div>{{/HASBCC}}"                                                           \
    "{{#HASSUBJECT}}<div><b>Subject:</b> {{SUBJECT}}</div>{{/HASSUBJECT}}"                                           \
    "{{#HASDATE}}<div><b>Date:</b> {{DATE}}</div>{{/HASDATE}}"

const char kMainHeaderTemplate[] = "<div class=\"mco-main-header\">" MCO_HEADER_FIELDS "</div>";

const char kEmbeddedHeaderTemplate[] =
    "<div class=\"mco-embedded-header\" style=\"padding-bottom: 12px; font-family: Helvetica, Arial, sans-serif; "
    "font-size: 13px;\">" MCO_HEADER_FIELDS "</div>";

#undef MCO_HEADER_FIELDS

const char kEmbeddedMessageTemplate[] =
    "<div class=\"mco-embedded-message\" style=\"margin: 12px 0; padding-left: 12px; border-left: 2px solid "
    "#cccccc;\">{{HEADER}}{{BODY}}</div>";

const char kImageTemplate[] = "<img src=\"{{URL}}\"/>";

const char kAttachmentTemplate[] =
    "<div class=\"mco-attachment\" style=\"margin: 4px 0; font-family: Helvetica, Arial, sans-serif; "
    "font-size: 12px;\">{{#HASSIZE}}{{FILENAME}}, {{SIZE}}{{/HASSIZE}}{{#NOSIZE}}{{FILENAME}}{{/NOSIZE}}</div>";

const char kSeparatorTemplate[] = "<hr style=\"border: 0; border-top: 1px solid #cccccc; margin: 12px 0;\"/>";

// Trees come from the bounded parser; this only guards hand-made ones.
constexpr int kMaxDepth = 256;

QString orDefault(const QString &fromDelegate, const char *builtIn)
{
    return fromDelegate.isNull() ? QString::fromUtf8(builtIn) : fromDelegate;
}

// ---- Template expansion ------------------------------------------------------------

// The values of one template. HTML values never go through mustache: it sees a marker
// instead, which is swapped for the HTML afterwards, so that "{{BODY}}" inserts the
// body unescaped and a 5 MB body is not copied through std::string and the renderer.
class TemplateValues {
public:
    void text(const char *name, const QString &value) { m_text.append({name, value}); }
    void flag(const char *name, bool on) { m_flags.append({name, on}); }
    void html(const char *name, const QString &value) { m_html.append({name, value}); }

    QString expand(const QString &tmpl) const
    {
        if (tmpl.isEmpty())
            return {};
        namespace mu = kainjow::mustache;
        mu::mustache engine(tmpl.toStdString());
        if (engine.is_valid()) {
            mu::data data;
            for (const auto &[name, value] : m_text)
                data.set(name, value.toStdString());
            for (const auto &[name, on] : m_flags)
                data.set(name, mu::data(on ? mu::data::type::bool_true : mu::data::type::bool_false));
            for (qsizetype i = 0; i < m_html.size(); ++i)
                data.set(m_html[i].first, marker(i).toStdString());
            const std::string rendered = engine.render(data);
            if (engine.is_valid())
                return spliceHTML(QString::fromStdString(rendered));
        }
        TLog(QStringLiteral("HTML renderer: template is not valid mustache (%1), placeholders replaced literally: %2")
                 .arg(QString::fromStdString(engine.error_message()), tmpl.left(200)));
        return literal(tmpl);
    }

private:
    static QString markerPrefix() { return QStringLiteral("\x01\x02TARNWICK-HTML-"); }
    static QString marker(qsizetype i) { return markerPrefix() + QString::number(i) + QStringLiteral("\x02\x01"); }

    QString spliceHTML(const QString &rendered) const
    {
        if (m_html.isEmpty())
            return rendered;
        const QString prefix = markerPrefix();
        QString out;
        qsizetype total = rendered.size();
        for (const auto &entry : m_html)
            total += entry.second.size();
        out.reserve(total);
        qsizetype from = 0;
        for (qsizetype at = rendered.indexOf(prefix); at >= 0; at = rendered.indexOf(prefix, from)) {
            out += QStringView(rendered).sliced(from, at - from);
            const qsizetype digits = at + prefix.size();
            const qsizetype close = rendered.indexOf(QStringLiteral("\x02\x01"), digits);
            bool ok = false;
            const qsizetype index =
                close < 0 ? -1 : QStringView(rendered).sliced(digits, close - digits).toLongLong(&ok);
            if (!ok || index < 0 || index >= m_html.size()) {
                out += prefix;
                from = digits;
                continue;
            }
            out += m_html[index].second;
            from = close + 2;
        }
        out += QStringView(rendered).sliced(from);
        return out;
    }

    const QString *textValue(QStringView name) const
    {
        for (const auto &entry : m_text) {
            if (name == QLatin1StringView(entry.first))
                return &entry.second;
        }
        return nullptr;
    }
    const QString *htmlValue(QStringView name) const
    {
        for (const auto &entry : m_html) {
            if (name == QLatin1StringView(entry.first))
                return &entry.second;
        }
        return nullptr;
    }
    bool flagValue(QStringView name) const
    {
        for (const auto &entry : m_flags) {
            if (name == QLatin1StringView(entry.first))
                return entry.second;
        }
        return false;
    }

    // For a delegate template mustache refuses (an unclosed section, a header value
    // pasted into it that looks like a tag): variables and sections are read one by one,
    // whatever cannot be read is kept as text, so that the page still shows everything.
    QString literal(const QString &tmpl) const
    {
        const QStringView t(tmpl);
        QString out;
        qsizetype i = 0;
        while (i < t.size()) {
            const qsizetype open = t.indexOf(u"{{", i);
            if (open < 0)
                break;
            const bool triple = t.sliced(open).startsWith(u"{{{");
            const qsizetype inner = open + (triple ? 3 : 2);
            const qsizetype close = t.indexOf(triple ? u"}}}" : u"}}", inner);
            if (close < 0)
                break;
            out += t.sliced(i, open - i);
            i = close + (triple ? 3 : 2);
            QStringView tag = t.sliced(inner, close - inner).trimmed();
            const QChar sigil = tag.isEmpty() ? QChar() : tag.front();
            if (sigil == u'#' || sigil == u'^') {
                const QStringView name = tag.sliced(1).trimmed();
                const bool show = flagValue(name) == (sigil == u'#');
                if (!show) {
                    const QString end = QStringLiteral("{{/") + name.toString() + QStringLiteral("}}");
                    // A section never closed is what made mustache refuse: its text stays.
                    if (const qsizetype endAt = t.indexOf(end, i); endAt >= 0)
                        i = endAt + end.size();
                }
                continue;
            }
            if (sigil == u'/' || sigil == u'!')
                continue;
            const bool raw = triple || sigil == u'&';
            if (sigil == u'&')
                tag = tag.sliced(1).trimmed();
            if (const QString *html = htmlValue(tag))
                out += *html;
            else if (const QString *text = textValue(tag))
                out += raw ? *text : MCOHTMLRenderer::escapeHTML(*text);
        }
        out += t.sliced(i);
        return out;
    }

    QList<std::pair<const char *, QString>> m_text;
    QList<std::pair<const char *, bool>> m_flags;
    QList<std::pair<const char *, QString>> m_html;
};

// ---- Header values -----------------------------------------------------------------

QString addressText(const MCOAddress &address)
{
    if (address.displayName().isEmpty())
        return address.mailbox();
    if (address.mailbox().isEmpty())
        return address.displayName();
    return address.displayName() + QStringLiteral(" <") + address.mailbox() + QLatin1Char('>');
}

QString addressListText(const MCOAddressList &list)
{
    QStringList out;
    for (const MCOAddress &address : list) {
        if (!address.isEmpty())
            out.append(addressText(address));
    }
    return out.join(QStringLiteral(", "));
}

TemplateValues headerValues(const MCOMessageHeader &header)
{
    TemplateValues values;
    const auto field = [&values](const char *name, const char *flag, const QString &text) {
        values.text(name, text);
        values.flag(flag, !text.isEmpty());
    };
    field("FROM", "HASFROM", header.from().isEmpty() ? QString() : addressText(header.from()));
    field("TO", "HASTO", addressListText(header.to()));
    field("CC", "HASCC", addressListText(header.cc()));
    field("BCC", "HASBCC", addressListText(header.bcc()));
    field("SUBJECT", "HASSUBJECT", header.subject());
    field("DATE", "HASDATE", MCOHTMLRenderer::formattedDate(header.date()));
    return values;
}

// ---- Attachment values -------------------------------------------------------------

// The parser leaves nameless leaves nameless; the page still needs something to show.
QString displayName(const MCOAbstractPart &part)
{
    if (!part.filename().isEmpty())
        return part.filename();
    static const std::pair<const char *, const char *> suffixes[] = {
        {"application/pdf", ".pdf"},      {"image/png", ".png"},      {"image/jpeg", ".jpg"},
        {"image/jpg", ".jpg"},            {"image/gif", ".gif"},      {"image/tiff", ".tiff"},
        {"application/zip", ".zip"},      {"text/plain", ".txt"},     {"text/html", ".html"},
        {"text/calendar", ".ics"},        {"text/vcard", ".vcf"},     {"text/x-vcard", ".vcf"},
        {"message/rfc822", ".eml"},       {"application/ms-tnef", ".dat"},
    };
    for (const auto &[type, suffix] : suffixes) {
        if (part.mimeType() == QLatin1StringView(type))
            return QStringLiteral("Untitled") + QLatin1StringView(suffix);
    }
    return QStringLiteral("Untitled");
}

TemplateValues partValues(const MCOAbstractPart &part)
{
    TemplateValues values;
    values.text("URL", QLatin1StringView(MCOHTMLRenderer::kImageScheme) + QLatin1Char(':') + part.uniqueID());
    values.text("CONTENTID", part.contentID());
    values.flag("HASCONTENTID", !part.contentID().isEmpty());
    values.text("UNIQUEID", part.uniqueID());
    values.text("FILENAME", displayName(part));
    values.text("MIMETYPE", part.mimeType());
    const qint64 size = part.size();
    values.text("SIZE", size > 0 ? MCOHTMLRenderer::formattedSize(size) : QString());
    values.flag("HASSIZE", size > 0);
    values.flag("NOSIZE", size <= 0);
    return values;
}

// ---- Walking the tree --------------------------------------------------------------

class Renderer {
public:
    Renderer(const MCOAbstractMessage &message, MCOHTMLRendererDelegate &delegate)
        : m_message(message), m_delegate(delegate)
    {
        for (const MCOAbstractPartPtr &part : message.htmlInlineAttachments())
            m_inline.insert(part.get());
    }

    QString header() const
    {
        const MCOMessageHeader &header = m_message.header();
        return headerValues(header).expand(orDefault(m_delegate.templateForMainHeader(header), kMainHeaderTemplate));
    }

    QString body()
    {
        const MCOAbstractPartPtr root = m_message.mainPart();
        return root ? render(*root, 0).html : QString();
    }

    QString page(const QString &header, const QString &body) const
    {
        TemplateValues values;
        values.html("HEADER", header);
        values.html("BODY", body);
        return values.expand(orDefault(m_delegate.templateForMessage(m_message), kMessageTemplate));
    }

private:
    // What a rendered piece begins and ends with, so that the separator goes only where
    // bodies and attachment blocks meet.
    enum class Kind { None, Body, Block };
    struct Piece {
        QString html;
        Kind first = Kind::None;
        Kind last = Kind::None;
    };

    Piece render(const MCOAbstractPart &part, int depth)
    {
        if (depth > kMaxDepth)
            return {};
        switch (part.kind()) {
        case MCOAbstractPart::Kind::Single:
            return renderLeaf(part);
        case MCOAbstractPart::Kind::Message:
            return renderMessagePart(part, depth);
        case MCOAbstractPart::Kind::Multipart:
            break;
        }
        const QList<MCOAbstractPartPtr> children = part.childParts();
        if (children.isEmpty())
            return {};
        if (part.mimeType() == QLatin1String("multipart/alternative"))
            return render(*bestAlternative(children), depth + 1);
        Piece out;
        qsizetype rootIndex = -1;
        if (part.mimeType() == QLatin1String("multipart/related")) {
            rootIndex = relatedRoot(children);
            append(out, render(*children[rootIndex], depth + 1));
        }
        for (qsizetype i = 0; i < children.size(); ++i) {
            if (i != rootIndex)
                append(out, render(*children[i], depth + 1));
        }
        return out;
    }

    Piece renderLeaf(const MCOAbstractPart &part)
    {
        if (!m_delegate.shouldShowPart(part))
            return {};
        if (MCOPartClassifier::isBodyText(part)) {
            // An IMAP leaf has a structure but no text to show.
            const auto *leaf = dynamic_cast<const MCOAttachment *>(&part);
            const QString text = leaf ? leaf->decodedString() : QString();
            if (text.isEmpty())
                return {};
            QString html;
            if (part.mimeType() == QLatin1String("text/html"))
                html = MCOHTMLRenderer::htmlBodyFragment(text);
            else if (part.mimeType() == QLatin1String("text/enriched"))
                html = MCOHTMLRenderer::plainTextToHTML(MCOHTMLRenderer::enrichedToPlainText(text));
            else
                html = MCOHTMLRenderer::plainTextToHTML(text);
            return {m_delegate.filteredHTMLForPart(html), Kind::Body, Kind::Body};
        }
        // Shown where the HTML names it, through its cid: URL.
        if (m_inline.contains(&part))
            return {};
        const QString tmpl = m_delegate.canPreviewPart(part)
            ? orDefault(m_delegate.templateForImage(part), kImageTemplate)
            : orDefault(m_delegate.templateForAttachment(part), kAttachmentTemplate);
        return {partValues(part).expand(tmpl), Kind::Block, Kind::Block};
    }

    Piece renderMessagePart(const MCOAbstractPart &part, int depth)
    {
        if (!m_delegate.shouldShowPart(part))
            return {};
        const auto *message = dynamic_cast<const MCOMessagePart *>(&part);
        if (!message) {
            // An IMAP message part: no header of its own to show, only what it holds.
            Piece out;
            for (const MCOAbstractPartPtr &child : part.childParts())
                append(out, render(*child, depth + 1));
            return out;
        }
        const QString header = headerValues(message->header())
                                   .expand(orDefault(m_delegate.templateForEmbeddedMessageHeader(message->header()),
                                                     kEmbeddedHeaderTemplate));
        const QString body = message->mainPart() ? render(*message->mainPart(), depth + 1).html : QString();
        TemplateValues values;
        values.html("HEADER", header);
        values.html("BODY", body);
        return {values.expand(orDefault(m_delegate.templateForEmbeddedMessage(*message), kEmbeddedMessageTemplate)),
                Kind::Body, Kind::Body};
    }

    // 2: shows HTML, 1: shows plain text, 0: shows no body text.
    int alternativeScore(const MCOAbstractPart &child)
    {
        if (child.mimeType() == QLatin1String("multipart/related"))
            return 2;
        int score = 0;
        for (const MCOAbstractPartPtr &leaf : child.leaves()) {
            if (!MCOPartClassifier::isBodyText(*leaf) || !m_delegate.shouldShowPart(*leaf))
                continue;
            if (leaf->mimeType() == QLatin1String("text/html"))
                return 2;
            score = 1;
        }
        return score;
    }

    // Alternatives come in increasing order of faithfulness, so the last of the best wins.
    const MCOAbstractPartPtr &bestAlternative(const QList<MCOAbstractPartPtr> &children)
    {
        qsizetype best = children.size() - 1;
        int bestScore = -1;
        for (qsizetype i = 0; i < children.size(); ++i) {
            const int score = alternativeScore(*children[i]);
            if (score >= bestScore) {
                best = i;
                bestScore = score;
            }
        }
        return children[best];
    }

    qsizetype relatedRoot(const QList<MCOAbstractPartPtr> &children)
    {
        if (alternativeScore(*children.front()) > 0)
            return 0;
        for (qsizetype i = 1; i < children.size(); ++i) {
            if (alternativeScore(*children[i]) > 0)
                return i;
        }
        return 0;
    }

    void append(Piece &into, Piece &&next)
    {
        if (next.html.isEmpty())
            return;
        if (into.last != Kind::None && next.first != Kind::None && into.last != next.first)
            into.html += separator();
        into.html += next.html;
        if (into.first == Kind::None)
            into.first = next.first;
        into.last = next.last;
    }

    const QString &separator()
    {
        if (!m_separatorReady) {
            m_separator =
                TemplateValues().expand(orDefault(m_delegate.templateForAttachmentSeparator(), kSeparatorTemplate));
            m_separatorReady = true;
        }
        return m_separator;
    }

    const MCOAbstractMessage &m_message;
    MCOHTMLRendererDelegate &m_delegate;
    QSet<const MCOAbstractPart *> m_inline;
    QString m_separator;
    bool m_separatorReady = false;
};

// ---- HTML scanning -----------------------------------------------------------------
// Character tests run on raw UTF-16 units: the scanner touches every character of
// bodies of several megabytes, and must stay fast in unoptimised (sanitizer) builds too.

bool isAsciiAlpha(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z'); }

bool isHTMLSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\f'; }

bool nameIs(QStringView name, QLatin1StringView wanted) { return name.compare(wanted, Qt::CaseInsensitive) == 0; }

// The elements the cleaning acts on; everything else passes through unread.
enum class Element { Other, Base, Basefont, Bgsound, Body, Head, Html, Link, Meta, Noscript, Script, Style, Title };

Element elementOf(const char16_t *name, qsizetype length)
{
    static const std::pair<const char *, Element> known[] = {
        {"base", Element::Base},         {"basefont", Element::Basefont}, {"bgsound", Element::Bgsound},
        {"body", Element::Body},         {"head", Element::Head},         {"html", Element::Html},
        {"link", Element::Link},         {"meta", Element::Meta},         {"noscript", Element::Noscript},
        {"script", Element::Script},     {"style", Element::Style},       {"title", Element::Title},
    };
    if (length < 4 || length > 8)
        return Element::Other;
    char lower[9] = {};
    for (qsizetype i = 0; i < length; ++i) {
        const char16_t c = name[i];
        if (!isAsciiAlpha(c))
            return Element::Other;
        lower[i] = char(c | 0x20);
    }
    for (const auto &[text, element] : known) {
        if (qstrcmp(lower, text) == 0)
            return element;
    }
    return Element::Other;
}

// Scans a document once, tag by tag, the way an HTML engine tokenizes it (closely
// enough for the tags that are removed).
class HTMLScanner {
public:
    explicit HTMLScanner(QStringView html)
        : m_s(html), m_d(html.utf16()), m_n(html.size()), m_lastDouble(html.lastIndexOf(u'"')),
          m_lastSingle(html.lastIndexOf(u'\''))
    {
    }

    // Reads the attributes of the tag whose name ends at `from` and returns the index
    // after its closing ">" (the end of the document when it has none). `onAttribute`,
    // when given, gets each (name, raw value).
    template <typename OnAttribute>
    qsizetype attributes(qsizetype from, OnAttribute *onAttribute) const
    {
        const char16_t *d = m_d;
        const qsizetype n = m_n;
        qsizetype i = from;
        while (i < n) {
            while (i < n && (isHTMLSpace(d[i]) || d[i] == u'/'))
                ++i;
            if (i >= n)
                break;
            if (d[i] == u'>')
                return i + 1;
            const qsizetype nameStart = i;
            ++i; // a name may begin with "=", as engines read it
            while (i < n && !isHTMLSpace(d[i]) && d[i] != u'/' && d[i] != u'>' && d[i] != u'=')
                ++i;
            const qsizetype nameEnd = i;
            qsizetype j = i;
            while (j < n && isHTMLSpace(d[j]))
                ++j;
            if (j >= n || d[j] != u'=') {
                if (onAttribute)
                    (*onAttribute)(m_s.sliced(nameStart, nameEnd - nameStart), QStringView());
                continue;
            }
            ++j;
            while (j < n && isHTMLSpace(d[j]))
                ++j;
            if (j >= n)
                break;
            const char16_t quote = d[j];
            qsizetype valueStart = j;
            qsizetype valueEnd = j;
            if (quote == u'"' || quote == u'\'') {
                valueStart = j + 1;
                if ((quote == u'"' ? m_lastDouble : m_lastSingle) > j) {
                    valueEnd = m_s.indexOf(QChar(quote), valueStart);
                    i = valueEnd + 1;
                } else {
                    // A quote never closed would swallow the rest of the document; the
                    // value is taken to end at the tag's ">" instead.
                    const qsizetype gt = m_s.indexOf(u'>', valueStart);
                    valueEnd = gt < 0 ? n : gt;
                    i = valueEnd; // the ">" ends the tag on the next turn
                }
            } else {
                i = j;
                while (i < n && !isHTMLSpace(d[i]) && d[i] != u'>')
                    ++i;
                valueEnd = i;
            }
            if (onAttribute)
                (*onAttribute)(m_s.sliced(nameStart, nameEnd - nameStart),
                               m_s.sliced(valueStart, valueEnd - valueStart));
        }
        return n;
    }

    // The same, without looking at the attributes.
    qsizetype skipAttributes(qsizetype from) const
    {
        return attributes<void(QStringView, QStringView)>(from, nullptr);
    }

    // The index after the end tag `</name ...>` that closes a raw-text element (script,
    // style, title) opened before `from`; the end of the document when there is none.
    qsizetype afterEndTag(qsizetype from, QLatin1StringView name) const
    {
        const QString closing = QStringLiteral("</") + name;
        for (qsizetype at = m_s.indexOf(closing, from, Qt::CaseInsensitive); at >= 0;
             at = m_s.indexOf(closing, at + 1, Qt::CaseInsensitive)) {
            const qsizetype after = at + closing.size();
            if (after >= m_n)
                return m_n;
            const char16_t c = m_d[after];
            if (isHTMLSpace(c) || c == u'/' || c == u'>') {
                const qsizetype gt = m_s.indexOf(u'>', after);
                return gt < 0 ? m_n : gt + 1;
            }
        }
        return m_n;
    }

private:
    QStringView m_s;
    const char16_t *m_d;
    qsizetype m_n;
    qsizetype m_lastDouble;
    qsizetype m_lastSingle;
};

// Attribute values are copied as written, entities and all; only a double quote (legal
// inside a single-quoted value) would end the new double-quoted attribute.
QString attributeText(QStringView raw)
{
    QString out = raw.toString();
    out.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    return out;
}

} // namespace

// ---- MCOHTMLRenderer -----------------------------------------------------------------

QString MCOHTMLRenderer::htmlForMessage(const MCOMessageParser &message, MCOHTMLRendererDelegate *delegate)
{
    MCOHTMLRendererDelegate defaults;
    MCOHTMLRendererDelegate &answers = delegate ? *delegate : defaults;
    QString header;
    try {
        Renderer renderer(message, answers);
        header = renderer.header();
        const QString body = renderer.body();
        return answers.filteredHTMLForMessage(renderer.page(header, body));
    } catch (const std::exception &e) {
        TLog(QStringLiteral("HTML renderer: rendering of \"%1\" failed (%2); only its header is shown")
                 .arg(message.header().subject(), QString::fromUtf8(e.what())));
    } catch (...) {
        TLog(QStringLiteral("HTML renderer: rendering of \"%1\" failed; only its header is shown")
                 .arg(message.header().subject()));
    }
    // What is left when the walk failed (memory, a throwing delegate): the header alone.
    return header;
}

QString MCOHTMLRenderer::htmlBodyFragment(const QString &html)
{
    const QStringView s(html);
    const char16_t *d = s.utf16();
    const qsizetype n = s.size();
    const HTMLScanner scanner(s);
    // Before: nothing seen yet; Head: inside <head>, where only styles are kept;
    // Content: what the body shows.
    enum class Mode { Before, Head, Content } mode = Mode::Before;
    QString out;
    out.reserve(n);
    QString headStyles;
    QString bodyStyle;
    bool bodySeen = false;

    const auto emitText = [&](qsizetype from, qsizetype to) {
        if (from >= to)
            return;
        if (mode != Mode::Content) {
            qsizetype k = from;
            while (k < to && isHTMLSpace(d[k]))
                ++k;
            // Text ends the head, as it does in an HTML engine.
            if (k == to)
                return;
            mode = Mode::Content;
        }
        out += s.sliced(from, to - from);
    };

    qsizetype i = 0;
    while (i < n) {
        const qsizetype lt = s.indexOf(u'<', i);
        if (lt < 0 || lt + 1 >= n) {
            emitText(i, n);
            break;
        }
        emitText(i, lt);
        const char16_t next = d[lt + 1];
        if (next == u'!' || next == u'?') {
            // Comments (Outlook's conditional ones included), doctype, CDATA, processing
            // instructions: none of it shows.
            if (s.sliced(lt).startsWith(u"<!--")) {
                const qsizetype end = s.indexOf(u"-->", lt + 4);
                i = end < 0 ? n : end + 3;
            } else {
                const qsizetype gt = s.indexOf(u'>', lt);
                i = gt < 0 ? n : gt + 1;
            }
            continue;
        }
        const bool isEnd = next == u'/';
        const qsizetype nameStart = lt + (isEnd ? 2 : 1);
        if (nameStart >= n || !isAsciiAlpha(d[nameStart])) {
            emitText(lt, lt + 1);
            i = lt + 1;
            continue;
        }
        qsizetype nameEnd = nameStart;
        while (nameEnd < n && !isHTMLSpace(d[nameEnd]) && d[nameEnd] != u'/' && d[nameEnd] != u'>')
            ++nameEnd;
        const Element element = elementOf(d + nameStart, nameEnd - nameStart);

        if (isEnd) {
            i = scanner.skipAttributes(nameEnd);
            if (element == Element::Head && mode == Mode::Head)
                mode = Mode::Content;
            // Stray end tags inside the head are ignored by engines too.
            if (element == Element::Head || element == Element::Body || element == Element::Html || mode == Mode::Head)
                continue;
            out += s.sliced(lt, i - lt);
            continue;
        }

        switch (element) {
        case Element::Script:
            i = scanner.afterEndTag(scanner.skipAttributes(nameEnd), QLatin1StringView("script"));
            continue;
        case Element::Title:
            i = scanner.afterEndTag(scanner.skipAttributes(nameEnd), QLatin1StringView("title"));
            continue;
        case Element::Style:
            i = scanner.afterEndTag(scanner.skipAttributes(nameEnd), QLatin1StringView("style"));
            // Styles of the head still style the body: they go in front of it.
            (mode == Mode::Content ? out : headStyles) += s.sliced(lt, i - lt);
            continue;
        case Element::Meta: {
            bool declaresCharset = false;
            auto check = [&](QStringView attribute, QStringView) {
                if (nameIs(attribute, QLatin1StringView("charset"))
                    || nameIs(attribute, QLatin1StringView("http-equiv")))
                    declaresCharset = true;
            };
            i = scanner.attributes(nameEnd, &check);
            if (mode != Mode::Head && !declaresCharset)
                out += s.sliced(lt, i - lt);
            continue;
        }
        case Element::Body: {
            QString bgcolor, color, style;
            auto collect = [&](QStringView attribute, QStringView value) {
                if (nameIs(attribute, QLatin1StringView("style")))
                    style = value.trimmed().toString();
                else if (nameIs(attribute, QLatin1StringView("bgcolor")))
                    bgcolor = value.trimmed().toString();
                else if (nameIs(attribute, QLatin1StringView("text")))
                    color = value.trimmed().toString();
            };
            i = scanner.attributes(nameEnd, &collect);
            if (!bodySeen) {
                bodySeen = true;
                if (!bgcolor.isEmpty())
                    bodyStyle += QStringLiteral("background-color: ") + bgcolor + QStringLiteral("; ");
                if (!color.isEmpty())
                    bodyStyle += QStringLiteral("color: ") + color + QStringLiteral("; ");
                bodyStyle += style;
                bodyStyle = bodyStyle.trimmed();
            }
            mode = Mode::Content;
            continue;
        }
        case Element::Html:
        case Element::Base:
            i = scanner.skipAttributes(nameEnd);
            continue;
        case Element::Head:
            i = scanner.skipAttributes(nameEnd);
            if (mode == Mode::Before && !bodySeen)
                mode = Mode::Head;
            continue;
        case Element::Link:
        case Element::Noscript:
        case Element::Basefont:
        case Element::Bgsound:
            if (mode == Mode::Head) {
                i = scanner.skipAttributes(nameEnd);
                continue;
            }
            break;
        case Element::Other:
            break;
        }
        i = scanner.skipAttributes(nameEnd);
        // Any other element starts the body, as it does in an HTML engine.
        mode = Mode::Content;
        out += s.sliced(lt, i - lt);
    }

    if (headStyles.isEmpty() && bodyStyle.isEmpty())
        return out;
    QString result;
    result.reserve(headStyles.size() + bodyStyle.size() + out.size() + 32);
    result += headStyles;
    if (bodyStyle.isEmpty()) {
        result += out;
    } else {
        result += QStringLiteral("<div style=\"") + attributeText(bodyStyle) + QStringLiteral("\">");
        result += out;
        result += QStringLiteral("</div>");
    }
    return result;
}

QString MCOHTMLRenderer::plainTextToHTML(const QString &text)
{
    QString out;
    out.reserve(text.size() + text.size() / 8 + 160);
    out += QStringLiteral("<div style=\"white-space: pre-wrap; word-wrap: break-word; overflow-wrap: break-word; "
                          "font-family: monospace;\">");
    const char16_t *d = QStringView(text).utf16();
    const qsizetype n = text.size();
    // Runs of ordinary characters are copied whole; only the few special ones are looked at.
    qsizetype run = 0;
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t c = d[i];
        if (c > u'>' || (c != u'&' && c != u'<' && c != u'>' && c != u'\r' && c != 0))
            continue;
        out.append(QStringView(d + run, i - run));
        run = i + 1;
        switch (c) {
        case u'&':
            out += QLatin1String("&amp;");
            break;
        case u'<':
            out += QLatin1String("&lt;");
            break;
        case u'>':
            out += QLatin1String("&gt;");
            break;
        case u'\r':
            // CRLF and a lone CR (old Mac text) both end a line.
            if (i + 1 >= n || d[i + 1] != u'\n')
                out += QLatin1Char('\n');
            break;
        default:
            out += QChar(QChar::ReplacementCharacter);
        }
    }
    out.append(QStringView(d + run, n - run));
    out += QLatin1String("</div>");
    return out;
}

QString MCOHTMLRenderer::enrichedToPlainText(const QString &enriched)
{
    const QStringView s(enriched);
    const qsizetype n = s.size();
    QString out;
    out.reserve(n);
    int noFill = 0;
    qsizetype i = 0;
    while (i < n) {
        const QChar c = s[i];
        if (c == u'<') {
            if (i + 1 < n && s[i + 1] == u'<') {
                out += QLatin1Char('<');
                i += 2;
                continue;
            }
            const qsizetype gt = s.indexOf(u'>', i);
            if (gt < 0) {
                out += s.sliced(i);
                break;
            }
            const QStringView command = s.sliced(i + 1, gt - i - 1).trimmed();
            i = gt + 1;
            if (nameIs(command, QLatin1StringView("param"))) {
                const qsizetype end = s.indexOf(QLatin1StringView("</param>"), i, Qt::CaseInsensitive);
                i = end < 0 ? n : end + 8;
            } else if (nameIs(command, QLatin1StringView("nofill"))) {
                ++noFill;
            } else if (nameIs(command, QLatin1StringView("/nofill")) && noFill > 0) {
                --noFill;
            }
            continue;
        }
        if (c == u'\r' || c == u'\n') {
            // Outside <nofill> a single line break is a space and n breaks make n - 1.
            int breaks = 0;
            while (i < n && (s[i] == u'\r' || s[i] == u'\n')) {
                if (s[i] == u'\n' || i + 1 >= n || s[i + 1] != u'\n')
                    ++breaks;
                ++i;
            }
            if (noFill > 0)
                out += QString(breaks, QLatin1Char('\n'));
            else if (breaks == 1)
                out += QLatin1Char(' ');
            else
                out += QString(breaks - 1, QLatin1Char('\n'));
            continue;
        }
        out += c;
        ++i;
    }
    return out;
}

QString MCOHTMLRenderer::escapeHTML(const QString &text)
{
    QString out;
    out.reserve(text.size() + 16);
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'&':
            out += QLatin1String("&amp;");
            break;
        case u'<':
            out += QLatin1String("&lt;");
            break;
        case u'>':
            out += QLatin1String("&gt;");
            break;
        case u'"':
            out += QLatin1String("&quot;");
            break;
        case u'\'':
            out += QLatin1String("&#39;");
            break;
        default:
            out += c;
        }
    }
    return out;
}

QString MCOHTMLRenderer::formattedDate(const QDateTime &date)
{
    if (!date.isValid())
        return {};
    // Names are spelled out here: QLocale would follow the machine's language.
    static const char *const days[] = {"Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday", "Sunday"};
    static const char *const months[] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};
    const QDateTime utc = date.toUTC();
    const QDate day = utc.date();
    const QTime time = utc.time();
    const QLatin1Char zero('0');
    return QStringLiteral("%1, %2 %3 %4 at %5:%6:%7 UTC")
        .arg(QLatin1StringView(days[day.dayOfWeek() - 1]))
        .arg(day.day())
        .arg(QLatin1StringView(months[day.month() - 1]))
        .arg(day.year())
        .arg(time.hour(), 2, 10, zero)
        .arg(time.minute(), 2, 10, zero)
        .arg(time.second(), 2, 10, zero);
}

QString MCOHTMLRenderer::formattedSize(qint64 bytes)
{
    constexpr qint64 kKB = 1024;
    constexpr qint64 kMB = kKB * 1024;
    constexpr qint64 kGB = kMB * 1024;
    if (bytes < 0)
        bytes = 0;
    if (bytes == 1)
        return QStringLiteral("1 byte");
    if (bytes < kKB)
        return QString::number(bytes) + QStringLiteral(" bytes");
    const qint64 kilobytes = (bytes + kKB / 2) / kKB;
    if (kilobytes < 1024)
        return QString::number(kilobytes) + QStringLiteral(" KB");
    // Tenths are counted in integers: no floating-point rounding, no locale.
    const auto tenths = [](qint64 value, qint64 unit, const char *name) {
        const qint64 t = (value * 10 + unit / 2) / unit;
        QString out = QString::number(t / 10);
        if (t % 10)
            out += QLatin1Char('.') + QString::number(t % 10);
        return out + QLatin1Char(' ') + QLatin1StringView(name);
    };
    if (bytes < kGB && (bytes * 10 + kMB / 2) / kMB < 10240)
        return tenths(bytes, kMB, "MB");
    if (bytes > std::numeric_limits<qint64>::max() / 10)
        return QString::number(bytes / kGB) + QStringLiteral(" GB");
    return tenths(bytes, kGB, "GB");
}
