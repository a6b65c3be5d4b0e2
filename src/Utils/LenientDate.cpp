#include "Utils/LenientDate.h"

#include <QHash>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

#include <optional>

namespace {

struct Fields {
    int year = -1, month = -1, day = -1;
    int hour = -1, minute = -1, second = 0;
    std::optional<int> offsetSecs;
};

int monthFromName(const QString &word)
{
    // Abbreviations and full names ("Sept" too); "Jane" or "Marco" are not months.
    static const char *names[] = {"january", "february", "march", "april", "may", "june",
                                  "july", "august", "september", "october", "november", "december"};
    const QString w = word.toLower();
    if (w.size() < 3)
        return -1;
    for (int i = 0; i < 12; ++i)
        if (QLatin1String(names[i]).startsWith(w))
            return i + 1;
    return -1;
}

bool isDayName(const QString &word)
{
    static const QStringList days = {QStringLiteral("mon"), QStringLiteral("tue"), QStringLiteral("wed"),
                                     QStringLiteral("thu"), QStringLiteral("fri"), QStringLiteral("sat"),
                                     QStringLiteral("sun")};
    return word.size() >= 3 && days.contains(word.left(3).toLower());
}

// RFC 5322 obsolete zones, plus the military "Z" and the European and Asian abbreviations
// that real mailers still emit.
std::optional<int> namedZone(const QString &word)
{
    static const QHash<QString, int> zones = {
        {QStringLiteral("UT"), 0},       {QStringLiteral("UTC"), 0},     {QStringLiteral("GMT"), 0},
        {QStringLiteral("Z"), 0},        {QStringLiteral("WET"), 0},     {QStringLiteral("BST"), 60},
        {QStringLiteral("CET"), 60},     {QStringLiteral("MET"), 60},    {QStringLiteral("WEST"), 60},
        {QStringLiteral("CEST"), 120},   {QStringLiteral("MEST"), 120},  {QStringLiteral("EET"), 120},
        {QStringLiteral("EEST"), 180},   {QStringLiteral("MSK"), 180},   {QStringLiteral("IST"), 330},
        {QStringLiteral("HKT"), 480},    {QStringLiteral("SGT"), 480},   {QStringLiteral("AWST"), 480},
        {QStringLiteral("JST"), 540},    {QStringLiteral("KST"), 540},   {QStringLiteral("AEST"), 600},
        {QStringLiteral("AEDT"), 660},   {QStringLiteral("NZST"), 720},  {QStringLiteral("NZDT"), 780},
        {QStringLiteral("EST"), -300},   {QStringLiteral("EDT"), -240},  {QStringLiteral("CST"), -360},
        {QStringLiteral("CDT"), -300},   {QStringLiteral("MST"), -420},  {QStringLiteral("MDT"), -360},
        {QStringLiteral("PST"), -480},   {QStringLiteral("PDT"), -420},  {QStringLiteral("AKST"), -540},
        {QStringLiteral("AKDT"), -480},  {QStringLiteral("HST"), -600},  {QStringLiteral("AST"), -240},
        {QStringLiteral("ADT"), -180},   {QStringLiteral("NST"), -210},
    };
    auto it = zones.constFind(word.toUpper());
    if (it == zones.constEnd())
        return std::nullopt;
    return *it * 60;
}

// "+0200", "-05:30", "+2" (some gateways drop the minutes).
std::optional<int> numericZone(const QString &word)
{
    static const QRegularExpression re(QStringLiteral("^([+-])(\\d{1,2}):?(\\d{2})?$"));
    const auto m = re.match(word);
    if (!m.hasMatch())
        return std::nullopt;
    const int hours = m.captured(2).toInt();
    const int minutes = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    if (hours > 14 || minutes > 59)
        return std::nullopt;
    const int secs = hours * 3600 + minutes * 60;
    return m.captured(1) == QLatin1String("-") ? -secs : secs;
}

bool readTime(const QString &word, Fields &f)
{
    static const QRegularExpression re(QStringLiteral("^(\\d{1,2}):(\\d{1,2})(?::(\\d{1,2}))?(?:[.,]\\d+)?$"));
    const auto m = re.match(word);
    if (!m.hasMatch())
        return false;
    f.hour = m.captured(1).toInt();
    f.minute = m.captured(2).toInt();
    f.second = m.captured(3).isEmpty() ? 0 : m.captured(3).toInt();
    return true;
}

int expandYear(int year, int digits)
{
    // RFC 5322 4.3: two-digit years 00-49 are 2000-2049, 50-99 are 1950-1999;
    // three-digit years add 1900.
    if (digits <= 2)
        return year < 50 ? 2000 + year : 1900 + year;
    if (digits == 3)
        return 1900 + year;
    return year;
}

QString stripComments(const QString &text)
{
    QString out;
    int depth = 0;
    for (QChar c : text) {
        if (c == QLatin1Char('('))
            ++depth;
        else if (c == QLatin1Char(')') && depth > 0)
            --depth;
        else if (depth == 0)
            out += c;
    }
    return out;
}

QDateTime assemble(const Fields &f)
{
    if (f.year < 0 || f.month < 1 || f.month > 12 || f.day < 1 || f.day > 31)
        return {};
    const QDate date(f.year, f.month, f.day);
    if (!date.isValid())
        return {};
    QTime time(0, 0, 0);
    if (f.hour >= 0) {
        // Leap seconds ("23:59:60") are clamped rather than rejected.
        time = QTime(f.hour, f.minute, qMin(f.second, 59));
        if (!time.isValid())
            return {};
    }
    QDateTime dt(date, time, QTimeZone::utc());
    if (f.offsetSecs)
        dt = dt.addSecs(-*f.offsetSecs);
    return dt;
}

QDateTime parseIso(const QString &text)
{
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2}))?(?:[.,]\\d+)?\\s*(Z|[+-]\\d{2}:?\\d{2})?)?$"),
        QRegularExpression::CaseInsensitiveOption);
    const auto m = re.match(text);
    if (!m.hasMatch())
        return {};
    Fields f;
    f.year = m.captured(1).toInt();
    f.month = m.captured(2).toInt();
    f.day = m.captured(3).toInt();
    if (!m.captured(4).isEmpty()) {
        f.hour = m.captured(4).toInt();
        f.minute = m.captured(5).toInt();
        f.second = m.captured(6).toInt();
    }
    const QString zone = m.captured(7);
    if (zone.compare(QLatin1String("Z"), Qt::CaseInsensitive) == 0)
        f.offsetSecs = 0;
    else if (!zone.isEmpty())
        f.offsetSecs = numericZone(zone);
    return assemble(f);
}

} // namespace

