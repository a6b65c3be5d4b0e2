#include "CustomPaths/CustomPath.h"

#include "Settings/Preferences.h"

#include <QTextBoundaryFinder>

#include <array>
#include <cmath>
#include <locale.h>
#include <time.h>
#include <vector>

namespace {

const QString kPdf = QStringLiteral("pdf");
const QString kAttachment = QStringLiteral("attachment");

const QString kPdfDefault = QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__.pdf");
const QString kAttachmentDefault =
    QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%SZ  __subject__ (attachments)/__filename__");

// 2014-01-18 08:16:20 UTC, kept as 411725780 seconds after 2001-01-01 so that it reads
// the same as the preview date users know from the format editor.
constexpr qint64 kSampleSecsSince1970 = 978307200LL + 411725780LL;

// The C library's buffer: at most 499 bytes of converted date plus the terminator.
constexpr size_t kDateBufferSize = 500;
// Re-running an over-long conversion to learn its first 499 bytes stops here; only field
// widths such as "%99999999Y" or a megabyte of format text get this far.
constexpr size_t kDateScratchLimit = size_t(1) << 20;

// The kept ends of a shortened component, each at most this many UTF-8 bytes: both ends
// and the 3-byte "…" between them make at most CustomPath::kMaxComponentBytes.
constexpr qsizetype kKeptBytesEachSide = (CustomPath::kMaxComponentBytes - 3) / 2;
// Archives written before names were measured in bytes shortened components of more than
// 202 UTF-16 units to 100 units on each side. The same cut is kept where it fits the byte
// limit, so that a long ASCII subject keeps the name it already has in an archive and
// its message is still found archived.
constexpr qsizetype kMaxComponentUnits = 202;
constexpr qsizetype kKeptUnitsEachSide = 100;

// Offsets are clamped to ±2^53 s: the double-to-integer conversion must stay defined, and
// any date plus such an offset still fits time_t (the breakdown fails cleanly instead).
constexpr double kMaxOffsetSecs = 9007199254740992.0;

// Created once and never freed: a locale_t is read-only after creation, so every thread
// may format with it, and month names stay English whatever the user's language.
locale_t cLocale()
{
    static const locale_t loc = newlocale(LC_ALL_MASK, "C", locale_t(nullptr));
    return loc;
}

size_t formatTime(char *out, size_t size, const char *format, const tm &when)
{
    if (const locale_t loc = cLocale())
        return strftime_l(out, size, format, &when, loc);
    // Unreachable in practice ("C" always exists); the process locale is the best left.
    return strftime(out, size, format, &when);
}

// Converts the date codes of `templ`. The output is cut at the 500-byte buffer: the first
// 499 bytes are kept, backed up to the start of a UTF-8 sequence so no character is split.
// strftime reports an over-long result only as 0 with undefined buffer contents, so the cut
// re-runs the conversion in a larger scratch buffer rather than trusting the partial one.
QByteArray convertDate(const QByteArray &templ, const tm &when)
{
    // strftime reads a C string; a NUL in the format ends it there.
    const QByteArray format(templ.constData());
    std::array<char, kDateBufferSize> buffer{};
    const size_t written = formatTime(buffer.data(), buffer.size(), format.constData(), when);
    if (written > 0 || format.isEmpty())
        return QByteArray(buffer.data(), qsizetype(written));

    // 0 also means an empty conversion; the appended space tells the two apart.
    const QByteArray marked = format + ' ';
    for (size_t size = 2 * kDateBufferSize; size <= kDateScratchLimit; size *= 2) {
        std::vector<char> scratch(size);
        const size_t full = formatTime(scratch.data(), size, marked.constData(), when);
        if (full == 0)
            continue;
        qsizetype cut = qMin(qsizetype(full - 1), qsizetype(kDateBufferSize - 1));
        while (cut > 0 && cut < qsizetype(full - 1) && (uchar(scratch[size_t(cut)]) & 0xC0) == 0x80)
            --cut;
        return QByteArray(scratch.data(), cut);
    }
    // Its first bytes stay unknown, and guessing them would be worse than converting nothing.
    return QByteArray();
}

// Breaks `secs` down in the zone that the prefix chose. An instant that the C library
// cannot represent (offsets of millions of years) falls back to 1970, like an absent date.
tm breakDown(qint64 secs, qint64 zone)
{
    tm when{};
    bool ok = false;
    if (zone == CustomPath::kLocalZone) {
        // localtime_r need not re-read TZ; without this a zone change would go unnoticed.
        tzset();
        const time_t t = time_t(secs);
        ok = localtime_r(&t, &when) != nullptr;
    } else {
        const time_t t = time_t(zone == CustomPath::kNoZonePrefix ? secs : secs + zone);
        ok = gmtime_r(&t, &when) != nullptr;
    }
    if (!ok) {
        const time_t epoch = 0;
        gmtime_r(&epoch, &when);
    }
    return when;
}

// Length of the decimal number strtod would read at the start of `text` (after the white
// space counted in `start`), or 0. Hexadecimal, "inf" and "nan" are not hours of a zone.
qsizetype leadingNumberEnd(const QString &text, qsizetype start)
{
    qsizetype i = start;
    const auto at = [&](qsizetype k) { return k < text.size() ? text.at(k).unicode() : char16_t(0); };
    const auto isDigit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
    if (at(i) == u'+' || at(i) == u'-')
        ++i;
    qsizetype digits = 0;
    for (; isDigit(at(i)); ++i)
        ++digits;
    if (at(i) == u'.')
        for (++i; isDigit(at(i)); ++i)
            ++digits;
    if (digits == 0)
        return start;
    if (at(i) == u'e' || at(i) == u'E') {
        qsizetype j = i + 1;
        if (at(j) == u'+' || at(j) == u'-')
            ++j;
        if (isDigit(at(j))) {
            while (isDigit(at(j)))
                ++j;
            i = j;
        }
    }
    return i;
}

bool isTrimmedSpace(QChar c)
{
    const char16_t u = c.unicode();
    if (u == u'\t' || (u >= 0x0A && u <= 0x0D) || u == 0x85)
        return true;
    switch (c.category()) {
    case QChar::Separator_Space:
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

template <typename Pred> QString trimmedBy(const QString &text, Pred trims)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && trims(text.at(begin)))
        ++begin;
    while (end > begin && trims(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}

bool hasUnpairedSurrogate(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate())
            ++i;
        else if (c.isSurrogate())
            return true;
    }
    return false;
}

// The longest run of whole characters (grapheme clusters, so an accent or an emoji
// sequence is never cut apart) from the front of `text`, or from its back, that fits into
// `budget` UTF-8 bytes and `unitBudget` UTF-16 units.
QString fittingEnd(const QString &text, qsizetype budget, qsizetype unitBudget, bool fromFront)
{
    QList<qsizetype> bounds{0};
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    for (qsizetype at = finder.toNextBoundary(); at > 0; at = finder.toNextBoundary())
        bounds.append(at);
    if (bounds.last() != text.size())
        bounds.append(text.size());
    const auto bytesBetween = [&text](qsizetype from, qsizetype to) {
        return QStringView(text).mid(from, to - from).toUtf8().size();
    };
    qsizetype bytes = 0;
    if (fromFront) {
        qsizetype kept = 0;
        for (qsizetype i = 1; i < bounds.size(); ++i) {
            bytes += bytesBetween(bounds[i - 1], bounds[i]);
            if (bytes > budget || bounds[i] > unitBudget)
                break;
            kept = bounds[i];
        }
        return text.left(kept);
    }
    qsizetype start = text.size();
    for (qsizetype i = bounds.size() - 1; i > 0; --i) {
        bytes += bytesBetween(bounds[i - 1], bounds[i]);
        if (bytes > budget || text.size() - bounds[i - 1] > unitBudget)
            break;
        start = bounds[i - 1];
    }
    return text.mid(start);
}

QString shortenedComponent(const QString &component)
{
    if (component.size() <= kMaxComponentUnits && component.toUtf8().size() <= CustomPath::kMaxComponentBytes)
        return component;
    // Keeping both ends preserves the date at the front and the extension at the back.
    return fittingEnd(component, kKeptBytesEachSide, kKeptUnitsEachSide, true) + QChar(0x2026) +
           fittingEnd(component, kKeptBytesEachSide, kKeptUnitsEachSide, false);
}

QStringList examplesOf(const QStringList &formats)
{
    QStringList examples;
    examples.reserve(formats.size());
    for (const QString &format : formats)
        examples << CustomPath::getExample(format);
    return examples;
}

} // namespace

