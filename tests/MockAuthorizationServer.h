#pragma once
// An OAuth 2.0 authorization server for the sign-in tests, on 127.0.0.1 with a port of
// the system's choosing, running on a thread of its own so that it answers while a test
// waits for a child process. It plays Google's part:
//
//   GET  /auth        checks the client, the loopback redirect and the PKCE challenge,
//                     then redirects at once to the redirect address with a code (or
//                     with "error" when told to refuse) and the caller's state
//   POST /token       "authorization_code" (code, redirect address and PKCE verifier
//                     checked) and "refresh_token" grants; every refresh rotates the
//                     refresh token, the old one is dead from then on ("invalid_grant")
//   GET  /userinfo    the user's identity for a live bearer token
//   POST /introspect  {"active": …, "email": …} for "token=…", as Dovecot's oauth2
//                     passdb asks it
//
// Access tokens live `accessLifetimeSecs` on the server's side; `expiresIn` is what the
// token answer says.

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QThread;
class QTcpServer;

class MockAuthorizationServer {
public:
    MockAuthorizationServer();
    ~MockAuthorizationServer();

    bool start(QString *failure);
    QUrl url(const QString &path) const;

    // Settings (any time).
    QString clientID = QStringLiteral("test-client.apps.example.org");
    QString clientSecret = QStringLiteral("test-secret");
    void setUser(const QString &email);
    void setRefuseSignIn(bool refuse);
    void setIDTokenInResponse(bool on);
    void setExpiresIn(int secs);
    // Token answers as form-encoded text instead of JSON.
    void setFormAnswers(bool on);
    // The next `count` token requests are answered 503 (a server that is briefly down).
    void setUnavailableTimes(int count);
    void setAccessLifetimeSecs(int secs);
    // Every access token issued so far is dead; refresh tokens still work.
    void expireAccessTokens();
    // Every refresh token issued so far is dead.
    void revokeRefreshTokens();

    // What happened.
    int codeGrants() const;
    int refreshGrants() const;
    int introspections() const;
    int refusedIntrospections() const;
    QString lastRefreshToken() const;
    QString lastAccessToken() const;
    bool isRefreshTokenLive(const QString &token) const;
    // "token_endpoint_refused: <why>" lines, for failure messages.
    QStringList refusals() const;

    // Handles one request (on the server's thread); public for the connection handler.
    QByteArray respond(const QByteArray &method, const QUrl &target, const QHash<QByteArray, QByteArray> &headers,
                       const QByteArray &body);

private:
    QByteArray tokens(bool withIDToken);
    bool isAccessTokenLive(const QString &token) const;

    mutable QMutex m_lock;
    std::unique_ptr<QThread> m_thread;
    QTcpServer *m_server = nullptr; // lives on m_thread
    int m_port = 0;
    QString m_user = QStringLiteral("sam@example.org");
    bool m_refuse = false, m_idToken = true, m_form = false;
    int m_unavailable = 0;
    int m_expiresIn = 3600, m_accessLifetime = 3600;
    int m_counter = 0, m_codeGrants = 0, m_refreshGrants = 0, m_introspections = 0, m_refusedIntrospections = 0;
    struct Code {
        QString challenge, redirect;
    };
    QHash<QString, Code> m_codes;
    QSet<QString> m_liveRefresh;
    QHash<QString, QDateTime> m_accessIssued; // live access tokens
    QString m_lastRefresh, m_lastAccess;
    QStringList m_refusals;
};
