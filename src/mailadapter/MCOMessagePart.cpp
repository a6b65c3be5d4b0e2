#include "mailadapter/MCOMessagePart.h"

QList<MCOAbstractPartPtr> MCOMessagePart::childParts() const
{
    if (!m_mainPart)
        return {};
    return {m_mainPart};
}