QString CustomPath::generalAccount() { return QStringLiteral("General"); }

QString CustomPath::getFormat(const QString &kind, const QString &account)
{
    const QString level = account.isEmpty() ? generalAccount() : account;
    if (kind.isEmpty())
        return QStringLiteral("n/a");
    const QString own = Preferences::shared().stringForKey(level + kind);
    if (!own.isEmpty())
        return own;
    if (level == generalAccount())
        return defaultFormat(kind);
    const QString general = getFormat(kind, generalAccount());
    return general.isEmpty() ? defaultFormat(kind) : general;
}

QString CustomPath::getPathFormat(const QString &account) { return getFormat(kPdf, account); }

QString CustomPath::getAttachmentFormat(const QString &account) { return getFormat(kAttachment, account); }

QString CustomPath::getEMLFormat(const QString &account) { return getFormat(QStringLiteral("eml"), account); }

void CustomPath::setFormat(const QString &kind, const QString &account, const QString &format)
{
    // Writing only real changes keeps a source that merely confirmed the inherited format
    // following later changes of the general level.
    if (format != getFormat(kind, account))
        Preferences::shared().setValue(account + kind, format);
}

void CustomPath::clearFormat(const QString &kind, const QString &account)
{
    Preferences::shared().removeObjectForKey(account + kind);
}

