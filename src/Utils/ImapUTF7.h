#pragma once
// IMAP's modified UTF-7 (RFC 3501, 5.1.3), the form in which servers name mailboxes and in
// which mail clients keep those names on disk (Thunderbird's IMAP folders, Maildir++
// stores): "Entw&APw-rfe" is "Entwürfe", "&-" is "&".

#include <QByteArrayView>
#include <QString>

class ImapUTF7 {
public:
    ImapUTF7() = delete;
    // The Unicode name of a modified UTF-7 mailbox name. A name that is not valid modified
    // UTF-7 (a shift without its "-", bad base64, an unpaired surrogate) comes back as it
    // is, read as UTF-8: some servers and clients write plain UTF-8 names.
    static QString decode(QByteArrayView name);
    // The modified UTF-7 form of a Unicode mailbox name.
    static QByteArray encode(const QString &name);
};
