#include "mailadapter/MCOMessageHeader.h"

#include <QSet>

QString MCOMessageHeader::extraHeaderValueForName(const QString &name) const
{
    static const QSet<QString> ownAccessors = {
        QStringLiteral("date"),   QStringLiteral("from"), QStringLiteral("sender"),
        QStringLiteral("to"),     QStringLiteral("cc"),   QStringLiteral("bcc"),
        QStringLiteral("reply-to"), QStringLiteral("subject"), QStringLiteral("message-id")};
    const QString wanted = name.trimmed().toLower();
    if (wanted.isEmpty() || ownAccessors.contains(wanted))
        return {};
    for (const auto &field : m_all) {
        if (field.first.compare(wanted, Qt::CaseInsensitive) == 0)
            return field.second.isNull() ? QString(QLatin1String("")) : field.second;
    }
    return {};
}

QString MCOMessageHeader::description() const
{
    QString out;
    for (const auto &field : m_all) {
        out += field.first;
        out += QLatin1String(": ");
        out += field.second;
        out += QLatin1Char('\n');
    }
    return out;
}
