#include "mailadapter/MCOAbstractPart.h"

MCOAbstractPart::~MCOAbstractPart() = default;

void MCOAbstractPart::setContentID(const QString &id)
{
    QString cid = id.trimmed();
    if (cid.startsWith(QLatin1Char('<')) && cid.endsWith(QLatin1Char('>')))
        cid = cid.mid(1, cid.size() - 2).trimmed();
    m_contentID = cid;
}

MCOAbstractPartPtr MCOAbstractPart::findFirst(const std::function<bool(const MCOAbstractPart &)> &match) const
{
    if (match(*this))
        return std::const_pointer_cast<MCOAbstractPart>(shared_from_this());
    for (const MCOAbstractPartPtr &child : childParts()) {
        if (MCOAbstractPartPtr found = child->findFirst(match))
            return found;
    }
    return nullptr;
}

MCOAbstractPartPtr MCOAbstractPart::partForContentID(const QString &contentID) const
{
    QString wanted = contentID.trimmed();
    if (wanted.startsWith(QLatin1Char('<')) && wanted.endsWith(QLatin1Char('>')))
        wanted = wanted.mid(1, wanted.size() - 2);
    if (wanted.isEmpty())
        return nullptr;
    // Content IDs are compared without case: senders change the case between the
    // header and the cid: URL of the HTML.
    return findFirst([&](const MCOAbstractPart &p) {
        return p.kind() == Kind::Single && p.contentID().compare(wanted, Qt::CaseInsensitive) == 0;
    });
}

MCOAbstractPartPtr MCOAbstractPart::partForUniqueID(const QString &uniqueID) const
{
    return findFirst([&](const MCOAbstractPart &p) { return p.uniqueID() == uniqueID; });
}

MCOAbstractPartPtr MCOAbstractPart::partForPartID(const QString &partID) const
{
    // Parents come before children: of an attached message and its multipart body, which
    // share a number, the message part is the one found.
    return findFirst([&](const MCOAbstractPart &p) { return p.partID() == partID; });
}

QList<MCOAbstractPartPtr> MCOAbstractPart::leaves() const
{
    QList<MCOAbstractPartPtr> out;
    if (m_kind == Kind::Single) {
        out.append(std::const_pointer_cast<MCOAbstractPart>(shared_from_this()));
        return out;
    }
    for (const MCOAbstractPartPtr &child : childParts())
        out += child->leaves();
    return out;
}

MCOAbstractPart::Disposition MCOAbstractPart::dispositionFromString(const QString &value)
{
    const QString v = value.trimmed().toLower();
    if (v.isEmpty())
        return Disposition::None;
    if (v == QLatin1String("inline"))
        return Disposition::Inline;
    if (v == QLatin1String("attachment"))
        return Disposition::Attachment;
    return Disposition::Other;
}

MCOAbstractPart::Encoding MCOAbstractPart::encodingFromString(const QString &value)
{
    QString v = value.trimmed().toLower();
    // Tolerates "base64;" and quoted values written by broken mailers.
    while (!v.isEmpty() && (v.endsWith(QLatin1Char(';')) || v.endsWith(QLatin1Char('"'))))
        v.chop(1);
    while (v.startsWith(QLatin1Char('"')))
        v.remove(0, 1);
    v = v.trimmed();
    if (v.isEmpty() || v == QLatin1String("7bit"))
        return Encoding::SevenBit;
    if (v == QLatin1String("8bit"))
        return Encoding::EightBit;
    if (v == QLatin1String("binary"))
        return Encoding::Binary;
    if (v == QLatin1String("base64"))
        return Encoding::Base64;
    if (v == QLatin1String("quoted-printable"))
        return Encoding::QuotedPrintable;
    if (v == QLatin1String("x-uuencode") || v == QLatin1String("uuencode") || v == QLatin1String("x-uue")
        || v == QLatin1String("uue"))
        return Encoding::UUEncode;
    return Encoding::Other;
}
