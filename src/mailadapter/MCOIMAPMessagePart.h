#pragma once
// An attached message (message/rfc822) of an IMAP message: header from the envelope the
// server sends inside BODYSTRUCTURE, and the body structure of the attached message.

#include "mailadapter/MCOMessagePart.h"

class MCOIMAPMessagePart : public MCOMessagePart {
public:
    MCOIMAPMessagePart();

    // Size in bytes of the attached message as the server reports it.
    qint64 size() const override { return m_size; }
    void setSize(qint64 size) { m_size = size; }

private:
    qint64 m_size = 0;
};
