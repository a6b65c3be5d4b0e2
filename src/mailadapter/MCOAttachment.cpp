#include <gmime/gmime.h>

#include "mailadapter/MCOAttachment.h"

#include "mailadapter/MCOCharset.h"
#include "mailadapter/MCOGObjectRef.h"

#include <QRegularExpression>

struct MCOAttachment::Source {
    MCOGObjectRef<GMimeObject> object;
};

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10; // lower-case hex is not allowed, and is sent
    return -1;
}

// Quoted-printable as RFC 2045 asks of decoders, which GMime's decoder is not: trailing
// whitespace of a line is dropped, and "=" followed by whitespace before the line end is
// a soft line break. An "=" not followed by two hex digits is kept as it is.
QByteArray decodeQuotedPrintable(const QByteArray &in)
{
    QByteArray out;
    out.reserve(in.size());
    qsizetype lineStart = 0;
    while (lineStart < in.size()) {
        qsizetype lineEnd = in.indexOf('\n', lineStart);
        const bool hasBreak = lineEnd >= 0;
        if (!hasBreak)
            lineEnd = in.size();
        qsizetype contentEnd = lineEnd;
        if (hasBreak && contentEnd > lineStart && in[contentEnd - 1] == '\r')
            --contentEnd;
        const QByteArrayView lineBreak(in.constData() + contentEnd, (hasBreak ? lineEnd + 1 : lineEnd) - contentEnd);
        while (contentEnd > lineStart && (in[contentEnd - 1] == ' ' || in[contentEnd - 1] == '\t'))
            --contentEnd;
        bool soft = false;
        for (qsizetype i = lineStart; i < contentEnd; ++i) {
            const char c = in[i];
            if (c != '=') {
                out += c;
                continue;
            }
            if (i + 1 == contentEnd) {
                soft = true;
                break;
            }
            const int high = i + 2 < contentEnd ? hexDigit(in[i + 1]) : -1;
            const int low = high >= 0 ? hexDigit(in[i + 2]) : -1;
            if (high >= 0 && low >= 0) {
                out += char(high * 16 + low);
                i += 2;
            } else {
                out += c;
            }
        }
        if (!soft)
            out += lineBreak;
        lineStart = hasBreak ? lineEnd + 1 : in.size();
    }
    return out;
}

QByteArray streamBytes(GMimeStream *stream)
{
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream));
    if (!bytes || bytes->len == 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(bytes->data), qsizetype(bytes->len));
}

// The content of a quoted-printable leaf, still encoded.
QByteArray encodedContent(GMimeDataWrapper *content)
{
    GMimeStream *source = g_mime_data_wrapper_get_stream(content);
    if (!source)
        return {};
    auto copy = MCOGObjectRef<GMimeStream>::adopt(g_mime_stream_mem_new());
    g_mime_stream_reset(source);
    g_mime_stream_write_to_stream(source, copy.get());
    return streamBytes(copy.get());
}

// Writes the content of a parsed leaf to `stream`, transfer encoding undone.
void writeContent(GMimeObject *object, GMimeStream *stream)
{
    if (GMIME_IS_PART(object)) {
        GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(object));
        if (!content)
            return;
        if (g_mime_data_wrapper_get_encoding(content) == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE) {
            const QByteArray decoded = decodeQuotedPrintable(encodedContent(content));
            g_mime_stream_write(stream, decoded.constData(), size_t(decoded.size()));
            return;
        }
        g_mime_data_wrapper_write_to_stream(content, stream);
    } else if (GMIME_IS_MESSAGE_PART(object)) {
        if (GMimeMessage *message = g_mime_message_part_get_message(GMIME_MESSAGE_PART(object)))
            g_mime_object_write_to_stream(GMIME_OBJECT(message), nullptr, stream);
    }
}

// The charset an HTML document names in its <meta> tags, looked for near the top only.
QByteArray htmlMetaCharset(const QByteArray &html)
{
    static const QRegularExpression meta(
        QStringLiteral("<meta[^>]*charset\\s*=\\s*[\"']?\\s*([A-Za-z0-9_.:-]+)"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = meta.match(QString::fromLatin1(html.left(4096)));
    return m.hasMatch() ? m.captured(1).toLatin1() : QByteArray();
}

} // namespace

MCOAttachment::MCOAttachment() : MCOAbstractPart(Kind::Single) {}

MCOAttachment::~MCOAttachment() = default;

std::shared_ptr<MCOAttachment> MCOAttachment::attachmentWithData(const QString &filename, const QByteArray &data,
                                                                 const QString &mimeType)
{
    auto part = std::make_shared<MCOAttachment>();
    part->setFilename(filename);
    part->setMimeType(mimeType.isEmpty() ? QStringLiteral("application/octet-stream") : mimeType);
    part->setEncoding(Encoding::Binary);
    part->m_data = data;
    part->m_hasData = true;
    return part;
}

void MCOAttachment::setGMimeObject(_GMimeObject *object)
{
    m_source = std::make_unique<Source>();
    m_source->object = MCOGObjectRef<GMimeObject>::retain(object);
    m_size = -1;
}

QByteArray MCOAttachment::data() const
{
    if (m_hasData)
        return m_data;
    if (!m_source || !m_source->object)
        return {};
    auto stream = MCOGObjectRef<GMimeStream>::adopt(g_mime_stream_mem_new());
    writeContent(m_source->object.get(), stream.get());
    return streamBytes(stream.get());
}

qint64 MCOAttachment::size() const
{
    if (m_hasData)
        return m_data.size();
    if (m_size >= 0)
        return m_size;
    m_size = 0;
    if (m_source && m_source->object) {
        auto counter = MCOGObjectRef<GMimeStream>::adopt(g_mime_stream_null_new());
        writeContent(m_source->object.get(), counter.get());
        m_size = qint64(GMIME_STREAM_NULL(counter.get())->written);
    }
    return m_size;
}

QString MCOAttachment::decodedString() const
{
    const QByteArray bytes = data();
    QByteArray declared = charset().toLatin1();
    // Tolerates HTML parts that name their charset only in a <meta> tag.
    if (declared.isEmpty() && mimeType() == QLatin1String("text/html"))
        declared = htmlMetaCharset(bytes);
    return MCOCharset::toUnicode(bytes, declared, m_hints);
}
