#pragma once
// FXKeychain: a small key-value store in the user's protected password store, the
// freedesktop Secret Service (gnome-keyring, KeePassXC, ...), reached through libsecret.
//
// One item per key, with the attributes "service" (the instance's service, left out when
// empty) and "account" (the key), under Tarnwick's own schema so that no other
// program's items are ever matched or removed. A string is stored as its UTF-8 bytes;
// any other value (list, map, number, date, bytes) as a binary property list. Reading
// takes a property list (binary or XML) for what it holds, refuses a keyed archive, and
// else reads the bytes as UTF-8 text.
//
// Nothing is ever written anywhere else: without a reachable Secret Service, storing
// fails (the status says so) and reading finds nothing. Failures are logged with their
// status and never raised. Calls block on D-Bus; use them where a short wait is fine.

#include <QByteArray>
#include <QString>
#include <QVariant>

#include <optional>

class FXKeychain {
public:
    /// Statuses of the store, numbered as the platform keychain numbers them, so that log
    /// lines read the same on every platform.
    enum Status : long {
        Success = 0,
        UserCanceled = -128,          // an unlock prompt was dismissed
        Param = -50,                  // an empty key
        InternalComponent = -2070,    // any other failure of the store
        NotAvailable = -25291,        // no Secret Service reachable
        ItemNotFound = -25300,
        InteractionNotAllowed = -25308, // the keyring is locked and cannot be unlocked here
    };

    /// The shared instance: service = the application's identifier, no access group.
    /// Made once, on first use, safely under concurrent first use.
    static FXKeychain &defaultKeychain();
    /// "org.tarnwick.Tarnwick".
    static QString applicationIdentifier();
    /// Connects the password store to the user's session bus now, for the life of the
    /// process. A process that then points its session bus at a private one (for its
    /// renderboxes) still finds the user's passwords.
    static void keepUsersSessionBus();

    /// An instance for `service` (may be empty). The access group is kept for callers
    /// that ask for it; the Secret Service has no such notion, so it has no effect.
    FXKeychain(const QString &service, const QString &accessGroup);

    QString service() const { return m_service; }
    QString accessGroup() const { return m_accessGroup; }

    /// Stores `value` under `key`, replacing what was there; an invalid (absent) value
    /// removes the item. True on success. A value that has no property-list form is
    /// logged and refused, and the item already stored is left as it is.
    bool setObject(const QVariant &value, const QString &key);
    /// setObject with no value: removes the item. Removing a key that has no item logs
    /// the not-found status and returns false.
    bool removeObjectForKey(const QString &key);
    /// The decoded value under `key`, or an invalid QVariant (no item, no store, or
    /// bytes that cannot be decoded, the last logged).
    QVariant objectForKey(const QString &key) const;

    /// setObject and removeObjectForKey, with the store's status in place of true/false,
    /// for callers that must tell "no such item" from "no password store".
    long putObject(const QVariant &value, const QString &key);
    /// True for the statuses that mean the password store cannot be used at all here.
    static bool isUnreachable(long status);

    /// The bytes of the item under `key` as stored; no value when there is none.
    std::optional<QByteArray> itemData(const QString &key) const;
    /// Stores `bytes` as they are (no encoding) under `key`; the store's status.
    long setItemData(const QByteArray &bytes, const QString &key);

    /// The value that `bytes` hold, as objectForKey decodes them; invalid with `error`
    /// set when they hold none.
    static QVariant decode(const QByteArray &bytes, QString *error);
    /// The bytes a value is stored as; empty with `error` set when it has no form.
    static QByteArray encode(const QVariant &value, QString *error);

private:
    long removeItem(const QString &key);

    QString m_service;
    QString m_accessGroup;
};
