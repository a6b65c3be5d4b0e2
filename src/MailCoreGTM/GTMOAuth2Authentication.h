#pragma once
// GTMOAuth2Authentication: one OAuth 2.0 authorization — the client's identity, the token
// endpoint and every key the server sent (access and refresh tokens, lifetime, scope, the
// user's identity) — with the operations around it: the form encoding, the persisted
// form, saved authorizations in the password store, token requests and authorizing an
// HTTP request with the access token.
//
// Saved authorizations. One password-store item per token name: service = the token
// name, account "OAuth", data = the persisted form (refresh token, identity, scope; the
// access token only when there is no refresh token). Beside it the preference
// "OAuth2: " + token name is YES while an item is saved. The refresh token lives only
// there and in memory: never in the preference store, a log or a job's files.
//
// Main thread only (or any one thread, consistently).

#include <QDateTime>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariantMap>

#include <functional>
#include <memory>

class GTMHTTPFetcher;
class Preferences;
class QNetworkRequest;

/// An error of the sign-in component: a domain, a code and what the server said.
struct GTMOAuth2Error {
    QString domain;      // "com.google.GTMOAuth2", "com.google.HTTPStatus", "network"
    int code = 0;        // 0: no error
    QString description; // one line for the user, never holding a token
    QVariantMap userInfo; // "error" (the server's error text), "json" (its error body)
    bool isError() const { return code != 0; }
    static GTMOAuth2Error make(const QString &domain, int code, const QString &description,
                               const QVariantMap &userInfo = {});
};

inline const QString kGTMOAuth2ErrorDomain = QStringLiteral("com.google.GTMOAuth2");
inline const QString kGTMHTTPFetcherStatusDomain = QStringLiteral("com.google.HTTPStatus");
inline const QString kGTMOAuth2NetworkErrorDomain = QStringLiteral("network");
// Codes of kGTMOAuth2ErrorDomain.
constexpr int kGTMOAuth2ErrorWindowClosed = -1000;      // the user cancelled the sign-in
constexpr int kGTMOAuth2ErrorAuthorizationFailed = -1001; // the sign-in page answered "error"
constexpr int kGTMOAuth2ErrorTokenUnavailable = -1004;  // nothing to authorize with
constexpr int kGTMOAuth2ErrorUnauthorizableRequest = -1005; // not an https address
constexpr int kGTMOAuth2ErrorSignInUnavailable = -1006; // no listener, bad clock, no client id
constexpr int kGTMOAuth2ErrorBadResponse = -1007;       // the server's answer could not be read

inline const QString kGTMOAuth2RefreshTokenChanged = QStringLiteral("kGTMOAuth2RefreshTokenChanged");
inline const QString kGTMOAuth2ServiceProviderGoogle = QStringLiteral("Google");

class GTMOAuth2Authentication : public QObject {
    Q_OBJECT
public:
    using Finished = std::function<void(GTMOAuth2Authentication *auth, const GTMOAuth2Error &error)>;

    explicit GTMOAuth2Authentication(QObject *parent = nullptr);
    ~GTMOAuth2Authentication() override;

    // The client and the server.
    QString clientID, clientSecret, redirectURI, serviceProvider;
    QUrl tokenURL;
    /// The token name the authorization is saved under (empty: not saved).
    QString keychainItemName;
    /// PKCE: the verifier sent with the authorization code (never persisted).
    QString codeVerifier;
    /// Authorize plain-HTTP requests too (loopback addresses are always allowed).
    bool shouldAuthorizeAllRequests = false;

    /// Every key received from the server, as strings.
    QVariantMap parameters;
    /// Now plus "expires_in" at the last stored response; invalid when none was given.
    QDateTime expirationDate;

    QString param(const QString &key) const { return parameters.value(key).toString(); }
    void setParam(const QString &key, const QString &value);

