#include "Settings/AccountOAuth.h"

#include "MailCoreGTM/GTMOAuth2Configuration.h"
#include "Settings/AccountSetup.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QEventLoop>
#include <QPointer>
#include <QTimer>

namespace {

// The token endpoint's word for a refresh token that is revoked or expired for good.
bool refreshTokenIsDead(const GTMOAuth2Error &error)
{
    return error.domain == kGTMHTTPFetcherStatusDomain && (error.code == 400 || error.code == 401) &&
           error.userInfo.value(QStringLiteral("json")).toMap().value(QStringLiteral("error")).toString() ==
               QLatin1String("invalid_grant");
}

} // namespace

AccountOAuth::AccountOAuth(Preferences &prefs, QObject *parent) : QObject(parent), m_prefs(prefs) {}

AccountOAuth::~AccountOAuth() = default;

AccountOAuth &AccountOAuth::shared()
{
    static AccountOAuth *instance = new AccountOAuth(Preferences::shared());
    return *instance;
}

QString AccountOAuth::accessTokenFromOAuth(const QString &email)
{
    if (AccountSetup::authSystem(email, m_prefs) != AccountSetup::kauthGoogleOAuth())
        return QString();
    GTMOAuth2Authentication *auth = m_current.value(email);
    if (!auth) {
        launchOauthWorkflowForEmail(email, false);
        return QString();
    }
    const bool known = auth->expirationDate.isValid();
    const qint64 left = known ? now().secsTo(auth->expirationDate) : 0;
    if (known && left >= kRenewBeforeSecs)
        return auth->accessToken();
    launchOauthWorkflowForEmail(email, false);
    return known && left > 0 ? auth->accessToken() : QString();
}

QString AccountOAuth::waitForAccessToken(const QString &email, QString *error)
{
    QString token = accessTokenFromOAuth(email);
    if (!token.isEmpty())
        return token;
    QEventLoop loop;
    bool failed = false;
    connect(this, &AccountOAuth::OAuthGranted, &loop, [&](const QString &who) {
        if (who == email)
            loop.quit();
    });
    connect(this, &AccountOAuth::OAuthFailed, &loop, [&](const QString &who) {
        if (who == email) {
            failed = true;
            loop.quit();
        }
    });
    QTimer retry;
    connect(&retry, &QTimer::timeout, &loop, [&] {
        if (!accessTokenFromOAuth(email).isEmpty())
            loop.quit();
    });
    retry.start(kTokenRetryMs);
    loop.exec();
    token = accessTokenFromOAuth(email);
    if (token.isEmpty() && error)
        *error = QStringLiteral("%1: the Google sign-in could not be renewed: %2")
                     .arg(email, failed ? lastFailure(email) : QStringLiteral("no token"));
    return token;
}

bool AccountOAuth::OAuthInProgress(const QString &email) const { return m_inFlight.contains(email); }

void AccountOAuth::launchOauthWorkflowForEmail(const QString &email, bool forceInterface)
{
    if (email.isEmpty())
        return;
    const QDateTime started = now();
    if (!forceInterface && m_inFlight.contains(email) &&
        qAbs(m_inFlight.value(email).secsTo(started)) < kAttemptSpacingSecs)
        return;
    m_inFlight.insert(email, started);
    const QString name = AccountSetup::keyChainIDForEmail(email, m_prefs);
    const QString message = QStringLiteral("Authenticate for %1").arg(email);
    const GTMOAuth2Configuration config = GTMOAuth2Configuration::fromPreferences(m_prefs);
    GTMOAuth2Authentication *auth = GTMOAuth2Authentication::authForGoogleFromKeychainForName(
                                        name, config.clientID, config.clientSecret, config.tokenURL, m_prefs)
                                        .release();
    auth->setParent(this);
    QPointer<AccountOAuth> self(this);
    const auto done = [self, email](GTMOAuth2Authentication *a, const GTMOAuth2Error &error) {
        if (self)
            self->completed(email, a, error);
    };
    watchRefreshToken(auth);
    if (!forceInterface && !auth->refreshToken().isEmpty()) {
        auth->beginTokenFetch(done);
        return;
    }
    if (m_interactive) {
        m_interactive(email, auth, message, done);
        return;
    }
    // No front end to ask the user: say how to sign in, after this call returns.
    QTimer::singleShot(0, auth, [auth, email, done] {
        done(auth, GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorSignInUnavailable,
                                        QStringLiteral("%1 needs to sign in with Google again: run `tarnwick sources "
                                                       "add-account %1 --google` or use the account settings")
                                            .arg(email)));
    });
}

