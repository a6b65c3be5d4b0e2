#pragma once
// Decoding of raw header values into Unicode: RFC 2047 encoded words, RFC 2231
// parameters, raw 8-bit text, addresses, dates and message IDs. Shared by the message
// parser and by IMAP messages whose header arrives as raw bytes.
//
// Charsets go through MCOCharset: a declared charset that is unknown or does not fit
// the bytes degrades to a best guess, helped by `hints` (other charset labels seen in the
// same message). None of these functions fails: undecodable input gives the best text
// that can be made of it.

#include "mailadapter/MCOMessageHeader.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

class MCOHeaderDecoder {
public:
    // One header line as it stands in the message: name, and raw value after the colon
    // (folding and all).
    struct RawField {
        QByteArray name;
        QByteArray value;
    };

    // Unfolded, encoded words decoded, raw 8-bit text converted, line breaks and tabs
    // turned into spaces, ends trimmed. Null only for a null `raw`.
    static QString decodeText(QByteArrayView raw, const QList<QByteArray> &hints = {});

    // The addresses of an address-list header (groups flattened into their members),
    // display names decoded.
    static MCOAddressList decodeAddresses(QByteArrayView raw, const QList<QByteArray> &hints = {});

    // Value of parameter `name` (lower case) of a structured header such as
    // Content-Disposition; RFC 2231 sections, charsets and percent-encoding, and RFC 2047
    // words inside quoted values, are decoded. Null when the parameter is absent.
    static QString parameter(QByteArrayView rawValue, QByteArrayView name, const QList<QByteArray> &hints = {});

    // The leading token of a structured header ("attachment" of
    // "attachment; filename=a"), lower case, unquoted.
    static QString leadingToken(QByteArrayView rawValue);

    // A date-time header value as UTC; invalid when it cannot be read.
    static QDateTime decodeDate(QByteArrayView raw);

    // A Message-ID / Content-ID value without angle brackets or comments.
    static QString decodeMessageID(QByteArrayView raw);

    // Adds to `charsets` (lower case, no duplicates) the charset of every encoded word
    // found in `raw`.
    static void collectCharsets(QByteArrayView raw, QList<QByteArray> *charsets);

    // Fills `header` from the fields of one header block, in message order: every field
    // into allHeaders(), the first Subject, Date, Message-ID, From and Sender, the
    // addresses of every To, Cc, Bcc and Reply-To line, and receivedDate() from the
    // first Received line.
    static void fillHeader(MCOMessageHeader &header, const QList<RawField> &fields,
                           const QList<QByteArray> &hints = {});
};
