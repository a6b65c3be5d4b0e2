#pragma once
// A leaf of an IMAP message, as the server's BODYSTRUCTURE describes it. It carries no
// content: the IMAP session fetches the section partID() when the bytes are needed.

#include "mailadapter/MCOAbstractPart.h"

class MCOIMAPPart : public MCOAbstractPart {
public:
    MCOIMAPPart() : MCOAbstractPart(Kind::Single) {}

    // Size in bytes of the section as the server reports it (still transfer-encoded).
    qint64 size() const override { return m_size; }
    void setSize(qint64 size) { m_size = size; }

    // The size once the transfer encoding is undone: exact for identity encodings, an
    // estimate (3/4, minus line breaks) for base64, the reported size otherwise.
    qint64 decodedSize() const;

private:
    qint64 m_size = 0;
};