namespace LenientDate {

QDateTime parse(const QString &input)
{
    const QString text = stripComments(input).simplified();
    if (text.isEmpty())
        return {};
    if (QDateTime iso = parseIso(text); iso.isValid())
        return iso;

    // Tolerates commas anywhere, "-" between the date fields ("18-Jan-2014"), and the
    // fields in asctime order ("Sat Jan 18 08:16:20 2014").
    QString spaced = text;
    spaced.replace(QLatin1Char(','), QLatin1Char(' '));
    static const QRegularExpression dashed(QStringLiteral("(\\d{1,2})-([A-Za-z]{3,9})-(\\d{2,4})"));
    spaced.replace(dashed, QStringLiteral("\\1 \\2 \\3"));
    const QStringList words = spaced.split(QLatin1Char(' '), Qt::SkipEmptyParts);

    Fields f;
    QList<QPair<int, int>> numbers; // value, digit count
    for (const QString &raw : words) {
        QString word = raw;
        if (word.endsWith(QLatin1Char('.')))
            word.chop(1);
        if (word.isEmpty() || isDayName(word))
            continue;
        if (f.hour < 0 && readTime(word, f))
            continue;
        if (f.month < 0 && word.at(0).isLetter()) {
            if (const int m = monthFromName(word); m > 0) {
                f.month = m;
                continue;
            }
        }
        if (!f.offsetSecs && f.hour >= 0) {
            if (auto z = numericZone(word)) {
                f.offsetSecs = z;
                continue;
            }
            if (auto z = namedZone(word)) {
                f.offsetSecs = z;
                continue;
            }
        }
        bool ok = false;
        const int n = word.toInt(&ok);
        if (ok && n >= 0)
            numbers.append({n, int(word.size())});
    }
    if (f.month < 0 || numbers.isEmpty())
        return {};
    // Day and year: the field of four digits (or above 31) is the year.
    for (const auto &[value, digits] : numbers) {
        if (f.year < 0 && (digits >= 3 || value > 31)) {
            f.year = expandYear(value, digits);
        } else if (f.day < 0 && value >= 1 && value <= 31) {
            f.day = value;
        } else if (f.year < 0) {
            f.year = expandYear(value, digits);
        }
    }
    return assemble(f);
}

} // namespace LenientDate
