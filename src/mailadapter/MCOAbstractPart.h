#pragma once
// One node of a message's MIME tree, as parsed from the message bytes (MCOAttachment,
// MCOMultipart, MCOMessagePart) or as described by an IMAP server's BODYSTRUCTURE
// (MCOIMAPPart, MCOIMAPMultipart, MCOIMAPMessagePart).
//
// Parts are shared (`MCOAbstractPartPtr`, always created by std::make_shared) and
// immutable once the message that made them is built. A message and its parts are used
// by one thread at a time.

#include <QList>
#include <QString>

#include <functional>
#include <memory>

class MCOAbstractPart;
using MCOAbstractPartPtr = std::shared_ptr<MCOAbstractPart>;

class MCOAbstractPart : public std::enable_shared_from_this<MCOAbstractPart> {
public:
    enum class Kind { Single, Multipart, Message };
    // Content-Transfer-Encoding. A missing header reads as SevenBit; a value nobody
    // knows (or "x-token") as Other, whose bytes are passed through undecoded.
    enum class Encoding { SevenBit, EightBit, Binary, Base64, QuotedPrintable, UUEncode, Other };
    enum class Disposition { None, Inline, Attachment, Other };

    virtual ~MCOAbstractPart();

    Kind kind() const { return m_kind; }

    // IMAP section number ("1", "1.2", "2.1.3"): the number an IMAP server gives this
    // part in BODYSTRUCTURE, so that parsed and IMAP parts line up. The body of a
    // single-part message is "1"; the multipart body of a message shares the number of
    // that message ("" for the top level, as IMAP gives it none).
    const QString &partID() const { return m_partID; }
    // Identifies the part within its message: "p0", "p1", ... in document order, so the
    // same message always gives the same IDs, and a parsed message and its IMAP body
    // structure give matching ones. Unlike partID() never empty, never shared.
    const QString &uniqueID() const { return m_uniqueID; }
    // Lower-case "type/subtype"; "text/plain" when the message gives none.
    const QString &mimeType() const { return m_mimeType; }
    // Decoded file name (Content-Disposition filename, else Content-Type name; RFC 2231
    // and RFC 2047 both decoded). Empty when the part has none.
    const QString &filename() const { return m_filename; }
    // Content-ID without the angle brackets; empty when none.
    const QString &contentID() const { return m_contentID; }
    const QString &contentLocation() const { return m_contentLocation; }
    // Charset label as declared (lower case), empty when none.
    const QString &charset() const { return m_charset; }
    Disposition disposition() const { return m_disposition; }
    // True for "Content-Disposition: inline".
    bool isInlineAttachment() const { return m_disposition == Disposition::Inline; }
    Encoding encoding() const { return m_encoding; }

    // Size in bytes of the content: decoded for a parsed leaf; as the server reports it
    // (still transfer-encoded) for an IMAP leaf or attached IMAP message; 0 for other
    // containers.
    virtual qint64 size() const { return 0; }

    // Direct children: the parts of a multipart, the main part of a message part,
    // nothing for a leaf.
    virtual QList<MCOAbstractPartPtr> childParts() const { return {}; }

    // First part of this subtree (this one included, depth first) with the given
    // content ID (brackets optional, case ignored) / unique ID / part ID, or null.
    MCOAbstractPartPtr partForContentID(const QString &contentID) const;
    MCOAbstractPartPtr partForUniqueID(const QString &uniqueID) const;
    MCOAbstractPartPtr partForPartID(const QString &partID) const;

    // Every leaf of this subtree in document order.
    QList<MCOAbstractPartPtr> leaves() const;

    void setPartID(const QString &id) { m_partID = id; }
    void setUniqueID(const QString &id) { m_uniqueID = id; }
    void setMimeType(const QString &type) { m_mimeType = type.toLower(); }
    void setFilename(const QString &name) { m_filename = name; }
    void setContentID(const QString &id);
    void setContentLocation(const QString &location) { m_contentLocation = location; }
    void setCharset(const QString &charset) { m_charset = charset.toLower(); }
    void setDisposition(Disposition d) { m_disposition = d; }
    void setEncoding(Encoding e) { m_encoding = e; }

    // "inline" -> Inline, "attachment" -> Attachment, "" -> None, anything else -> Other.
    static Disposition dispositionFromString(const QString &value);
    // "base64" -> Base64, ..., "" -> SevenBit, unknown -> Other.
    static Encoding encodingFromString(const QString &value);

protected:
    explicit MCOAbstractPart(Kind kind) : m_kind(kind) {}
    MCOAbstractPart(const MCOAbstractPart &) = default;
    MCOAbstractPart &operator=(const MCOAbstractPart &) = default;

private:
    MCOAbstractPartPtr findFirst(const std::function<bool(const MCOAbstractPart &)> &match) const;

    Kind m_kind;
    QString m_partID;
    QString m_uniqueID;
    QString m_mimeType = QStringLiteral("text/plain");
    QString m_filename;
    QString m_contentID;
    QString m_contentLocation;
    QString m_charset;
    Disposition m_disposition = Disposition::None;
    Encoding m_encoding = Encoding::SevenBit;
};
