#pragma once
// AccountOAuth: the class-level Google sign-in state of the account settings, shared by
// the whole application — the current authorization of each Google account (by e-mail
// address) and the sign-in attempts in flight — with the operations the archiving engine
// and the account pane use: the current access token of an account (renewing it in the
// background when it nears its expiry), starting a sign-in or renewal, and reporting a
// refused token.
//
// A renewal needs no user: the saved authorization's refresh token is sent to the token
// endpoint. Only an account without a usable saved authorization needs the interactive
// sign-in, which the front end supplies (setInteractiveSignIn); without one — the
// command line's archive run — the attempt fails with a line saying how to sign in.
//
// Main thread only.

#include "MailCoreGTM/GTMOAuth2Authentication.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class Preferences;

class AccountOAuth : public QObject {
    Q_OBJECT
public:
    /// Runs the interactive sign-in for `email` into `auth` (whose token name is set):
    /// ask the user with `message`, open the sign-in, and call `done` exactly once. A
    /// user who declines ends it with kGTMOAuth2ErrorWindowClosed.
    using InteractiveSignIn = std::function<void(const QString &email, GTMOAuth2Authentication *auth,
                                                 const QString &message, GTMOAuth2Authentication::Finished done)>;
    using Clock = std::function<QDateTime()>;

    explicit AccountOAuth(Preferences &prefs, QObject *parent = nullptr);
    ~AccountOAuth() override;
    /// The application's instance, over the process-wide preference store.
    static AccountOAuth &shared();

    /// The current access token of `email`, or "" (not a Google account, no
    /// authorization yet, or expired). A token with less than 300 s left starts a renewal
    /// and is still returned while it lasts.
    QString accessTokenFromOAuth(const QString &email);
    /// Starts a sign-in or token renewal for `email`: at most one attempt per address in
    /// 300 s unless `forceInterface`, which also skips the renewal and asks the user.
    void launchOauthWorkflowForEmail(const QString &email, bool forceInterface);
    /// For the command line: runs the event loop until `email` has an access token
    /// (asking again every 3 s) or its sign-in fails. The token, or "" with `error` set.
    QString waitForAccessToken(const QString &email, QString *error);
    /// The server refused `token`: its authorization is dropped and renewed.
    void authFailed(const QString &token);
    /// YES while a sign-in attempt for `email` is in flight.
    bool OAuthInProgress(const QString &email) const;

    void setInteractiveSignIn(InteractiveSignIn signIn) { m_interactive = std::move(signIn); }
    /// For tests: the clock that the 300-second rules read.
    void setClock(Clock clock) { m_clock = std::move(clock); }

    /// The current authorization of `email` (owned here), or null.
    GTMOAuth2Authentication *currentAuthorization(const QString &email) const { return m_current.value(email); }
    /// Makes `auth` the current authorization of its address (ownership taken), as a
    /// granted sign-in does; for a sign-in run outside the workflow (the command line).
    void adoptAuthorization(GTMOAuth2Authentication *auth, const QString &email);
    /// Why the last attempt for `email` failed ("" when it did not).
    QString lastFailure(const QString &email) const { return m_lastFailure.value(email); }
    /// A sign-in run outside the workflow (the account pane's "add a Google account")
    /// ended: as the workflow's own completion — current authorization, token name,
    /// "OAuthGranted" or "OAuthFailed".
    void signInFinished(const QString &email, GTMOAuth2Authentication *auth, const GTMOAuth2Error &error)
    {
        if (auth && !error.isError())
            watchRefreshToken(auth);
        completed(email, auth, error);
    }
    /// Forgets every current authorization and attempt (a new launch, for tests).
    void reset();

    static constexpr qint64 kAttemptSpacingSecs = 300;
    static constexpr qint64 kRenewBeforeSecs = 300;
    static constexpr int kInFlightClearMs = 3000;
    static constexpr int kTokenRetryMs = 3000;

signals:
    /// "OAuthGranted" and "OAuthFailed", with the account's address.
    void OAuthGranted(const QString &email);
    void OAuthFailed(const QString &email);

private:
    void completed(const QString &email, GTMOAuth2Authentication *auth, const GTMOAuth2Error &error);
    void watchRefreshToken(GTMOAuth2Authentication *auth);
    QDateTime now() const { return m_clock ? m_clock() : QDateTime::currentDateTimeUtc(); }

    Preferences &m_prefs;
    QHash<QString, GTMOAuth2Authentication *> m_current; // children of this
    QHash<QString, QDateTime> m_inFlight;
    QHash<QString, QString> m_lastFailure;
    InteractiveSignIn m_interactive;
    Clock m_clock;
};
