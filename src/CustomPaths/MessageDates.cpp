// The message date: which date of a message names, stamps and describes its outputs, and
// its repair from the header's own lines when the parsed date is implausible.

#include "CustomPaths/MessageDates.h"

#include "Utils/LenientDate.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageHeader.h"

#include <QTimeZone>

#include <cmath>

bool MessageDates::dateOKForEmail(const QDateTime &date, const QDateTime &nowGiven)
{
    if (!date.isValid())
        return false;
    const double secs = date.toMSecsSinceEpoch() / 1000.0;
    const double now = (nowGiven.isValid() ? nowGiven.toMSecsSinceEpoch() : QDateTime::currentMSecsSinceEpoch()) / 1000.0;
    return std::fabs(secs) >= 10'000'000.0 && std::fabs(secs - now) <= 1'000'000'000.0;
}

QDateTime MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(MCOMessageHeader &header)
{
    const QDateTime parsed = header.date();
    if (dateOKForEmail(parsed))
        return parsed;
    QString text = header.extraHeaderValueForName(QStringLiteral("Date"));
    if (text.isNull())
        text = header.extraHeaderValueForName(QStringLiteral("Delivery-date"));
    if (text.isNull())
        text = extractDateFromRecievedHeader(header);
    if (text.isNull())
        return parsed;
    const QDateTime repaired = LenientDate::parse(text);
    if (!dateOKForEmail(repaired))
        return parsed;
    header.setDate(repaired);
    return repaired;
}

QString MessageDates::extractDateFromRecievedHeader(const MCOMessageHeader &header)
{
    const QString received = header.extraHeaderValueForName(QStringLiteral("Received"));
    if (received.isNull())
        return {};
    const QString date = received.section(QLatin1Char(';'), -1);
    TLog(QStringLiteral("extractDateFromRecievedHeader - found date string: %1").arg(date));
    return date;
}

void MessageDates::time(const QDateTime &date, int *year, int *month, int *day, int *hour,
                              int *minute, int *second)
{
    // Whole seconds, truncated toward zero, broken down in UTC.
    const qint64 ms = date.isValid() ? date.toMSecsSinceEpoch() : 0;
    const qint64 secs = ms / 1000;
    const QDateTime utc = QDateTime::fromSecsSinceEpoch(secs, QTimeZone::utc());
    if (year)
        *year = utc.date().year();
    if (month)
        *month = utc.date().month();
    if (day)
        *day = utc.date().day();
    if (hour)
        *hour = utc.time().hour();
    if (minute)
        *minute = utc.time().minute();
    if (second)
        *second = utc.time().second();
}
