#pragma once
// A multipart node: its children in message order. mimeType() is "multipart/<subtype>".

#include "mailadapter/MCOAbstractPart.h"

class MCOMultipart : public MCOAbstractPart {
public:
    MCOMultipart() : MCOAbstractPart(Kind::Multipart) { setMimeType(QStringLiteral("multipart/mixed")); }

    // The subtype in lower case: "mixed", "alternative", "related", "signed", ...
    QString subtype() const;

    // The children in order; shared with this part.
    const QList<MCOAbstractPartPtr> &parts() const { return m_parts; }
    QList<MCOAbstractPartPtr> childParts() const override { return m_parts; }

    // Appends `part` (not null) as the last child.
    void addPart(MCOAbstractPartPtr part) { m_parts.append(std::move(part)); }

private:
    QList<MCOAbstractPartPtr> m_parts;
};
