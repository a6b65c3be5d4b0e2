#pragma once
// AccountFields: the rules of the account pane that need no widget: how its three fields
// (e-mail address, server string, password) are cleaned, when the provider lookup runs,
// when a connection may be attempted, the key under which a fetched mailbox list is
// cached, and the account's switched-off mailboxes.
//
// The cache key is a keyed hash (HMAC-SHA-256 with a key of the pane's own, made at
// random) of e-mail + "_" + server string + "_" + password, never that text itself: the
// cache lives as long as the pane, and a password should live only as long as a fetch
// needs it. The random key keeps a memory dump from offering an unsalted hash of the
// password to a dictionary.

#include <QByteArray>
#include <QString>

class Preferences;

class AccountFields {
public:
    /// Makes a key for cacheKey(), at random, for one pane.
    AccountFields();

    /// The text of a field with white space and line breaks trimmed from both ends.
    static QString trimmed(const QString &text);
    /// Whether finishing the e-mail field fills the server field by the provider lookup:
    /// the server field is empty and the address has at least 10 characters.
    static bool shouldLookUpServer(const QString &email, const QString &server);
    /// Whether a connection may be attempted: an address of at least 5 characters and, for
    /// a password account, a password of at least 3 and a server string of at least 4.
    static bool isPlausible(const QString &email, const QString &server, const QString &password, bool google);
    /// The Google IMAP server the pane shows and connects to for Google accounts.
    static QString googleIMAPServer() { return QStringLiteral("imap.gmail.com"); }

    /// The cache key of a mailbox list fetched with these three field values.
    QByteArray cacheKey(const QString &email, const QString &server, const QString &password) const;

    /// Whether mailbox `path` of account `email` is on (not in email + "__IgnoreFolders").
    static bool isFolderON(const QString &email, const QString &path, Preferences &prefs);
    /// Switches mailbox `path` of `email` off when on, on when off. Nothing is stored for
    /// an empty address or path.
    static void toggleFolderSetting(const QString &email, const QString &path, Preferences &prefs);

private:
    QByteArray m_key;
};
