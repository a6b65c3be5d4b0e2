#include <gmime/gmime.h>

#include "mailadapter/MCOMessageParser.h"

#include "Utils/Log.h"
#include "mailadapter/MCOCharset.h"
#include "mailadapter/MCOGMime.h"
#include "mailadapter/MCOGObjectRef.h"
#include "mailadapter/MCOHeaderDecoder.h"
#include "mailadapter/MCOMessagePart.h"
#include "mailadapter/MCOMultipart.h"
#include "mailadapter/MCOPartClassifier.h"

#include <QSet>

#include <algorithm>

struct MCOMessageParser::Private {
    // The parsed top-level entity; the leaves hold references of their own to their parts.
    MCOGObjectRef<GMimeObject> root;
};

namespace {

using RawFields = QList<MCOHeaderDecoder::RawField>;

struct OffsetField {
    gint64 offset;
    MCOHeaderDecoder::RawField field;
};

void appendFields(GMimeObject *object, QList<OffsetField> *out)
{
    GMimeHeaderList *list = object ? g_mime_object_get_header_list(object) : nullptr;
    const int n = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < n; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(list, i);
        const char *name = g_mime_header_get_name(h);
        const char *raw = g_mime_header_get_raw_value(h);
        out->append({g_mime_header_get_offset(h), {QByteArray(name ? name : ""), QByteArray(raw ? raw : "")}});
    }
}

// The header block of a message. GMime keeps the Content-* fields with the body part
// and the others with the message; both are merged back into message order.
RawFields messageFields(GMimeMessage *message)
{
    QList<OffsetField> fields;
    appendFields(GMIME_OBJECT(message), &fields);
    appendFields(g_mime_message_get_mime_part(message), &fields);
    std::stable_sort(fields.begin(), fields.end(),
                     [](const OffsetField &a, const OffsetField &b) { return a.offset < b.offset; });
    RawFields out;
    out.reserve(fields.size());
    for (const OffsetField &f : fields)
        out.append(f.field);
    return out;
}

// The MIME fields of one part, by name.
struct PartFields {
    QByteArray contentType, disposition, contentID, location, transferEncoding;
    bool hasTransferEncoding = false;
};

PartFields partFields(GMimeObject *object)
{
    PartFields f;
    GMimeHeaderList *list = g_mime_object_get_header_list(object);
    const int n = list ? g_mime_header_list_get_count(list) : 0;
    for (int i = 0; i < n; ++i) {
        GMimeHeader *h = g_mime_header_list_get_header_at(list, i);
        const char *name = g_mime_header_get_name(h);
        const char *raw = g_mime_header_get_raw_value(h);
        if (!name || !raw)
            continue;
        QByteArray *slot = nullptr;
        if (!g_ascii_strcasecmp(name, "Content-Type"))
            slot = &f.contentType;
        else if (!g_ascii_strcasecmp(name, "Content-Disposition"))
            slot = &f.disposition;
        else if (!g_ascii_strcasecmp(name, "Content-Id"))
            slot = &f.contentID;
        else if (!g_ascii_strcasecmp(name, "Content-Location"))
            slot = &f.location;
        else if (!g_ascii_strcasecmp(name, "Content-Transfer-Encoding")) {
            slot = &f.transferEncoding;
            f.hasTransferEncoding = true;
        }
        // The first of repeated fields counts, as for GMime's own content type.
        if (slot && slot->isNull())
            *slot = QByteArray(raw);
    }
    return f;
}

QString mimeTypeOf(GMimeObject *object)
{
    GMimeContentType *type = g_mime_object_get_content_type(object);
    const char *media = type ? g_mime_content_type_get_media_type(type) : nullptr;
    const char *sub = type ? g_mime_content_type_get_media_subtype(type) : nullptr;
    if (!media || !*media || !sub || !*sub)
        return QStringLiteral("application/octet-stream");
    return (QString::fromLatin1(media) + QLatin1Char('/') + QString::fromLatin1(sub)).toLower();
}

QByteArray charsetOf(GMimeObject *object)
{
    GMimeContentType *type = g_mime_object_get_content_type(object);
    const char *charset = type ? g_mime_content_type_get_parameter(type, "charset") : nullptr;
    return charset ? QByteArray(charset).trimmed().toLower() : QByteArray();
}

