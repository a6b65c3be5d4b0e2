#include "MailCoreGTM/GTMOAuth2Authentication.h"

#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMHTTPFetcher.h"
#include "Settings/Preferences.h"

#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkRequest>

namespace {

const QString kOAuthAccount = QStringLiteral("OAuth");
// Lead time before the expiry at which a token is renewed before use.
constexpr qint64 kRefreshLeadSecs = 60;

// A JSON value as the text the record keeps: scalars as themselves, structures as JSON.
QString jsonText(const QJsonValue &v)
{
    switch (v.type()) {
    case QJsonValue::String: return v.toString();
    case QJsonValue::Double: {
        const double d = v.toDouble();
        return d == double(qint64(d)) ? QString::number(qint64(d)) : QString::number(d);
    }
    case QJsonValue::Bool: return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    case QJsonValue::Object: return QString::fromUtf8(QJsonDocument(v.toObject()).toJson(QJsonDocument::Compact));
    case QJsonValue::Array: return QString::fromUtf8(QJsonDocument(v.toArray()).toJson(QJsonDocument::Compact));
    default: return QString();
    }
}

bool isLoopback(const QUrl &url)
{
    const QString host = url.host();
    if (host == QLatin1String("localhost"))
        return true;
    const QHostAddress address(host);
    return !address.isNull() && address.isLoopback();
}

} // namespace

GTMOAuth2Error GTMOAuth2Error::make(const QString &domain, int code, const QString &description,
                                    const QVariantMap &userInfo)
{
    GTMOAuth2Error e;
    e.domain = domain;
    e.code = code;
    e.description = description;
    e.userInfo = userInfo;
    return e;
}

GTMOAuth2Authentication::GTMOAuth2Authentication(QObject *parent) : QObject(parent) {}

GTMOAuth2Authentication::~GTMOAuth2Authentication() { stopTokenFetch(); }

void GTMOAuth2Authentication::setParam(const QString &key, const QString &value)
{
    if (value.isEmpty())
        parameters.remove(key);
    else
        parameters.insert(key, value);
}

QString GTMOAuth2Authentication::encodedOAuthValueForString(const QString &text)
{
    // Everything but the unreserved characters (letters, digits, "-._~") is encoded,
    // "!*'();:@&=+$,/?%#[]" included.
    return QString::fromLatin1(QUrl::toPercentEncoding(text));
}

QString GTMOAuth2Authentication::encodedQueryParametersForDictionary(const QVariantMap &dict)
{
    QStringList keys = dict.keys();
    std::sort(keys.begin(), keys.end(),
              [](const QString &a, const QString &b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
    QStringList pairs;
    for (const QString &key : keys)
        pairs.append(encodedOAuthValueForString(key) + QLatin1Char('=') +
                     encodedOAuthValueForString(dict.value(key).toString()));
    return pairs.join(QLatin1Char('&'));
}

QVariantMap GTMOAuth2Authentication::dictionaryWithResponseString(const QString &text)
{
    QVariantMap dict;
    for (const QString &pair : text.split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype eq = pair.indexOf(QLatin1Char('='));
        const QString key = eq < 0 ? pair : pair.left(eq);
        const QString value = eq < 0 ? QString() : pair.mid(eq + 1);
        dict.insert(QUrl::fromPercentEncoding(key.toUtf8()), QUrl::fromPercentEncoding(value.toUtf8()));
    }
    return dict;
}

QString GTMOAuth2Authentication::persistenceResponseString() const
{
    QVariantMap dict;
    const auto keep = [&](const QString &key) {
        if (!param(key).isEmpty())
            dict.insert(key, param(key));
    };
    keep(QStringLiteral("refresh_token"));
    // An access token is worth keeping only when nothing can make a new one.
    if (refreshToken().isEmpty())
        keep(QStringLiteral("access_token"));
    keep(QStringLiteral("serviceProvider"));
    keep(QStringLiteral("userID"));
    keep(QStringLiteral("email"));
    keep(QStringLiteral("isVerified"));
    keep(QStringLiteral("scope"));
    return encodedQueryParametersForDictionary(dict);
}

void GTMOAuth2Authentication::setKeysForPersistenceResponseString(const QString &text)
{
    setKeysForResponseDictionary(dictionaryWithResponseString(text));
}

void GTMOAuth2Authentication::setKeysForResponseDictionary(const QVariantMap &dict, const QDateTime &now)
{
    const QString oldRefresh = refreshToken();
    // A new grant's lifetime replaces the old one; a grant without one has none.
    if (dict.contains(QStringLiteral("code")) || dict.contains(QStringLiteral("access_token")))
        parameters.remove(QStringLiteral("expires_in"));
    for (auto it = dict.cbegin(); it != dict.cend(); ++it)
        parameters.insert(it.key(), it.value().toString());
    const qint64 expiresIn = param(QStringLiteral("expires_in")).toLongLong();
    expirationDate = expiresIn > 0 ? now.addSecs(expiresIn) : QDateTime();
    const QString newRefresh = refreshToken();
    if (!newRefresh.isEmpty() && newRefresh != oldRefresh)
        emit refreshTokenChanged();
}

bool GTMOAuth2Authentication::shouldRefreshAccessToken(const QDateTime &now) const
{
    if (refreshToken().isEmpty() && code().isEmpty())
        return false;
    if (accessToken().isEmpty() || !expirationDate.isValid())
        return true;
    return now.secsTo(expirationDate) < kRefreshLeadSecs;
}

bool GTMOAuth2Authentication::canAuthorize() const { return !accessToken().isEmpty() || !refreshToken().isEmpty(); }

GTMOAuth2Error GTMOAuth2Authentication::authorizeRequest(QNetworkRequest &request) const
{
    const QUrl url = request.url();
    // Loopback addresses never leave the machine: plain HTTP there carries no risk.
    const bool allowed = url.scheme() == QLatin1String("https") || shouldAuthorizeAllRequests ||
                         (url.scheme() == QLatin1String("http") && isLoopback(url));
    if (!allowed)
        return GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorUnauthorizableRequest,
                                    QStringLiteral("a token is sent only to https addresses, not to %1")
                                        .arg(url.toDisplayString(QUrl::RemoveQuery | QUrl::RemoveUserInfo)));
    if (accessToken().isEmpty())
        return GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorTokenUnavailable,
                                    QStringLiteral("no access token to authorize the request with"));
    request.setRawHeader("Authorization", "Bearer " + accessToken().toUtf8());
    return {};
}

