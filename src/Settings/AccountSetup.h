#pragma once
// AccountSetup: the class-level operations of IMAP account set-up that the rest of the
// program uses: sign-in kinds, Google token names, saving an account with its server
// string and password, removing it, and reading a server string.
//
// An account is identified by its e-mail address, which is also its IMAP user name and
// its source key. Everything but the password lives in the preference store (`prefs`,
// the process-wide store unless given); the password lives in the password store under
// the address + "__PASS".

#include <QString>

#include <optional>

class FXKeychain;
class Preferences;

/// What a server string selects: host, port and the connection type, numbered as the
/// IMAP layer numbers them.
struct IMAPServer {
    enum ConnectionType { Clear = 1, StartTLS = 2, TLS = 4 };
    QString host;
    int port = 993;
    ConnectionType connectionType = TLS;
};

class AccountSetup {
public:
    AccountSetup() = delete;

    static QString kauthUserPass() { return QStringLiteral("kauth_user_pass"); }
    static QString kauthGoogleOAuth() { return QStringLiteral("kauth_google_oauth"); }

    /// The sign-in kind of `email`: "kauth_user_pass" for an empty address or when none
    /// is stored.
    static QString authSystem(const QString &email);
    static QString authSystem(const QString &email, Preferences &prefs);
    /// Stores the kind; does nothing when either is empty.
    static void setAuthSystem(const QString &kind, const QString &email);
    static void setAuthSystem(const QString &kind, const QString &email, Preferences &prefs);

    /// The account's Google token name; one is made and stored when none is. The empty
    /// string for an empty address.
    static QString keyChainIDForEmail(const QString &email);
    static QString keyChainIDForEmail(const QString &email, Preferences &prefs);
    /// Stores the token name; does nothing when either is empty.
    static void setKeyChainID(const QString &keyChainID, const QString &email);
    static void setKeyChainID(const QString &keyChainID, const QString &email, Preferences &prefs);
    /// A new token name "%d-%d": whole seconds since 2001-01-01 00:00:00 UTC (32 bits) and
    /// a per-process counter from 0, so that two names of the same second differ.
    static QString newKeyChainID();

    /// Saves an account: the password (when given) in the password store first, then the
    /// address in "EmailAccounts" (once) and the server string (the empty string when none
    /// is given). When the password cannot be stored nothing is saved and the result is
    /// false, with the store's status in `status`: an account that looks saved but has
    /// lost its password would fail every run without saying why.
    static bool setPrefsEmailAddress(const QString &email, const std::optional<QString> &imapConfig,
                                     const std::optional<QString> &password, long *status = nullptr);
    static bool setPrefsEmailAddress(const QString &email, const std::optional<QString> &imapConfig,
                                     const std::optional<QString> &password, Preferences &prefs,
                                     FXKeychain &keychain, long *status = nullptr);

    /// Removes an account as the account pane does: its address from "EmailAccounts",
    /// its server string, and its password item. The password goes first; when the
    /// password store cannot be reached the account is kept (false, `status` set), so
    /// that no secret is left behind without an account that names it. A Google account's
    /// saved sign-in goes too. The account's other keys stay. False without a status
    /// when the address is not an account.
    static bool removeAccount(const QString &email, Preferences &prefs, FXKeychain &keychain, long *status = nullptr);

    /// Reads a server string: host[:port[:security]]. The port is read as a leading
    /// decimal number (none: 0), 993 when absent; "clear", "nossl" and "notls" (any case)
    /// select a plain connection, "starttls" STARTTLS, any other word TLS, and no word TLS.
    static IMAPServer serverFromString(const QString &server);
};
