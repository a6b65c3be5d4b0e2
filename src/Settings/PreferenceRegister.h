#pragma once
// PreferenceRegister: every key of the preference store, with its type, its registered
// default and whether the user sets it from the general settings (pane or `tarnwick
// config`); the names of the keys that belong to one source; and the small rules other
// parts apply to stored values (the automatic-run interval, the hours field).
//
// The register holds no state. Preferences::registerStandardDefaults() installs
// registeredDefaults(), and Preferences::shared() does so when it is first used, so
// the defaults are in place before anything reads the store in every process.

#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>

class PreferenceRegister {
public:
    PreferenceRegister() = delete;

    enum class Type {
        NumberString, // a number kept as a string ("hoursBetweenUpdates")
        Boolean,
        Integer,
        Floating,
        String,
        StringList,
        Date,
        Data,
        FileAddress,  // a path
        BookmarkPair, // base key + "_bookmark", read through URLBookmarkInPrefs only
    };

    struct Entry {
        QString key;
        Type type;
        QVariant defaultValue; // invalid: no registered default
        bool general;          // set by the user in the general settings
        QString meaning;
    };

    /// The global keys, in the order the settings show them.
    static const QList<Entry> &globalKeys();
    /// The entry of a global key; null for a key the register does not know.
    static const Entry *globalEntry(const QString &key);
    /// The defaults installed at every launch.
    static QVariantMap registeredDefaults();

    /// What a per-source key belongs to.
    enum class AppliesTo { Accounts, Both };
    struct SourceSuffix {
        QString suffix; // appended to the source key with nothing in between
        AppliesTo appliesTo;
        Type type;
    };
    /// The suffixes of the per-source keys, in the register's order.
    static const QList<SourceSuffix> &perSourceSuffixes();

    // The per-source keys of source `key` (an account's address or a folder's path).
    static QString imapKey(const QString &key);           // key + "__IMAP": the server string
    static QString authSystemKey(const QString &key);     // key + "__authSystem"
    static QString googleOAuthKeyKey(const QString &key); // key + "__googleOAuthKey"
    static QString ignoreFoldersKey(const QString &key);  // key + "__IgnoreFolders"
    // key + "__CertSHA256": the server certificate's fingerprint pinned for the account.
    static QString certificatePinKey(const QString &key);
    static QString destKey(const QString &key);           // key + "__DEST" (a bookmark pair)
    /// key + kind ("pdf", "attachment", "eml"), as the path format engine keeps them.
    static QString formatKey(const QString &key, const QString &kind);
    static QString lastFinishedKey(const QString &key); // key + "__LastFinished"
    static QString lastNumDoneKey(const QString &key);  // key + "__LastNumDone"
    /// The name of the account's password in the password store, never a preference.
    static QString passwordKey(const QString &key); // key + "__PASS"

    /// Interval limits of automatic runs, in seconds.
    static constexpr qint64 kMinRunIntervalSecs = 60;
    static constexpr qint64 kMaxRunIntervalSecs = 2592000; // 30 days
    /// The interval between automatic runs for a stored "hoursBetweenUpdates" value:
    /// hours × 3600 clamped to 60 s … 30 days. No value when the stored value is 0 or not
    /// a finite number (no timer is started, a running one is left alone); a negative
    /// number counts as no number, since a "negative interval" cannot be meant.
    static std::optional<qint64> automaticRunInterval(const QVariant &hoursBetweenUpdates);

    /// The hours field accepts digits only: every other character is dropped, the rest
    /// keep their order ("1a2" → "12").
    static QString hoursFieldText(const QString &typed);

    /// Reads `text` as a value of a general key for storing: the value typed as the
    /// register says, or no value with `reason` set.
    static std::optional<QVariant> parseGeneralValue(const Entry &entry, const QString &text, QString *reason);
    /// The name of a type, for messages and listings.
    static QString typeName(Type type);
};