bool isWalkedMessage(GMimeObject *object)
{
    if (!GMIME_IS_MESSAGE_PART(object))
        return false;
    GMimeContentType *type = g_mime_object_get_content_type(object);
    return type
        && (g_mime_content_type_is_type(type, "message", "rfc822")
            || g_mime_content_type_is_type(type, "message", "global"));
}

GMimeObject *bodyOf(GMimeObject *messagePart)
{
    GMimeMessage *message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(messagePart));
    return message ? g_mime_message_get_mime_part(message) : nullptr;
}

void addHint(QList<QByteArray> *hints, const QByteArray &charset)
{
    // ASCII says nothing about the 8-bit text of the message.
    if (charset.isEmpty() || charset == "us-ascii" || charset == "ascii" || hints->contains(charset)
        || hints->size() >= 16)
        return;
    hints->append(charset);
}

// Charset labels of the text parts of the message, before anything is decoded.
void collectPartCharsets(GMimeObject *object, int depth, int *budget, QList<QByteArray> *hints)
{
    if (!object || depth > MCOMessageParser::kMaxDepth || --*budget < 0)
        return;
    if (GMIME_IS_MULTIPART(object)) {
        GMimeMultipart *multipart = GMIME_MULTIPART(object);
        const int n = g_mime_multipart_get_count(multipart);
        for (int i = 0; i < n; ++i)
            collectPartCharsets(g_mime_multipart_get_part(multipart, i), depth + 1, budget, hints);
    } else if (isWalkedMessage(object)) {
        collectPartCharsets(bodyOf(object), depth + 1, budget, hints);
    } else {
        addHint(hints, charsetOf(object));
    }
}

class TreeBuilder {
public:
    explicit TreeBuilder(const QList<QByteArray> &hints) : m_hints(hints) {}

    // The body of a message whose part number is `prefix` ("" at the top level).
    MCOAbstractPartPtr buildBody(GMimeObject *body, const QString &prefix, int depth)
    {
        if (GMIME_IS_MULTIPART(body))
            return buildPart(body, prefix, depth);
        return buildPart(body, prefix.isEmpty() ? QStringLiteral("1") : prefix + QLatin1String(".1"), depth);
    }

    bool truncated() const { return m_truncated; }

private:
    MCOAbstractPartPtr buildPart(GMimeObject *object, const QString &id, int depth)
    {
        if (!object)
            return nullptr;
        if (depth > MCOMessageParser::kMaxDepth || m_count >= MCOMessageParser::kMaxParts) {
            m_truncated = true;
            return nullptr;
        }
        ++m_count;
        if (GMIME_IS_MULTIPART(object)) {
            auto multipart = std::make_shared<MCOMultipart>();
            fillCommon(*multipart, object, id);
            GMimeMultipart *gm = GMIME_MULTIPART(object);
            const int n = g_mime_multipart_get_count(gm);
            for (int i = 0; i < n; ++i) {
                const QString childID =
                    id.isEmpty() ? QString::number(i + 1) : id + QLatin1Char('.') + QString::number(i + 1);
                if (MCOAbstractPartPtr child = buildPart(g_mime_multipart_get_part(gm, i), childID, depth + 1))
                    multipart->addPart(std::move(child));
            }
            return multipart;
        }
        if (isWalkedMessage(object)) {
            auto messagePart = std::make_shared<MCOMessagePart>();
            fillCommon(*messagePart, object, id);
            if (GMimeMessage *message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object))) {
                MCOHeaderDecoder::fillHeader(messagePart->header(), messageFields(message), m_hints);
                if (GMimeObject *body = g_mime_message_get_mime_part(message))
                    messagePart->setMainPart(buildBody(body, id, depth + 1));
            }
            return messagePart;
        }
        auto leaf = std::make_shared<MCOAttachment>();
        fillCommon(*leaf, object, id);
        leaf->setGMimeObject(object);
        leaf->setCharsetHints(m_hints);
        return leaf;
    }

    void fillCommon(MCOAbstractPart &part, GMimeObject *object, const QString &id)
    {
        part.setPartID(id);
        part.setUniqueID(QLatin1Char('p') + QString::number(m_nextUnique++));
        part.setMimeType(mimeTypeOf(object));
        part.setCharset(QString::fromLatin1(charsetOf(object)));
        const PartFields f = partFields(object);
        if (!f.disposition.isNull())
            part.setDisposition(MCOAbstractPart::dispositionFromString(MCOHeaderDecoder::leadingToken(f.disposition)));
        QString name;
        if (!f.disposition.isNull())
            name = MCOHeaderDecoder::parameter(f.disposition, "filename", m_hints);
        if (name.isEmpty() && !f.contentType.isNull())
            name = MCOHeaderDecoder::parameter(f.contentType, "name", m_hints);
        part.setFilename(name);
        if (!f.contentID.isNull())
            part.setContentID(MCOHeaderDecoder::decodeText(f.contentID));
        if (!f.location.isNull()) {
            // A folded URL carries the folding whitespace; no URL holds a space.
            QString location = MCOHeaderDecoder::decodeText(f.location);
            location.remove(QLatin1Char(' '));
            part.setContentLocation(location);
        }
        if (f.hasTransferEncoding)
            part.setEncoding(MCOAbstractPart::encodingFromString(QString::fromLatin1(f.transferEncoding)));
    }

    const QList<QByteArray> &m_hints;
    int m_count = 0;
    int m_nextUnique = 0;
    bool m_truncated = false;
};

