#pragma once
// Mailbox names as IMAP spells them (RFC 3501 section 5.1.3: modified UTF-7, "&" shifts
// into base64 of UTF-16 with "," for "/") and as the archive names their folders.
//
// The server's own name is kept for every command and in the settings; the decoded
// name is only for paths. A hierarchy becomes folders: the server's delimiter ("/" or
// ".") separates folder levels, so "INBOX.Projects.2024" and "INBOX/Projects/2024" both
// become INBOX/Projects/2024. A "/" inside one level of a "."-delimited server is not a
// level of its own and becomes "_".

#include <QChar>
#include <QString>

namespace MCOIMAPMailboxName {

// The readable name; a malformed shift sequence is kept as it was written.
QString decodeModifiedUTF7(const QString &name);

// The mail folder for `path` below an account's main folder: decoded, one folder level
// per hierarchy level. No level is empty, "." or "..", or holds a control character, a
// "/" or a "\\", so no mailbox name can place a file outside the destination.
QString mailFolderForPath(const QString &path, QChar delimiter);

} // namespace MCOIMAPMailboxName
