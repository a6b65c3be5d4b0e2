#pragma once
// What a parsed message and an IMAP message have in common: a header. Destinations,
// dates and tags are computed from either kind through this interface.
//
// The part accessors below are answered by both kinds (a message with only a header
// has no parts): which parts are attachments is decided by the same rule for both, see
// MCOMessageParser.h.

#include "mailadapter/MCOAbstractPart.h"
#include "mailadapter/MCOMessageHeader.h"

#include <QList>

#include <memory>

class MCOAbstractMessage {
public:
    virtual ~MCOAbstractMessage() = default;
    MCOMessageHeader &header() { return m_header; }
    const MCOMessageHeader &header() const { return m_header; }

    // The root of the MIME tree; null when the message has no body structure.
    virtual MCOAbstractPartPtr mainPart() const { return nullptr; }
    // Parts saved as attachment files, in message order; inline attachments excluded.
    virtual QList<MCOAbstractPartPtr> attachments() const { return {}; }
    // Parts shown in place inside an HTML body (referenced by cid:), in message order.
    virtual QList<MCOAbstractPartPtr> htmlInlineAttachments() const { return {}; }

    // The leaf with this Content-ID (angle brackets optional, case ignored), or null.
    MCOAbstractPartPtr partForContentID(const QString &contentID) const
    {
        const MCOAbstractPartPtr root = mainPart();
        return root ? root->partForContentID(contentID) : nullptr;
    }
    // The part with this uniqueID(), or null.
    MCOAbstractPartPtr partForUniqueID(const QString &uniqueID) const
    {
        const MCOAbstractPartPtr root = mainPart();
        return root ? root->partForUniqueID(uniqueID) : nullptr;
    }
    // The part with this IMAP section number, or null.
    MCOAbstractPartPtr partForPartID(const QString &partID) const
    {
        const MCOAbstractPartPtr root = mainPart();
        return root ? root->partForPartID(partID) : nullptr;
    }

protected:
    MCOMessageHeader m_header;
};

using MCOMessagePtr = std::shared_ptr<MCOAbstractMessage>;
