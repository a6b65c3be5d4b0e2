#include "mailadapter/MCOIMAPPart.h"

qint64 MCOIMAPPart::decodedSize() const
{
    if (encoding() != Encoding::Base64)
        return m_size;
    // Base64 lines of 76 characters plus CRLF: 78 bytes carry 57.
    return m_size * 57 / 78;
}
