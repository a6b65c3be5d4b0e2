#pragma once
// A forgiving reader of the date texts found in mail headers ("Date", "Delivery-date",
// the tail of a "Received" line). It accepts RFC 5322 date-times with or without the day
// name, obsolete two-digit years, named and numeric zones, comments, missing seconds,
// ISO 8601 and the asctime()/ctime() layout some old gateways write.

#include <QDateTime>
#include <QString>

namespace LenientDate {

// The instant the text names, in UTC, or an invalid QDateTime when no date can be read.
// A text without a zone is taken as UTC.
QDateTime parse(const QString &text);

} // namespace LenientDate
