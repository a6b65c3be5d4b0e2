#include <gmime/gmime.h>

#include "mailadapter/MCOAttachment.h"

#include "mailadapter/MCOCharset.h"
#include "mailadapter/MCOGObjectRef.h"

#include <QRegularExpression>

struct MCOAttachment::Source {
    MCOGObjectRef<GMimeObject> object;
};

namespace {

// Writes the content of a parsed leaf to `stream`, transfer encoding undone.
void writeContent(GMimeObject *object, GMimeStream *stream)
{
    if (GMIME_IS_PART(object)) {
        if (GMimeDataWrapper *content = g_mime_part_get_content(GMIME_PART(object)))
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
    GByteArray *bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(stream.get()));
    if (!bytes || bytes->len == 0)
        return {};
    return QByteArray(reinterpret_cast<const char *>(bytes->data), qsizetype(bytes->len));
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
    if (declared.isEmpty() && mimeType() == QLatin1String("text/html"))
        declared = htmlMetaCharset(bytes);
    return MCOCharset::toUnicode(bytes, declared, m_hints);
}
