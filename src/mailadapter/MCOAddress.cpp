#include "mailadapter/MCOAddress.h"

QString MCOAddress::nonEncodedRFC822String() const
{
    if (m_displayName.isEmpty())
        return m_mailbox;
    // A name with RFC 5322 specials is quoted so that the text parses back to one address.
    static const QString specials = QStringLiteral("()<>[]:;@\\,.\"");
    bool needsQuotes = false;
    for (const QChar c : m_displayName) {
        if (specials.contains(c)) {
            needsQuotes = true;
            break;
        }
    }
    QString name = m_displayName;
    if (needsQuotes) {
        name.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
        name.replace(QLatin1Char('"'), QLatin1String("\\\""));
        name = QLatin1Char('"') + name + QLatin1Char('"');
    }
    if (m_mailbox.isEmpty())
        return name;
    return name + QLatin1String(" <") + m_mailbox + QLatin1Char('>');
}