QByteArray GTMOAuth2Authentication::tokenRequestBody() const
{
    QVariantMap body;
    if (!refreshToken().isEmpty()) {
        body.insert(QStringLiteral("refresh_token"), refreshToken());
        if (!refreshScope().isEmpty())
            body.insert(QStringLiteral("scope"), refreshScope());
        body.insert(QStringLiteral("grant_type"), QStringLiteral("refresh_token"));
    } else if (!code().isEmpty()) {
        body.insert(QStringLiteral("code"), code());
        body.insert(QStringLiteral("redirect_uri"), redirectURI);
        if (!scope().isEmpty())
            body.insert(QStringLiteral("scope"), scope());
        body.insert(QStringLiteral("grant_type"), QStringLiteral("authorization_code"));
        if (!codeVerifier.isEmpty())
            body.insert(QStringLiteral("code_verifier"), codeVerifier);
    }
    if (!clientID.isEmpty())
        body.insert(QStringLiteral("client_id"), clientID);
    if (!clientSecret.isEmpty())
        body.insert(QStringLiteral("client_secret"), clientSecret);
    return encodedQueryParametersForDictionary(body).toUtf8();
}

bool GTMOAuth2Authentication::isFetchingToken() const { return m_fetcher != nullptr; }

void GTMOAuth2Authentication::stopTokenFetch()
{
    if (m_fetcher) {
        m_fetcher->stopFetching();
        m_fetcher->deleteLater();
        m_fetcher = nullptr;
    }
    m_done = nullptr;
}

void GTMOAuth2Authentication::beginTokenFetch(Finished done)
{
    stopTokenFetch();
    m_done = std::move(done);
    QNetworkRequest request(tokenURL);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    m_fetcher = new GTMHTTPFetcher(request, this);
    m_fetcher->setPostData(tokenRequestBody());
    m_fetcher->beginFetch([this](const GTMHTTPFetcher::Response &r) {
        tokenFetchFinished(r.contentType, r.body, r.status, r.networkError);
    });
}

