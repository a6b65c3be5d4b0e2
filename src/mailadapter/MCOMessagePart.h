#pragma once
// An attached message (message/rfc822): its own decoded header and its main part.

#include "mailadapter/MCOAbstractPart.h"
#include "mailadapter/MCOMessageHeader.h"

class MCOMessagePart : public MCOAbstractPart {
public:
    MCOMessagePart() : MCOAbstractPart(Kind::Message) { setMimeType(QStringLiteral("message/rfc822")); }

    // The header of the attached message.
    MCOMessageHeader &header() { return m_header; }
    const MCOMessageHeader &header() const { return m_header; }

    // The body of the attached message; null when it has none (an empty part, or nesting
    // beyond the depth the adapter reads).
    const MCOAbstractPartPtr &mainPart() const { return m_mainPart; }
    void setMainPart(MCOAbstractPartPtr part) { m_mainPart = std::move(part); }

    QList<MCOAbstractPartPtr> childParts() const override;

private:
    MCOMessageHeader m_header;
    MCOAbstractPartPtr m_mainPart;
};
