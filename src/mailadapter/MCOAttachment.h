#pragma once
// A leaf of a parsed message: text bodies and attachments alike. The content stays
// transfer-encoded inside the parsed message until data() is asked for, so parsing a
// message with large attachments costs no decoding.

#include "mailadapter/MCOAbstractPart.h"

#include <QByteArray>

#include <memory>

struct _GMimeObject;

class MCOAttachment : public MCOAbstractPart {
public:
    MCOAttachment();
    ~MCOAttachment() override;

    // A leaf holding `data` (already decoded) rather than a parsed part; for parts made
    // by the program, such as files unpacked from a winmail.dat.
    static std::shared_ptr<MCOAttachment> attachmentWithData(const QString &filename, const QByteArray &data,
                                                             const QString &mimeType);

    // The content, transfer encoding undone (base64, quoted-printable, uuencode); the
    // bytes as they are for other encodings. Decoded anew on each call (nothing is
    // cached, so large attachments are not kept twice). Empty when the part is empty.
    QByteArray data() const;

    // The content as text: data() converted from charset(), or from the best guess when
    // that is missing, unknown or wrong (see MCOCharset). For text/html without a charset
    // parameter, a <meta> charset of the document counts as declared. Never null for a
    // part with content; lossy only for bytes no candidate charset can read.
    QString decodedString() const;

    // Replaces the content (an inline image without bytes gets the thumbnail of the file
    // that the Mail application kept for it).
    void setData(const QByteArray &data)
    {
        m_data = data;
        m_hasData = true;
        m_size = -1;
    }

    // Decoded size in bytes; computed once, without keeping the decoded bytes.
    qint64 size() const override;

    // Charset labels used elsewhere in the same message, tried first by the guess.
    void setCharsetHints(const QList<QByteArray> &hints) { m_hints = hints; }
    const QList<QByteArray> &charsetHints() const { return m_hints; }

    // Makes this leaf read its content from a parsed GMime part (a GMimePart, or a
    // GMimeMessagePart read as one opaque file). Takes a reference of its own.
    void setGMimeObject(_GMimeObject *object);

private:
    struct Source;
    std::unique_ptr<Source> m_source;
    QByteArray m_data; // content of attachmentWithData()
    bool m_hasData = false;
    QList<QByteArray> m_hints;
    mutable qint64 m_size = -1;
};
