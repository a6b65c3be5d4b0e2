#pragma once
// GTMOAuth2SignIn: the interactive sign-in of an installed application (OAuth 2.0 with
// PKCE, RFC 8252). It listens on 127.0.0.1 on a port of the system's choosing, hands the
// authorization address to `openURL` (the system browser in the desktop, a printed line
// on the command line), and waits for the browser to come back to the listener with
// "code" or "error" and the "state" it sent. The first answer with the right state is
// taken, once; the browser gets a small page telling the user to return to Tarnwick.
// Then the code is exchanged for tokens ("authorization_code" with the PKCE verifier),
// the user's identity is filled in (from "id_token", else the user-information
// endpoint), the authorization is saved under its token name when `keepSignedIn` is on
// (removed otherwise), and `finished` runs once with the record and an error or none.
//
// The listener is closed as soon as an answer is taken or the sign-in ends. Nothing of
// the exchange is logged but its outcome.

#include "MailCoreGTM/GTMOAuth2Authentication.h"

#include <QByteArray>
#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <functional>

class GTMHTTPFetcher;
class Preferences;
class QTcpServer;
class QTcpSocket;

class GTMOAuth2SignIn : public QObject {
    Q_OBJECT
public:
    using OpenURL = std::function<void(const QUrl &)>;

    /// `auth` (not owned) receives the result; `scope` is the requested scope, spaces
    /// between several.
    GTMOAuth2SignIn(GTMOAuth2Authentication *auth, const QUrl &authorizationURL, const QString &scope,
                    const QUrl &userInfoURL, QObject *parent = nullptr);
    ~GTMOAuth2SignIn() override;

    /// Saves the authorization under auth->keychainItemName on success (else removes it).
    void setKeepSignedIn(bool keep, Preferences *prefs);

    /// Opens the listener and hands the authorization address to `openURL`. False with
    /// an error (and `finished` not called) when the sign-in cannot start: no listener,
    /// or a clock before 2011 (Google's pages would refuse every certificate).
    bool startSigningIn(const OpenURL &openURL, GTMOAuth2Authentication::Finished finished, GTMOAuth2Error *error);
    /// Ends a sign-in in progress: `finished` runs with kGTMOAuth2ErrorWindowClosed.
    void cancelSigningIn();
    bool isSigningIn() const { return bool(m_finished); }

    /// The address handed to the browser (valid once started).
    QUrl authorizationRequestURL() const { return m_requestURL; }
    /// "http://127.0.0.1:<port>/" once listening.
    QString redirectURI() const { return m_redirectURI; }

    // The rules, apart for testing.
    /// The computer's clock reads later than 2011-01-01 00:00:00 UTC.
    static bool clockIsPlausible(const QDateTime &now);
    /// "System Clock Incorrect" with the date the clock shows.
    static QString clockIncorrectText(const QDateTime &now);
    /// The requested scope with the e-mail scope added unless present.
    static QString scopeWithEmailScope(const QString &scope);
    /// PKCE S256: base64url(SHA-256(verifier)) without padding.
    static QString codeChallengeForVerifier(const QString &verifier);
    /// The identity in an "id_token": "id" (or "sub"), "email", "verified_email" (or
    /// "email_verified") of its middle part; empty when it has no three parts or no JSON.
    static QVariantMap identityFromIDToken(const QString &idToken);
    /// Copies "id", "email" and "verified_email" of `json` into the record.
    static void setIdentity(GTMOAuth2Authentication &auth, const QVariantMap &json);

signals:
    /// "kGTMOAuth2UserSignedIn": the browser came back with a code.
    void userSignedIn();

private:
    void readRedirect(QTcpSocket *socket);
    void takeAnswer(const QVariantMap &answer);
    void tokensArrived(const GTMOAuth2Error &error);
    void fetchUserInfo();
    void finish(const GTMOAuth2Error &error);
    void closeListener();

    QPointer<GTMOAuth2Authentication> m_auth;
    QUrl m_authorizationURL, m_userInfoURL, m_requestURL;
    QString m_scope, m_redirectURI, m_state;
    bool m_keepSignedIn = false;
    Preferences *m_prefs = nullptr;
    QTcpServer *m_listener = nullptr;
    GTMHTTPFetcher *m_userInfoFetcher = nullptr;
    bool m_answerTaken = false;
    GTMOAuth2Authentication::Finished m_finished;
};