// Where the header starts.
qsizetype headerStart(const QByteArray &data)
{
    qsizetype start = 0;
    // Tolerates a UTF-8 byte-order mark written by editors before the header.
    if (data.startsWith("\xEF\xBB\xBF"))
        start = 3;
    // Tolerates blank lines and indentation before the first header line.
    while (start < data.size() && QByteArrayView(" \t\r\n").contains(data[start]))
        ++start;
    // Tolerates an mbox "From " separator line left on a single message.
    if (QByteArrayView(data).sliced(start).startsWith("From ")) {
        const qsizetype eol = data.indexOf('\n', start);
        start = eol < 0 ? data.size() : eol + 1;
    }
    return start;
}

void collectAlternatives(const MCOAbstractPartPtr &part, const QSet<const MCOAbstractPart *> &bodies,
                         MCOMessageParser::BodyPreference preference, int depth,
                         QList<std::shared_ptr<MCOAttachment>> *out);

bool holdsBody(const MCOAbstractPartPtr &part, const QSet<const MCOAbstractPart *> &bodies, const QString &type)
{
    for (const MCOAbstractPartPtr &leaf : part->leaves()) {
        if (bodies.contains(leaf.get()) && (type.isEmpty() || leaf->mimeType() == type))
            return true;
    }
    return false;
}

void collectAlternatives(const MCOAbstractPartPtr &part, const QSet<const MCOAbstractPart *> &bodies,
                         MCOMessageParser::BodyPreference preference, int depth,
                         QList<std::shared_ptr<MCOAttachment>> *out)
{
    if (!part || depth > MCOMessageParser::kMaxDepth + 2)
        return;
    if (part->kind() == MCOAbstractPart::Kind::Single) {
        if (bodies.contains(part.get()))
            out->append(std::static_pointer_cast<MCOAttachment>(part));
        return;
    }
    const QList<MCOAbstractPartPtr> children = part->childParts();
    if (part->mimeType() == QLatin1String("multipart/alternative")) {
        const QString wanted = preference == MCOMessageParser::BodyPreference::HTML ? QStringLiteral("text/html")
                                                                                    : QStringLiteral("text/plain");
        MCOAbstractPartPtr chosen;
        for (auto it = children.crbegin(); it != children.crend() && !chosen; ++it) {
            if (holdsBody(*it, bodies, wanted))
                chosen = *it;
        }
        for (auto it = children.crbegin(); it != children.crend() && !chosen; ++it) {
            if (holdsBody(*it, bodies, QString()))
                chosen = *it;
        }
        if (chosen)
            collectAlternatives(chosen, bodies, preference, depth + 1, out);
        return;
    }
    for (const MCOAbstractPartPtr &child : children)
        collectAlternatives(child, bodies, preference, depth + 1, out);
}

} // namespace

MCOMessageParser::MCOMessageParser(const QByteArray &data) : d(std::make_unique<Private>()), m_data(data) {}

MCOMessageParser::~MCOMessageParser() = default;

std::shared_ptr<MCOMessageParser> MCOMessageParser::messageParserWithData(const QByteArray &rfc822)
{
    std::shared_ptr<MCOMessageParser> parser(new MCOMessageParser(rfc822));
    parser->parse();
    return parser;
}

