#pragma once
// EmailSettings: the account pane. It adds, tests, edits and removes IMAP account
// sources. An account is tested by listing its mailboxes (on the IMAP session's own
// thread); the first successful listing with a password saves it, the password going to
// the password store only. The list shows every mailbox with a check mark: clicking one
// (or Space) switches it off or on for archiving. The pane also sets the account's own
// destination and path formats, starts archiving it, and removes it with its password.
//
// Certificates: the first connection to a server whose certificate does not verify for
// its host name, or whose certificate is not the one trusted before, stops before the
// password is sent and shows the certificate's SHA-256 fingerprint with "Trust" and
// "Cancel"; a trusted fingerprint is stored with the account.
//
// Google accounts sign in through a component installed with setGoogleSignInHandler();
// it reports back through googleSignInGranted() or showSignInError(), and supplies
// access tokens through setAccessTokenProvider(). Without a handler the pane says that
// Google sign-in is not available.

#include "Settings/AccountFields.h"
#include "SettingsView/FolderChooser.h"
#include "mailadapter/MCOIMAPSession.h"

#include <QHash>
#include <QPointer>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <optional>

class FXKeychain;
class Preferences;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QMessageBox;
class QPushButton;
class QRadioButton;

class EmailSettings : public QWidget {
    Q_OBJECT
public:
    EmailSettings(Preferences &prefs, FXKeychain &keychain, QWidget *parent = nullptr);
    ~EmailSettings() override;

    /// Fills the pane for account `email`, or a blank form for a new account when empty,
    /// and tests the account.
    void populateEmailSettings(const QString &email);
    /// Tests the account in the fields by listing its mailboxes, when the fields are
    /// plausible; also the "Add"/"Save" button and Enter in a field.
    void tryEmailAccount();
    void saveAction() { tryEmailAccount(); }
    /// Removes the account in the e-mail field: its address, server string and password.
    void removeClicked();
    void changeSavePath();
    void revertToDefault();
    /// Opens the path format editor for the account (asks for the address first).
    void setFileFormatAction();
    void startArchivingAction();
    /// Switches mailbox `path` of the account in the fields off or on.
    void toggleFolderSetting(const QString &path);
    bool isFolderON(const QString &path) const;

    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }
    /// "ErrorFolderNames" from elsewhere (a job): shown when it is about the account in the
    /// fields, or about no account in particular (`username` empty).
    void errorFolderNames(const QString &username, const QString &error);

    // --- Google sign-in ---
    using GoogleSignInHandler = std::function<void(EmailSettings *pane, const QString &email)>;
    /// What "Sign in with Google…" and "Sign In Again…" run; `email` is the address in the
    /// field (empty while a new account is being added).
    void setGoogleSignInHandler(GoogleSignInHandler handler) { m_googleSignIn = std::move(handler); }
    /// The current access token of a Google account, or the empty string while there is
    /// none yet (the test is then tried again every 2.0 s).
    void setAccessTokenProvider(std::function<QString(const QString &email)> provider)
    {
        m_accessToken = std::move(provider);
    }
    /// The token name made for the Google account being added (empty when none is).
    QString addingTokenName() const { return m_addingTokenName; }
    /// Sign-in granted for `email`, its authorization kept under `tokenName`: when the name
    /// is the one of the account being added (or none is being added), the account is saved
    /// with the "kauth_google_oauth" sign-in kind and shown.
    void googleSignInGranted(const QString &email, const QString &tokenName);
    /// Sign-in failed or was cancelled: the text is shown and the account being added is
    /// forgotten.
    void showSignInError(const QString &text);

    // --- For tests and the settings view ---
    QLineEdit *emailField() const { return m_email; }
    QLineEdit *serverField() const { return m_server; }
    QLineEdit *passwordField() const { return m_password; }
    QPushButton *saveButton() const { return m_saveButton; }
    QPushButton *removeButton() const { return m_removeButton; }
    QPushButton *googleSignInButton() const { return m_googleSignInButton; }
    QRadioButton *googleKindButton() const { return m_googleKind; }
    QLabel *errorText() const { return m_errorText; }
    QLabel *destinationLabel() const { return m_destLabel; }
    QListWidget *mailboxTable() const { return m_mailboxes; }
    /// Whether a mailbox listing is in flight.
    bool isFetching() const { return !m_fetch.isNull(); }
    /// How many connections the pane has begun (plausibility tests count them).
    int connectionAttempts() const { return m_attempts; }
    /// The settings of the last connection begun (without its secrets), if any.
    std::optional<MCOIMAPSession::Settings> lastSessionSettings() const { return m_lastSettings; }

signals:
    void startArchivingJob(const QString &sourceKey);
    void editFormatsRequested(const QString &accountKey);
    /// The account was removed from the sources.
    void accountRemoved();
    /// A new account was saved (its first listing, or its Google sign-in).
    void accountAdded(const QString &email);

private:
    void fieldsChanged();
    void emailEditingFinished();
    void kindChanged();
    void setUIState();
    void reloadMailboxTable();
    void fetchFolderNames(const QString &token);
    void askToTrust(const MCOIMAPError &error);
    void dropSession();
    void showError(const QString &text);
    bool isGoogle() const;
    QByteArray currentCacheKey() const;

    Preferences &m_prefs;
    FXKeychain &m_keychain;
    AccountFields m_fields;
    FolderChooser m_chooser;
    GoogleSignInHandler m_googleSignIn;
    std::function<QString(const QString &)> m_accessToken;

    QGroupBox *m_kindBox = nullptr;
    QRadioButton *m_otherKind = nullptr;
    QRadioButton *m_googleKind = nullptr;
    QLineEdit *m_email = nullptr;
    QLineEdit *m_server = nullptr;
    QLineEdit *m_password = nullptr;
    QLabel *m_serverLabel = nullptr;
    QLabel *m_passwordLabel = nullptr;
    QWidget *m_googleView = nullptr;
    QLabel *m_googleText = nullptr;
    QPushButton *m_googleSignInButton = nullptr;
    QLabel *m_errorText = nullptr;
    QListWidget *m_mailboxes = nullptr;
    QLabel *m_destLabel = nullptr;
    QPushButton *m_destButton = nullptr;
    QPushButton *m_revertButton = nullptr;
    QPushButton *m_formatsButton = nullptr;
    QPushButton *m_startButton = nullptr;
    QPushButton *m_removeButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    QPointer<QMessageBox> m_trustBox;

    MCOIMAPSession *m_session = nullptr;
    QPointer<MCOIMAPOperation> m_fetch;
    // Mailbox lists by the keyed hash of the fields they were fetched with.
    QHash<QByteArray, QList<MCOIMAPFolder>> m_folderCache;
    // A fingerprint the user trusted in this pane, for the account's next connection.
    QString m_trustedPin;
    QString m_addingTokenName;
    QTimer m_tableReload; // 0.2 s after the last click on a mailbox
    QTimer m_retry;       // 2.0 s: a Google account waiting for its token
    bool m_rewriting = false;
    bool m_newForm = true; // filled for a new account: the kind of account can be chosen
    int m_attempts = 0;
    std::optional<MCOIMAPSession::Settings> m_lastSettings;
};
