#pragma once
// The rule that sorts the leaves of a message into body texts, inline attachments and
// attachments; one implementation for parsed and IMAP messages. The rule itself is
// described in MCOMessageParser.h.

#include "mailadapter/MCOAbstractPart.h"

#include <QList>
#include <QSet>
#include <QString>

#include <functional>

class MCOPartClassifier {
public:
    struct Result {
        QList<MCOAbstractPartPtr> bodyTexts;             // document order
        QList<MCOAbstractPartPtr> htmlInlineAttachments; // document order
        QList<MCOAbstractPartPtr> attachments;           // document order
    };

    // Returns the decoded text of an HTML body text part.
    using HTMLText = std::function<QString(const MCOAbstractPart &htmlBodyText)>;

    // For a parsed message: inline attachments are the non-body leaves whose Content-ID
    // or Content-Location is referenced from an HTML body text. `htmlText` is called only
    // when some leaf has a Content-ID or Content-Location, once per HTML body text.
    static Result classify(const MCOAbstractPartPtr &root, const HTMLText &htmlText);

    // For a body structure without the HTML text: a non-body leaf with a Content-ID or
    // Content-Location inside a multipart/related counts as inline.
    static Result classifyByStructure(const MCOAbstractPartPtr &root);

    // A text/plain, text/html or text/enriched leaf, not marked as attachment, without
    // a file name.
    static bool isBodyText(const MCOAbstractPart &part);

    // Content IDs that `html` references through cid: URLs: percent-decoded, angle
    // brackets removed, lower case.
    static QSet<QString> cidReferences(const QString &html);

    // True when `html` names `location` as a URL (in an attribute value or a CSS url()).
    static bool referencesLocation(const QString &html, const QString &location);
};
