#pragma once
// PathFormatCheck: whether a path format may be stored, judged on its expansion for the
// sample message (CustomPath::getExample), before anything is written.
//
// A format of fewer than five characters is accepted: it means "no output of this kind".
// Refused are formats that hold control characters (a line break cannot be typed into the
// editor and makes paths no file manager shows), formats that expand to nothing, and
// attachment formats without "__filename__", which would give every attachment of a
// message the same name (attachments never replace a file, so all but the first would be
// lost).

#include <QString>

class PathFormatCheck {
public:
    PathFormatCheck() = delete;

    /// True for "pdf", "attachment" and "eml".
    static bool isKind(const QString &kind);
    /// Why `format` cannot be stored for `kind`; the empty string when it can.
    static QString rejectionReason(const QString &kind, const QString &format);
};