void AccountOAuth::watchRefreshToken(GTMOAuth2Authentication *auth)
{
    // A server that rotates refresh tokens makes the saved one useless: save the new one.
    connect(auth, &GTMOAuth2Authentication::refreshTokenChanged, this, [this, auth] {
        const QString name = auth->keychainItemName;
        if (!name.isEmpty() && m_prefs.boolForKey(GTMOAuth2Authentication::preferenceMarkerKey(name)))
            GTMOAuth2Authentication::saveAuthToKeychainForName(name, *auth, m_prefs);
    });
}

void AccountOAuth::completed(const QString &email, GTMOAuth2Authentication *auth, const GTMOAuth2Error &error)
{
    const QString address = auth && !auth->userEmail().isEmpty() ? auth->userEmail() : email;
    if (error.isError()) {
        TLog(QStringLiteral("failed oauth for %1").arg(address));
        TLog(error.description);
        QString why = error.description;
        if (refreshTokenIsDead(error) && auth) {
            GTMOAuth2Authentication::removeAuthFromKeychainForName(auth->keychainItemName, m_prefs);
            why = QStringLiteral("Google no longer accepts the saved sign-in (%1); sign in again with `tarnwick "
                                 "sources add-account %2 --google` or in the account settings")
                      .arg(error.description, email);
        }
        m_lastFailure.insert(address, why);
        m_lastFailure.insert(email, why);
        if (GTMOAuth2Authentication *old = m_current.take(address))
            old->deleteLater();
        if (auth)
            auth->deleteLater();
        emit OAuthFailed(address);
    } else {
        m_lastFailure.remove(address);
        m_lastFailure.remove(email);
        if (GTMOAuth2Authentication *old = m_current.value(address); old && old != auth)
            old->deleteLater();
        m_current.insert(address, auth);
        AccountSetup::setKeyChainID(auth->keychainItemName, address, m_prefs);
        emit OAuthGranted(address);
    }
    // A user who declined is not asked again for a while (unless they ask).
    if (error.domain == kGTMOAuth2ErrorDomain && error.code == kGTMOAuth2ErrorWindowClosed)
        return;
    QPointer<AccountOAuth> self(this);
    QTimer::singleShot(kInFlightClearMs, this, [self, address, email] {
        if (!self)
            return;
        self->m_inFlight.remove(address);
        self->m_inFlight.remove(email);
    });
}

void AccountOAuth::adoptAuthorization(GTMOAuth2Authentication *auth, const QString &email)
{
    auth->setParent(this);
    if (GTMOAuth2Authentication *old = m_current.value(email); old && old != auth)
        old->deleteLater();
    m_current.insert(email, auth);
    watchRefreshToken(auth);
}

void AccountOAuth::authFailed(const QString &token)
{
    if (token.isEmpty())
        return;
    for (auto it = m_current.begin(); it != m_current.end(); ++it) {
        if (it.value()->accessToken() != token)
            continue;
        const QString address = it.key();
        TLog(QStringLiteral("Credentials removed. %1").arg(address));
        GTMOAuth2Authentication *auth = it.value();
        m_current.erase(it);
        auth->deleteLater();
        launchOauthWorkflowForEmail(address, false);
        return;
    }
}

void AccountOAuth::reset()
{
    qDeleteAll(m_current);
    m_current.clear();
    m_inFlight.clear();
}
