#pragma once
// What a parsed message and an IMAP message have in common: a header. Destinations,
// dates and tags are computed from either kind through this interface.

#include "mailadapter/MCOMessageHeader.h"

#include <memory>

class MCOAbstractMessage {
public:
    virtual ~MCOAbstractMessage() = default;
    MCOMessageHeader &header() { return m_header; }
    const MCOMessageHeader &header() const { return m_header; }

protected:
    MCOMessageHeader m_header;
};

using MCOMessagePtr = std::shared_ptr<MCOAbstractMessage>;
