#pragma once
// The header of one message, decoded: subject and display names in Unicode, addresses,
// dates, and every other header line by name.
//
// Dates are absent (an invalid QDateTime) when the message has none or it cannot be
// parsed. `setDate` exists because the date repair writes the repaired date back, so
// that everything later (HTML header block, tags, file times) sees the same date.

#include "mailadapter/MCOAddress.h"

#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>

class MCOMessageHeader {
public:
    QString subject() const { return m_subject; } // null when the message has none
    QDateTime date() const { return m_date; }     // UTC; invalid when absent
    QDateTime receivedDate() const { return m_receivedDate; }
    MCOAddress from() const { return m_from; }
    MCOAddress sender() const { return m_sender; }
    MCOAddressList to() const { return m_to; }
    MCOAddressList cc() const { return m_cc; }
    MCOAddressList bcc() const { return m_bcc; }
    MCOAddressList replyTo() const { return m_replyTo; }
    QString messageID() const { return m_messageID; }

    // The decoded, unfolded value of the first header line with this name (case does not
    // matter), or a null QString. Like the mail framework the design was written for, the
    // fields that have their own accessors above (Date, From, Sender, To, Cc, Bcc,
    // Reply-To, Subject, Message-ID) are not offered here: callers that look for a date
    // text by name find "Delivery-date" or "Received", never a Date that already failed.
    QString extraHeaderValueForName(const QString &name) const;
    // Every header line as (name, decoded value), in message order, standard ones included.
    const QList<QPair<QString, QString>> &allHeaders() const { return m_all; }

    // A full text description of the header, one "Name: value" line per header line.
    QString description() const;

    void setSubject(const QString &s) { m_subject = s; }
    void setDate(const QDateTime &d) { m_date = d.isValid() ? d.toUTC() : QDateTime(); }
    void setReceivedDate(const QDateTime &d) { m_receivedDate = d.isValid() ? d.toUTC() : QDateTime(); }
    void setFrom(const MCOAddress &a) { m_from = a; }
    void setSender(const MCOAddress &a) { m_sender = a; }
    void setTo(const MCOAddressList &l) { m_to = l; }
    void setCc(const MCOAddressList &l) { m_cc = l; }
    void setBcc(const MCOAddressList &l) { m_bcc = l; }
    void setReplyTo(const MCOAddressList &l) { m_replyTo = l; }
    void setMessageID(const QString &s) { m_messageID = s; }
    void addHeader(const QString &name, const QString &value) { m_all.append({name, value}); }

private:
    QString m_subject;
    QDateTime m_date;
    QDateTime m_receivedDate;
    MCOAddress m_from;
    MCOAddress m_sender;
    MCOAddressList m_to, m_cc, m_bcc, m_replyTo;
    QString m_messageID;
    QList<QPair<QString, QString>> m_all;
};
