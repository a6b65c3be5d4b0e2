#pragma once
// MailStores: the mail stores that Linux mail clients keep on disk, as the folder scan
// meets them. Thunderbird keeps each folder as an mbox file without an extension (its
// sub-folders in a "NAME.sbd" folder beside it, an ".msf" index beside each); Evolution,
// KMail, mutt, offlineimap, mbsync, notmuch and mu keep Maildirs ("cur", "new" and "tmp",
// one file per message, Maildir++ sub-folders named ".Sent" or ".Lists.foo"); the system
// keeps mbox spools named after the user. These operations recognise them, name their
// folders as the client shows them, and read their flags. None of them changes a store.

#include <QByteArray>
#include <QString>
#include <QStringList>

class MailStores {
public:
    MailStores() = delete;

    // Whether the regular file at `path` is an mbox file by its content: its first line is
    // an mbox "From " separator (a sender, then a date with a time of day). Only that line
    // is read; index and profile files of mail clients are not opened at all.
    static bool looksLikeMboxFile(const QString &path);
    // Whether `firstLine` is an mbox "From " separator line.
    static bool isFromSeparatorLine(QByteArrayView firstLine);

    // Whether `folder` is a Maildir: it holds the folders "cur" and "new".
    static bool isMaildir(const QString &folder);
    // The message files of the Maildir `folder`: every regular file in "cur" and "new",
    // "new" first, each in the order the file system gives. "tmp" holds messages still
    // being delivered and is never read.
    static QStringList maildirMessages(const QString &folder);

    // The mail folder levels, as the client shows them, of a folder level `name` that lies
    // at `fullPath`: a Thunderbird "NAME.sbd" is NAME; a Maildir++ sub-folder ".Lists.foo"
    // is Lists/foo; the "cur" and "new" of a Maildir are no level at all; mailbox names
    // kept in IMAP's modified UTF-7 are decoded. Any other name is itself.
    static QStringList clientFolderLevels(const QString &name, const QString &fullPath);

    // Tags a message file carries outside its message: the Maildir flag "F" (flagged) in
    // the file name gives "Flagged".
    static QStringList tagsOfMessageFile(const QString &path);
    // The user tags of a Thunderbird "X-Mozilla-Keys" header value: its keywords, with the
    // built-in labels $label1 … $label5 named Important, Work, Personal, To Do and Later,
    // and the junk-filter and system keywords left out.
    static QStringList mozillaKeywordTags(const QString &value);

    // Opens `path` for reading without updating its access time where the file is ours
    // (O_NOATIME); -1 when it cannot be opened. The caller closes the descriptor.
    static int openForReading(const QString &path);
};