void MCOMessageParser::parse()
{
    const qsizetype start = headerStart(m_data);
    if (start >= m_data.size()) {
        TLog(QStringLiteral("Mail parser: empty message (%1 bytes), no header and no parts").arg(m_data.size()));
        return;
    }
    GMimeParserOptions *options = MCOGMime::parserOptions();
    QByteArrayView bytes = QByteArrayView(m_data).sliced(start);
    QByteArray unixLines;
    // Tolerates old Mac files whose lines end in CR alone, which GMime reads as one line.
    if (!bytes.contains('\n') && bytes.contains('\r')) {
        unixLines = bytes.toByteArray();
        unixLines.replace('\r', '\n');
        bytes = unixLines;
    }
    auto stream =
        MCOGObjectRef<GMimeStream>::adopt(g_mime_stream_mem_new_with_buffer(bytes.data(), size_t(bytes.size())));
    auto parser = MCOGObjectRef<GMimeParser>::adopt(g_mime_parser_new_with_stream(stream.get()));
    g_mime_parser_set_format(parser.get(), GMIME_FORMAT_MESSAGE);
    // The top level is read as a MIME entity, not as a GMimeMessage: a GMimeMessage
    // decodes its subject and addresses while parsing, opening a charset converter per
    // header, which costs more than the rest of the parse. The header is decoded here.
    d->root = MCOGObjectRef<GMimeObject>::adopt(g_mime_parser_construct_part(parser.get(), options));
    GMimeObject *root = d->root.get();
    GMimeHeaderList *rootHeaders = root ? g_mime_object_get_header_list(root) : nullptr;
    if (!rootHeaders || g_mime_header_list_get_count(rootHeaders) == 0) {
        TLog(QStringLiteral("Mail parser: no message header found in %1 bytes, message left empty").arg(m_data.size()));
        d->root = {};
        return;
    }

    QList<OffsetField> offsetFields;
    appendFields(root, &offsetFields);
    RawFields fields;
    for (const OffsetField &f : std::as_const(offsetFields))
        fields.append(f.field);
    int budget = kMaxParts;
    collectPartCharsets(root, 0, &budget, &m_hints);
    for (const MCOHeaderDecoder::RawField &field : std::as_const(fields))
        MCOHeaderDecoder::collectCharsets(field.value, &m_hints);

    MCOHeaderDecoder::fillHeader(m_header, fields, m_hints);

    TreeBuilder builder(m_hints);
    m_mainPart = builder.buildBody(root, QString(), 0);
    if (builder.truncated())
        TLog(QStringLiteral("Mail parser: MIME structure of \"%1\" deeper than %2 levels or larger than %3 parts; "
                            "the rest is ignored")
                 .arg(m_header.subject())
                 .arg(kMaxDepth)
                 .arg(kMaxParts));

    const MCOPartClassifier::Result sorted =
        MCOPartClassifier::classify(m_mainPart, [](const MCOAbstractPart &html) {
            return static_cast<const MCOAttachment &>(html).decodedString();
        });
    for (const MCOAbstractPartPtr &part : sorted.bodyTexts)
        m_bodyTexts.append(std::static_pointer_cast<MCOAttachment>(part));
    m_attachments = sorted.attachments;
    m_inlineAttachments = sorted.htmlInlineAttachments;
}

QList<std::shared_ptr<MCOAttachment>> MCOMessageParser::preferredBodyTextParts(BodyPreference preference) const
{
    QSet<const MCOAbstractPart *> bodies;
    for (const auto &part : m_bodyTexts)
        bodies.insert(part.get());
    QList<std::shared_ptr<MCOAttachment>> out;
    collectAlternatives(m_mainPart, bodies, preference, 0, &out);
    return out;
}

QStringList MCOMessageParser::htmlBodyTexts() const
{
    QStringList out;
    for (const auto &part : m_bodyTexts) {
        if (part->mimeType() == QLatin1String("text/html"))
            out.append(part->decodedString());
    }
    return out;
}

QStringList MCOMessageParser::plainTextBodyTexts() const
{
    QStringList out;
    for (const auto &part : m_bodyTexts) {
        if (part->mimeType() == QLatin1String("text/plain"))
            out.append(part->decodedString());
    }
    return out;
}
