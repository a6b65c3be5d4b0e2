#pragma once
// GTMOAuth2WindowController: the Google sign-in window. Google refuses sign-in inside
// embedded browsers, so the window does not show the sign-in page itself: it opens the
// page in the user's web browser (GTMOAuth2SignIn listens for the browser's return on
// 127.0.0.1) and says so, with "Copy address" for a browser that did not open, a
// keep-signed-in check box, and Cancel. It closes itself when the sign-in ends.
//
// With a clock before 2011 no page is opened: the window says "System Clock Incorrect"
// with the date the clock shows, and the check box is hidden.
//
// Also the front end's entry points for the account settings: installing the interactive
// sign-in that AccountOAuth asks for, and adding a Google account.

#include "MailCoreGTM/GTMOAuth2Authentication.h"
#include "MailCoreGTM/GTMOAuth2Configuration.h"

#include <QDialog>
#include <QPointer>
#include <QUrl>

#include <functional>

class GTMOAuth2SignIn;
class QCheckBox;
class QLabel;
class QPushButton;
class Preferences;

class GTMOAuth2WindowController : public QDialog {
    Q_OBJECT
public:
    using URLOpener = std::function<void(const QUrl &)>;

    /// A window that signs `auth` (not owned; its token name set) in with `config`.
    GTMOAuth2WindowController(GTMOAuth2Authentication *auth, const GTMOAuth2Configuration &config, Preferences &prefs,
                              QWidget *parent = nullptr);
    ~GTMOAuth2WindowController() override;

    /// Shows the window (modal to `parent`'s window when given, a window of its own
    /// otherwise) and starts the sign-in; `finished` runs once with the record and an
    /// error or none, then the window closes and deletes itself.
    void signInSheetModalForWindow(QWidget *parent, GTMOAuth2Authentication::Finished finished);

    /// How the browser is opened (QDesktopServices::openUrl unless replaced, for tests).
    static void setURLOpener(URLOpener opener);
    QUrl authorizationAddress() const;
    bool keepSignedIn() const;

    /// Makes AccountOAuth::shared() ask the user through this window (an alert first,
    /// as the account settings do), with `parentWindow` as the windows' parent.
    static void installInteractiveSignIn(QWidget *parentWindow);
    /// Adds a Google account: a new token name, the sign-in window, and on success the
    /// account stored as a Google account under the address it signed in as, made
    /// current in AccountOAuth::shared() ("OAuthGranted"). `done` gets the address, or
    /// an empty one and the reason (a cancelled window gives an empty reason). The
    /// authorization is kept under `tokenName` when given (the account pane's), else a new one.
    static void addGoogleAccount(QWidget *parentWindow, std::function<void(const QString &email, const QString &error)> done,
                                 const QString &tokenName = QString());

private:
    void finish(GTMOAuth2Authentication *auth, const GTMOAuth2Error &error);

    QPointer<GTMOAuth2Authentication> m_auth;
    GTMOAuth2Configuration m_config;
    Preferences &m_prefs;
    GTMOAuth2SignIn *m_signIn = nullptr;
    GTMOAuth2Authentication::Finished m_finished;
    QLabel *m_text = nullptr;
    QCheckBox *m_keepSignedIn = nullptr;
    QPushButton *m_copy = nullptr;
};