    QString code() const { return param(QStringLiteral("code")); }
    QString accessToken() const { return param(QStringLiteral("access_token")); }
    QString refreshToken() const { return param(QStringLiteral("refresh_token")); }
    QString tokenType() const { return param(QStringLiteral("token_type")); }
    QString scope() const { return param(QStringLiteral("scope")); }
    QString errorString() const { return param(QStringLiteral("error")); }
    QString refreshScope() const { return param(QStringLiteral("refreshScope")); }
    QString userID() const { return param(QStringLiteral("userID")); }
    QString userEmail() const { return param(QStringLiteral("email")); }
    QString userEmailIsVerified() const { return param(QStringLiteral("isVerified")); }
    void setCode(const QString &v) { setParam(QStringLiteral("code"), v); }
    void setAccessToken(const QString &v) { setParam(QStringLiteral("access_token"), v); }
    void setRefreshToken(const QString &v) { setParam(QStringLiteral("refresh_token"), v); }
    void setUserID(const QString &v) { setParam(QStringLiteral("userID"), v); }
    void setUserEmail(const QString &v) { setParam(QStringLiteral("email"), v); }
    void setUserEmailIsVerified(const QString &v) { setParam(QStringLiteral("isVerified"), v); }

    // The form encoding: keys sorted without regard to case, "key=value" joined with
    // "&", both percent-encoded as UTF-8 with "!*'();:@&=+$,/?%#[]" encoded too.
    static QString encodedOAuthValueForString(const QString &text);
    static QString encodedQueryParametersForDictionary(const QVariantMap &dict);
    /// Splits at "&", then at the first "="; both sides percent-decoded.
    static QVariantMap dictionaryWithResponseString(const QString &text);

    /// The form encoding of what a saved authorization keeps.
    QString persistenceResponseString() const;
    void setKeysForPersistenceResponseString(const QString &text);
    /// Stores a server's answer: its keys, the expiration date; announces a new refresh
    /// token (refreshTokenChanged).
    void setKeysForResponseDictionary(const QVariantMap &dict, const QDateTime &now = QDateTime::currentDateTimeUtc());

    /// A record with a refresh token (or a code) and no access token, no expiration date
    /// or one less than 60 s away.
    bool shouldRefreshAccessToken(const QDateTime &now = QDateTime::currentDateTimeUtc()) const;
    /// Has an access token or a refresh token.
    bool canAuthorize() const;
    /// Sets "Authorization: Bearer <access token>" on `request`; an error of the
    /// component's domain when there is no access token or the address is not https.
    GTMOAuth2Error authorizeRequest(QNetworkRequest &request) const;

    /// The body of the token request this record would send now.
    QByteArray tokenRequestBody() const;
    /// Starts a token request (refresh, else authorization code); `done` runs once.
    void beginTokenFetch(Finished done);
    bool isFetchingToken() const;
    void stopTokenFetch();

    // Saved authorizations.
    static std::unique_ptr<GTMOAuth2Authentication> authForGoogleFromKeychainForName(
        const QString &name, const QString &clientID, const QString &clientSecret, const QUrl &tokenURL,
        Preferences &prefs);
    /// Clears the access token, then fills the record from the item saved under `name`;
    /// false when none is saved or it cannot be read.
    static bool authorizeFromKeychainForName(const QString &name, GTMOAuth2Authentication &auth, Preferences &prefs);
    /// Replaces the item saved under `name`; false (and nothing saved) when the record
    /// cannot authorize or the store refuses.
    static bool saveAuthToKeychainForName(const QString &name, const GTMOAuth2Authentication &auth,
                                          Preferences &prefs);
    static bool removeAuthFromKeychainForName(const QString &name, Preferences &prefs);
    /// "OAuth2: " + name.
    static QString preferenceMarkerKey(const QString &name);

signals:
    /// "kGTMOAuth2RefreshTokenChanged": a response brought a refresh token other than
    /// the one held.
    void refreshTokenChanged();

private:
    void tokenFetchFinished(const QByteArray &contentType, const QByteArray &body, int status,
                            const QString &networkError);

    GTMHTTPFetcher *m_fetcher = nullptr;
    Finished m_done;
};
