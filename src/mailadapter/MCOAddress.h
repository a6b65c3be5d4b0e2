#pragma once
// One mail address: an optional display name and a mailbox (local-part@domain), both
// already decoded to Unicode (RFC 2047 words in the display name are decoded).

#include <QList>
#include <QString>

class MCOAddress {
public:
    MCOAddress() = default;
    MCOAddress(QString displayName, QString mailbox)
        : m_displayName(std::move(displayName)), m_mailbox(std::move(mailbox)) {}

    // Empty when the address has no display name.
    const QString &displayName() const { return m_displayName; }
    const QString &mailbox() const { return m_mailbox; }
    bool isEmpty() const { return m_displayName.isEmpty() && m_mailbox.isEmpty(); }

    // "Name <mailbox>" or just the mailbox.
    QString nonEncodedRFC822String() const;

    bool operator==(const MCOAddress &) const = default;

private:
    QString m_displayName;
    QString m_mailbox;
};

using MCOAddressList = QList<MCOAddress>;