QString CustomPath::defaultFormat(const QString &kind)
{
    if (kind == kPdf)
        return kPdfDefault;
    if (kind == kAttachment)
        return kAttachmentDefault;
    return QString();
}

QStringList CustomPath::pdfFormats()
{
    return {kPdfDefault,
            QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.pdf"),
            QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.pdf"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.pdf")};
}

QStringList CustomPath::attachmentFormats()
{
    return {kAttachmentDefault,
            QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__ (attachments)/__filename__"),
            QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__ (attachments)/__filename__"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S_Attachments/__filename__"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S___filename__")};
}

QStringList CustomPath::emlFormats()
{
    return {QString(),
            QStringLiteral("%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("localTZ__%Y/%m/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("-4TZ__%Y/%Y-%m-%d %H.%M.%S  __subject__.eml"),
            QStringLiteral("localTZ__%Y-%m-%d_%H%M%S __fromLast__-__toLast_____subject__.eml")};
}

QString CustomPath::getExample(const QString &format)
{
    return substituteFormat(format, QDateTime::fromSecsSinceEpoch(kSampleSecsSince1970, Qt::UTC),
                            QStringLiteral("Typical Email Subject"), QStringLiteral("Smith"),
                            QStringLiteral("Doe"), QStringLiteral("john.smith@example.com"),
                            QStringLiteral("jane.doe@example.org"), QStringLiteral("My Great Word Doc.docx"));
}

QStringList CustomPath::pdfExamples() { return examplesOf(pdfFormats()); }

QStringList CustomPath::attachmentExamples() { return examplesOf(attachmentFormats()); }

QStringList CustomPath::emlExamples() { return examplesOf(emlFormats()); }

QString CustomPath::exampleToFormatString(const QString &example)
{
    for (const QStringList &formats : {pdfFormats(), attachmentFormats(), emlFormats()}) {
        const qsizetype index = examplesOf(formats).indexOf(example);
        if (index >= 0)
            return formats.at(index);
    }
    return QString();
}

QString CustomPath::substituteFormat(const QString &format, const QDateTime &date, const QString &subject,
                                     const QString &fromLast, const QString &toLast, const QString &emailFrom,
                                     const QString &emailTo, const QString &filename)
{
    // Joined subject lines lose the break without a space, as mail clients display them.
    QString flatSubject = subject;
    flatSubject.replace(QLatin1Char('\n'), QString())
        .replace(QLatin1Char('\r'), QString())
        .replace(QLatin1String("\t "), QLatin1String(" "))
        .replace(QLatin1String("\t "), QLatin1String(" "))
        .replace(QLatin1String(" \t"), QLatin1String(" "))
        .replace(QLatin1String(" \t"), QLatin1String(" "))
        .replace(QLatin1Char('\t'), QLatin1Char(' '));

    qint64 zone = kNoZonePrefix;
    const QString templ = timeZoneAdjust(format, &zone);
    // Integer division truncates toward zero, as the seconds of a pre-1970 date must.
    const qint64 secs = date.isValid() ? date.toMSecsSinceEpoch() / 1000 : 0;
    QString path = QString::fromUtf8(convertDate(templ.toUtf8(), breakDown(secs, zone)));

    // After the date conversion, so a "%" inside a value is never a conversion code.
    path.replace(QLatin1String("__subject__"), sanitizePathComponentPart(flatSubject, true))
        .replace(QLatin1String("__fromLast__"), sanitizePathComponentPart(fromLast, true))
        .replace(QLatin1String("__toLast__"), sanitizePathComponentPart(toLast, true))
        .replace(QLatin1String("__filename__"), sanitizePathComponentPart(filename, true))
        .replace(QLatin1String("__emailFrom__"), emailFrom)
        .replace(QLatin1String("__emailTo__"), emailTo);

    // Names are written composed (NFC), the form keyboards, shells and file managers
    // produce; byte-comparing file systems would not find a decomposed name typed by hand.
    path = path.normalized(QString::NormalizationForm_C);

    // Addresses and format text may carry "/", so the path could otherwise be absolute or
    // climb out of the destination folder: empty components go (the result is relative)
    // and "." and ".." components are defused into "_" and "__".
    QStringList components;
    for (QString component : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (component == QLatin1String(".") || component == QLatin1String(".."))
            component.fill(QLatin1Char('_'));
        components << shortenedComponent(component);
    }
    return components.join(QLatin1Char('/'));
}

QString CustomPath::timeZoneAdjust(const QString &format, qint64 *tzSecs)
{
    qint64 zone = kNoZonePrefix;
    QString rest = format;
    const QLatin1String marker("TZ__");
    const qsizetype at = format.indexOf(marker);
    if (at >= 0) {
        const QString prefix = format.left(at + marker.size());
        rest = format.mid(at + marker.size());
        if (prefix == QLatin1String("localTZ__")) {
            zone = kLocalZone;
        } else {
            // The number is read as strtod would in the C locale, white space first.
            const auto isCSpace = [](QChar c) { return c == u' ' || (c >= u'\t' && c <= u'\r'); };
            qsizetype start = 0;
            while (start < prefix.size() && isCSpace(prefix.at(start)))
                ++start;
            const qsizetype end = leadingNumberEnd(prefix, start);
            const double hours = end > start ? prefix.mid(start, end - start).toDouble() : 0.0;
            const double secs = std::trunc(hours * 3600.0);
            zone = qint64(qBound(-kMaxOffsetSecs, std::isnan(secs) ? 0.0 : secs, kMaxOffsetSecs));
        }
    }
    if (tzSecs)
        *tzSecs = zone;
    return rest;
}

QString CustomPath::sanitizePathComponentPart(const QString &text, bool removeSlash)
{
    if (text.isEmpty())
        return QString();
    QString part = text;
    part.replace(QLatin1Char(':'), QLatin1Char(' '));
    if (removeSlash)
        part.replace(QLatin1Char('/'), QLatin1Char(' '));
    // Spelled out rather than QString::trimmed so that the set stays exactly category Z
    // plus the listed controls, whatever Qt counts as white space.
    part = trimmedBy(part, isTrimmedSpace);
    // Leading dots would hide the file; trailing ones are dropped by some file systems.
    part = trimmedBy(part, [](QChar c) { return c == u'.'; });
    part.replace(QLatin1Char('\\'), QLatin1Char(' '))
        .replace(QLatin1Char('\n'), QLatin1Char(' '))
        .replace(QLatin1Char('\r'), QLatin1Char(' '));
    part = part.normalized(QString::NormalizationForm_C);
    if (hasUnpairedSurrogate(part))
        return QStringLiteral("..not found..");
    return part;
}

QString CustomPath::ensurePathComponentsAreNotTooLong(const QString &relativePath)
{
    QStringList components = relativePath.split(QLatin1Char('/'));
    for (QString &component : components)
        component = shortenedComponent(component);
    return components.join(QLatin1Char('/'));
}