void GTMOAuth2Authentication::tokenFetchFinished(const QByteArray &contentType, const QByteArray &body, int status,
                                                 const QString &networkError)
{
    if (m_fetcher) {
        m_fetcher->deleteLater();
        m_fetcher = nullptr;
    }
    GTMOAuth2Error error;
    QVariantMap answer;
    const bool json = contentType.trimmed().toLower().startsWith("application/json");
    if (json) {
        const QJsonObject object = QJsonDocument::fromJson(body).object();
        for (auto it = object.begin(); it != object.end(); ++it)
            answer.insert(it.key(), jsonText(it.value()));
    } else {
        answer = dictionaryWithResponseString(QString::fromUtf8(body).trimmed());
    }
    if (!networkError.isEmpty()) {
        error = GTMOAuth2Error::make(kGTMOAuth2NetworkErrorDomain, -1,
                                     QStringLiteral("the token server cannot be reached: %1").arg(networkError));
    } else if (status < 200 || status >= 300) {
        QVariantMap info;
        if (json)
            info.insert(QStringLiteral("json"), answer);
        const QString serverError = answer.value(QStringLiteral("error")).toString();
        if (status == 400 && !serverError.isEmpty())
            info.insert(QStringLiteral("error"), serverError);
        error = GTMOAuth2Error::make(kGTMHTTPFetcherStatusDomain, status,
                                     QStringLiteral("the token server refused the request (HTTP %1%2)")
                                         .arg(status)
                                         .arg(serverError.isEmpty() ? QString() : QStringLiteral(": ") + serverError),
                                     info);
    } else if (answer.value(QStringLiteral("access_token")).toString().isEmpty()) {
        const QString serverError = answer.value(QStringLiteral("error")).toString();
        error = GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorBadResponse,
                                     QStringLiteral("the token server's answer holds no access token%1")
                                         .arg(serverError.isEmpty() ? QString() : QStringLiteral(": ") + serverError),
                                     serverError.isEmpty() ? QVariantMap()
                                                           : QVariantMap{{QStringLiteral("error"), serverError}});
    } else {
        setKeysForResponseDictionary(answer);
        // A code is good for one exchange; a record that kept it would offer it again.
        parameters.remove(QStringLiteral("code"));
    }
    Finished done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(this, error);
}

QString GTMOAuth2Authentication::preferenceMarkerKey(const QString &name) { return QStringLiteral("OAuth2: ") + name; }

std::unique_ptr<GTMOAuth2Authentication> GTMOAuth2Authentication::authForGoogleFromKeychainForName(
    const QString &name, const QString &clientID, const QString &clientSecret, const QUrl &tokenURL,
    Preferences &prefs)
{
    auto auth = std::make_unique<GTMOAuth2Authentication>();
    auth->clientID = clientID;
    auth->clientSecret = clientSecret;
    auth->tokenURL = tokenURL;
    auth->serviceProvider = kGTMOAuth2ServiceProviderGoogle;
    auth->keychainItemName = name;
    auth->setParam(QStringLiteral("serviceProvider"), kGTMOAuth2ServiceProviderGoogle);
    authorizeFromKeychainForName(name, *auth, prefs);
    return auth;
}

bool GTMOAuth2Authentication::authorizeFromKeychainForName(const QString &name, GTMOAuth2Authentication &auth,
                                                           Preferences &prefs)
{
    auth.setAccessToken(QString());
    if (name.isEmpty() || !prefs.boolForKey(preferenceMarkerKey(name)))
        return false;
    FXKeychain store(name, QString());
    const std::optional<QByteArray> data = store.itemData(kOAuthAccount);
    if (!data || data->isEmpty())
        return false;
    auth.setKeysForPersistenceResponseString(QString::fromUtf8(*data));
    // An item keeps no lifetime: the access token it may hold has an unknown age.
    auth.expirationDate = QDateTime();
    auth.keychainItemName = name;
    return auth.canAuthorize();
}

bool GTMOAuth2Authentication::saveAuthToKeychainForName(const QString &name, const GTMOAuth2Authentication &auth,
                                                        Preferences &prefs)
{
    removeAuthFromKeychainForName(name, prefs);
    if (name.isEmpty() || !auth.canAuthorize())
        return false;
    FXKeychain store(name, QString());
    if (store.setItemData(auth.persistenceResponseString().toUtf8(), kOAuthAccount) != FXKeychain::Success)
        return false;
    prefs.setValue(preferenceMarkerKey(name), true);
    return true;
}

bool GTMOAuth2Authentication::removeAuthFromKeychainForName(const QString &name, Preferences &prefs)
{
    if (name.isEmpty())
        return false;
    prefs.removeObjectForKey(preferenceMarkerKey(name));
    FXKeychain store(name, QString());
    // Nothing saved is nothing to remove (and no failure to log).
    if (!store.itemData(kOAuthAccount))
        return true;
    const long status = store.putObject(QVariant(), kOAuthAccount);
    return status == FXKeychain::Success || status == FXKeychain::ItemNotFound;
}
