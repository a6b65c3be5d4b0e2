#pragma once
// PdfInfo: rewrites the document information dictionary of a PDF through qpdf, keeping
// the page content and every entry it does not set. The keywords are written twice: as
// the Keywords string that every reader shows, and as the array under "AAPL:Keywords"
// that keeps keywords containing commas intact.

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariantList>

/// The entries to write. Empty strings and invalid dates are left out.
struct PdfInfoFields {
    QStringList keywords;   ///< merged with the PDF's present keywords, lower-cased
    QString author;
    QString title;
    QString subject;
    QString creator;
    QDateTime creationDate;
    QDateTime modDate;
    QString messageIdentity; ///< the message the PDF was made of, under "TarnwickMessageID"
};

class PdfInfo {
public:
    /// Every string element of both lists lower-cased, each once, in first-seen order;
    /// other elements are skipped.
    static QStringList combineArraysSkipDuplicatesLowercase(const QVariantList &one, const QVariantList &two);
    /// The bundle identifier written into Creator.
    static QString appName();
    /// The application's short version string.
    static QString appVersion();
    /// "<appName>  version:<appVersion>" (two spaces, as other archives of this kind have).
    static QString creatorString();
    /// The PDF date text of `date`, in UTC: "D:YYYYMMDDHHmmSSZ".
    static QString pdfDate(const QDateTime &date);

    /// The keywords the PDF at `path` has now (its keyword array and its comma-separated
    /// Keywords string), each once; empty when it has none or cannot be opened.
    static QStringList presentKeywords(const QString &path);

    /// The "TarnwickMessageID" entry of the PDF's document information; empty when it has
    /// none or cannot be opened.
    static QString messageIdentity(const QString &path);

    /// Rewrites the PDF at `path` with `fields` set in its document information. A file
    /// qpdf cannot open is left unchanged (false). The new file replaces the old one
    /// atomically; when that fails the old file is deleted and written again in place,
    /// and a failure of that is logged. True when the new file was written.
    static bool rewrite(const QString &path, const PdfInfoFields &fields);
};
