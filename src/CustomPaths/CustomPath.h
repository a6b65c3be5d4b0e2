#pragma once
// The path format engine: keeps the user's path formats per format kind ("pdf",
// "attachment", "eml") and per source, offers the built-in choices, and expands a format
// for one message into a relative output path.
//
// A format is a relative path template: strftime conversion codes for the message date,
// the placeholders __subject__, __fromLast__, __toLast__, __filename__, __emailFrom__ and
// __emailTo__, an optional time-zone prefix ending in "TZ__", and "/" for folder levels.
//
// All members are static and the class holds no state. Lookup, store and clear go through
// Preferences::shared(); everything else reads no preferences and is safe on any thread.

#include <QDateTime>
#include <QString>
#include <QStringList>

class CustomPath {
public:
    CustomPath() = delete;

    /// The longest path component written, in UTF-8 bytes. Linux file systems take 255;
    /// the rest is room for what writing adds to a name for a while (the ".XXXXXX" of an
    /// atomic save, an ".eml" in place of a missing extension, a duplicate counter).
    static constexpr qsizetype kMaxComponentBytes = 235;

    /// Zone outcome of timeZoneAdjust: the format has no prefix, the date is taken in UTC.
    static constexpr qint64 kNoZonePrefix = 777777777;
    /// Zone outcome of timeZoneAdjust: the "localTZ__" prefix, the computer's own zone.
    static constexpr qint64 kLocalZone = 888888888;

    /// The account key of the level that every source inherits from: "General".
    static QString generalAccount();

    /// The effective format of `kind` for `account`: the source's own entry, else the
    /// general level's, else the built-in default. An empty account means the general
    /// level; an empty kind yields "n/a". Entries holding the empty string count as unset.
    static QString getFormat(const QString &kind, const QString &account);
    /// getFormat of "pdf".
    static QString getPathFormat(const QString &account);
    /// getFormat of "attachment".
    static QString getAttachmentFormat(const QString &account);
    /// getFormat of "eml".
    static QString getEMLFormat(const QString &account);

    /// Stores `format` as the own format of `account` (used as given, so pass
    /// generalAccount() for the general level), but only when it differs from the format
    /// the account already gets; a source set to what it inherits keeps inheriting.
    static void setFormat(const QString &kind, const QString &account, const QString &format);
    /// Removes the own format of `account`, which then inherits again.
    static void clearFormat(const QString &kind, const QString &account);

    /// The built-in default of `kind`; the empty string (no output) for "eml" and for any
    /// unknown kind.
    static QString defaultFormat(const QString &kind);

    /// The built-in choices of "pdf" (4), "attachment" (5) and "eml" (5); the first of
    /// each list is the kind's default.
    static QStringList pdfFormats();
    static QStringList attachmentFormats();
    static QStringList emlFormats();

    /// The preview of `format`: its expansion for a fixed sample message dated
    /// 2014-01-18 08:16:20 UTC, subject "Typical Email Subject", from Smith to Doe, with
    /// the attachment "My Great Word Doc.docx".
    static QString getExample(const QString &format);
    /// The previews of the built-in choices, index for index.
    static QStringList pdfExamples();
    static QStringList attachmentExamples();
    static QStringList emlExamples();
    /// The built-in format whose preview is `example`, searching the pdf, attachment and
    /// eml choices in that order; the empty string when no choice previews as it.
    static QString exampleToFormatString(const QString &example);

    /// Expands `format` for one message into a relative path. The date codes are
    /// converted in the C locale (output limited to 499 bytes, see the .cpp) in the zone
    /// that the prefix selects; an invalid `date` counts as 1970-01-01 00:00:00 UTC. The
    /// subject, last names and file name are cleaned into single components; the two
    /// addresses are inserted as given, so a "/" in them makes a folder level. The result
    /// never starts with "/", never has empty, "." or ".." components, is in Unicode NFC,
    /// and every component is shortened as ensurePathComponentsAreNotTooLong does.
    static QString substituteFormat(const QString &format, const QDateTime &date, const QString &subject,
                                    const QString &fromLast, const QString &toLast, const QString &emailFrom,
                                    const QString &emailTo, const QString &filename);

    /// Removes the zone prefix (everything up to and including the first "TZ__") from
    /// `format` and reports through `tzSecs` kNoZonePrefix, kLocalZone, or the fixed offset
    /// in seconds to add to UTC that the prefix's leading decimal number of hours names
    /// (0 when the prefix does not start with a number).
    static QString timeZoneAdjust(const QString &format, qint64 *tzSecs);

    /// Makes `text` fit inside one path component: ":" (and "/" when `removeSlash`) become
    /// spaces, white space then dots are trimmed from both ends, backslashes and inner line
    /// breaks become spaces, and the result is in Unicode NFC. Text that cannot be written
    /// as UTF-8 (an unpaired surrogate) becomes "..not found..".
    static QString sanitizePathComponentPart(const QString &text, bool removeSlash);

    /// Shortens every "/"-separated component longer than kMaxComponentBytes UTF-8 bytes
    /// or 202 UTF-16 units to its first and last characters, each end at most 116 bytes
    /// and 100 units, with "…" between them, cut only between whole characters (grapheme
    /// clusters); the path structure is otherwise kept as is.
    static QString ensurePathComponentsAreNotTooLong(const QString &relativePath);
};
