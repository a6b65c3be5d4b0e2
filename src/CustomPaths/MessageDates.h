#pragma once
// MessageDates: the one rule that chooses and repairs the date of a message. The date
// that names an output is the date that stamps it and that its PDF carries. All
// operations are static and safe on any thread.

#include <QDateTime>
#include <QString>

class MCOMessageHeader;

class MessageDates {
public:
    MessageDates() = delete;

    // Plausible: at least 10,000,000 s away from 1970-01-01 and at most 1,000,000,000 s
    // from `now` (the current time when not given).
    static bool dateOKForEmail(const QDateTime &date, const QDateTime &now = QDateTime());
    // The message date; when the parsed one is implausible, a date read from the
    // "Date", "Delivery-date" or "Received" header text is written back into the header.
    static QDateTime dateFromMailCoreHeaderAndFixTheHeaderToo(MCOMessageHeader &header);
    static QString extractDateFromRecievedHeader(const MCOMessageHeader &header);
    // UTC calendar fields of `date`; null pointers are skipped.
    static void time(const QDateTime &date, int *year, int *month, int *day, int *hour, int *minute,
                     int *second);
};
