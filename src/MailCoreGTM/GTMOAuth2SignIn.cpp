#include "MailCoreGTM/GTMOAuth2SignIn.h"

#include "MailCoreGTM/GTMHTTPFetcher.h"
#include "MailCoreGTM/GTMOAuth2Configuration.h"
#include "Utils/Log.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimeZone>
#include <QTimer>

namespace {

// 2011-01-01 00:00:00 UTC: a clock before this cannot be right.
constexpr qint64 kEarliestPlausibleClock = 1293840000;
// A browser's request line and headers; anything longer is not a redirect of ours.
constexpr qsizetype kMaxRequestBytes = 16384;

QString randomURLSafe(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(raw.data()), bytes / 4);
    return QString::fromLatin1(raw.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QByteArray page(int status, const QString &title, const QString &text)
{
    const QByteArray body = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                                           "<body style=\"font-family:sans-serif;margin:3em\"><h1>%1</h1><p>%2</p>"
                                           "</body></html>")
                                .arg(title.toHtmlEscaped(), text.toHtmlEscaped())
                                .toUtf8();
    const char *reason = status == 200 ? "OK" : status == 400 ? "Bad Request" : "Not Found";
    return QByteArray("HTTP/1.1 ") + QByteArray::number(status) + ' ' + reason +
           "\r\nContent-Type: text/html; charset=utf-8\r\nCache-Control: no-store\r\nConnection: close\r\n"
           "Content-Length: " + QByteArray::number(body.size()) + "\r\n\r\n" + body;
}

} // namespace

GTMOAuth2SignIn::GTMOAuth2SignIn(GTMOAuth2Authentication *auth, const QUrl &authorizationURL, const QString &scope,
                                 const QUrl &userInfoURL, QObject *parent)
    : QObject(parent), m_auth(auth), m_authorizationURL(authorizationURL), m_userInfoURL(userInfoURL), m_scope(scope)
{
}

GTMOAuth2SignIn::~GTMOAuth2SignIn()
{
    m_finished = nullptr;
    closeListener();
    if (m_auth)
        m_auth->stopTokenFetch();
}

void GTMOAuth2SignIn::setKeepSignedIn(bool keep, Preferences *prefs)
{
    m_keepSignedIn = keep;
    m_prefs = prefs;
}

bool GTMOAuth2SignIn::clockIsPlausible(const QDateTime &now) { return now.toSecsSinceEpoch() > kEarliestPlausibleClock; }

QString GTMOAuth2SignIn::clockIncorrectText(const QDateTime &now)
{
    return QStringLiteral("System Clock Incorrect: %1").arg(now.toUTC().toString(QStringLiteral("yyyy-MM-dd HH:mm 'UTC'")));
}

QString GTMOAuth2SignIn::scopeWithEmailScope(const QString &scope)
{
    QStringList scopes = scope.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (!scopes.contains(GTMOAuth2Configuration::emailScope()))
        scopes.append(GTMOAuth2Configuration::emailScope());
    return scopes.join(QLatin1Char(' '));
}

QString GTMOAuth2SignIn::codeChallengeForVerifier(const QString &verifier)
{
    return QString::fromLatin1(QCryptographicHash::hash(verifier.toLatin1(), QCryptographicHash::Sha256)
                                   .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

QVariantMap GTMOAuth2SignIn::identityFromIDToken(const QString &idToken)
{
    const QStringList parts = idToken.split(QLatin1Char('.'));
    if (parts.size() != 3)
        return {};
    const auto decoded = QByteArray::fromBase64Encoding(parts[1].toLatin1(), QByteArray::Base64UrlEncoding);
    if (!decoded)
        return {};
    const QJsonDocument doc = QJsonDocument::fromJson(*decoded);
    if (!doc.isObject())
        return {};
    QVariantMap json = doc.object().toVariantMap();
    // OpenID Connect names the same facts differently.
    if (!json.contains(QStringLiteral("id")) && json.contains(QStringLiteral("sub")))
        json.insert(QStringLiteral("id"), json.value(QStringLiteral("sub")));
    if (!json.contains(QStringLiteral("verified_email")) && json.contains(QStringLiteral("email_verified")))
        json.insert(QStringLiteral("verified_email"), json.value(QStringLiteral("email_verified")));
    return json;
}

void GTMOAuth2SignIn::setIdentity(GTMOAuth2Authentication &auth, const QVariantMap &json)
{
    const QVariant id = json.value(QStringLiteral("id"));
    if (id.isValid())
        auth.setUserID(id.toString());
    const QString email = json.value(QStringLiteral("email")).toString();
    if (!email.isEmpty())
        auth.setUserEmail(email);
    const QVariant verified = json.value(QStringLiteral("verified_email"));
    if (verified.isValid()) {
        // A boolean or a text; kept as text either way.
        const bool yes = verified.typeId() == QMetaType::Bool ? verified.toBool()
                                                              : verified.toString().toLower() == QLatin1String("true");
        auth.setUserEmailIsVerified(yes ? QStringLiteral("true") : QStringLiteral("false"));
    }
}

bool GTMOAuth2SignIn::startSigningIn(const OpenURL &openURL, GTMOAuth2Authentication::Finished finished,
                                     GTMOAuth2Error *error)
{
    const auto refuse = [error](const QString &why) {
        if (error)
            *error = GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorSignInUnavailable, why);
        return false;
    };
    if (!m_auth)
        return refuse(QStringLiteral("no authorization to sign in to"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!clockIsPlausible(now))
        return refuse(clockIncorrectText(now));
    if (m_auth->clientID.isEmpty())
        return refuse(GTMOAuth2Configuration::missingClientIDExplanation());
    closeListener();
    m_listener = new QTcpServer(this);
    if (!m_listener->listen(QHostAddress::LocalHost, 0))
        return refuse(QStringLiteral("no port on 127.0.0.1 to receive the sign-in: %1").arg(m_listener->errorString()));
    connect(m_listener, &QTcpServer::newConnection, this, [this] {
        while (m_listener && m_listener->hasPendingConnections()) {
            QTcpSocket *socket = m_listener->nextPendingConnection();
            // The listener closes when an answer is taken; its page must still go out.
            socket->setParent(this);
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRedirect(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            // A connection that never sends a request must not stay open for ever.
            QTimer::singleShot(30000, socket, [socket] { socket->abort(); });
        }
    });
    m_redirectURI = QStringLiteral("http://127.0.0.1:%1/").arg(m_listener->serverPort());
    m_state = randomURLSafe(24);
    m_answerTaken = false;
    m_auth->redirectURI = m_redirectURI;
    m_auth->codeVerifier = randomURLSafe(48);
    const QString scope = scopeWithEmailScope(m_scope);
    m_auth->setParam(QStringLiteral("scope"), scope);
    QVariantMap query{
        {QStringLiteral("response_type"), QStringLiteral("code")},
        {QStringLiteral("client_id"), m_auth->clientID},
        {QStringLiteral("scope"), scope},
        {QStringLiteral("redirect_uri"), m_redirectURI},
        {QStringLiteral("state"), m_state},
        {QStringLiteral("code_challenge"), codeChallengeForVerifier(m_auth->codeVerifier)},
        {QStringLiteral("code_challenge_method"), QStringLiteral("S256")},
        // A refresh token every time, so that the job can renew without the user.
        {QStringLiteral("access_type"), QStringLiteral("offline")},
    };
    m_requestURL = m_authorizationURL;
    m_requestURL.setQuery(GTMOAuth2Authentication::encodedQueryParametersForDictionary(query), QUrl::StrictMode);
    m_finished = std::move(finished);
    openURL(m_requestURL);
    return true;
}

void GTMOAuth2SignIn::cancelSigningIn()
{
    if (!m_finished)
        return;
    closeListener();
    if (m_auth)
        m_auth->stopTokenFetch();
    if (m_userInfoFetcher)
        m_userInfoFetcher->stopFetching();
    finish(GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorWindowClosed,
                                QStringLiteral("the sign-in was cancelled")));
}

void GTMOAuth2SignIn::readRedirect(QTcpSocket *socket)
{
    QByteArray buffer = socket->property("request").toByteArray() + socket->readAll();
    socket->setProperty("request", buffer);
    if (buffer.size() > kMaxRequestBytes) {
        socket->abort();
        return;
    }
    if (!buffer.contains("\r\n\r\n"))
        return;
    const QList<QByteArray> requestLine = buffer.left(buffer.indexOf("\r\n")).split(' ');
    const QUrl target(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(requestLine.value(1)));
    QByteArray answer;
    const QVariantMap query =
        GTMOAuth2Authentication::dictionaryWithResponseString(target.query(QUrl::FullyEncoded));
    const bool hasResult = !query.value(QStringLiteral("code")).toString().isEmpty() ||
                           !query.value(QStringLiteral("error")).toString().isEmpty();
    if (requestLine.value(0) != "GET" || target.path() != QLatin1String("/")) {
        answer = page(404, QStringLiteral("Not found"), QStringLiteral("Nothing is here."));
    } else if (m_answerTaken || !hasResult || query.value(QStringLiteral("state")).toString() != m_state) {
        // Another page, or an answer to a request this sign-in did not make: not taken.
        answer = page(400, QStringLiteral("Tarnwick"),
                      QStringLiteral("This is not the answer to a sign-in that Tarnwick is waiting for."));
    } else if (!query.value(QStringLiteral("code")).toString().isEmpty()) {
        answer = page(200, QStringLiteral("Signed in"),
                      QStringLiteral("You are signed in. You can close this page and return to Tarnwick."));
    } else {
        answer = page(200, QStringLiteral("Sign-in not completed"),
                      QStringLiteral("The sign-in did not complete (%1). You can close this page and return to "
                                     "Tarnwick.")
                          .arg(query.value(QStringLiteral("error")).toString()));
    }
    socket->write(answer);
    socket->disconnectFromHost();
    if (answer.startsWith("HTTP/1.1 200"))
        takeAnswer(query);
}

void GTMOAuth2SignIn::takeAnswer(const QVariantMap &answer)
{
    m_answerTaken = true;
    closeListener();
    if (!m_auth || !m_finished)
        return;
    QVariantMap keys = answer;
    keys.remove(QStringLiteral("state"));
    m_auth->setKeysForResponseDictionary(keys);
    if (m_auth->code().isEmpty()) {
        const QString why = m_auth->errorString();
        finish(GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorAuthorizationFailed,
                                    QStringLiteral("the sign-in was refused: %1").arg(why),
                                    {{QStringLiteral("error"), why}}));
        return;
    }
    emit userSignedIn();
    QPointer<GTMOAuth2SignIn> self(this);
    m_auth->beginTokenFetch([self](GTMOAuth2Authentication *, const GTMOAuth2Error &error) {
        if (self)
            self->tokensArrived(error);
    });
}

void GTMOAuth2SignIn::tokensArrived(const GTMOAuth2Error &error)
{
    if (error.isError() || !m_auth) {
        finish(error);
        return;
    }
    const QString idToken = m_auth->param(QStringLiteral("id_token"));
    const QVariantMap identity = identityFromIDToken(idToken);
    if (!identity.isEmpty()) {
        setIdentity(*m_auth, identity);
        finish({});
        return;
    }
    fetchUserInfo();
}

void GTMOAuth2SignIn::fetchUserInfo()
{
    QNetworkRequest request(m_userInfoURL);
    const GTMOAuth2Error notAuthorized = m_auth->authorizeRequest(request);
    if (notAuthorized.isError()) {
        finish(notAuthorized);
        return;
    }
    m_userInfoFetcher = new GTMHTTPFetcher(request, this);
    QPointer<GTMOAuth2SignIn> self(this);
    m_userInfoFetcher->beginFetch([self](const GTMHTTPFetcher::Response &r) {
        if (!self)
            return;
        self->m_userInfoFetcher->deleteLater();
        self->m_userInfoFetcher = nullptr;
        if (!r.ok()) {
            self->finish(GTMOAuth2Error::make(
                r.networkError.isEmpty() ? kGTMHTTPFetcherStatusDomain : kGTMOAuth2NetworkErrorDomain,
                r.networkError.isEmpty() ? r.status : -1,
                QStringLiteral("the user information could not be fetched: %1")
                    .arg(r.networkError.isEmpty() ? QStringLiteral("HTTP %1").arg(r.status) : r.networkError)));
            return;
        }
        const QJsonDocument doc = QJsonDocument::fromJson(r.body);
        if (self->m_auth)
            setIdentity(*self->m_auth, doc.object().toVariantMap());
        self->finish({});
    });
}

void GTMOAuth2SignIn::finish(const GTMOAuth2Error &error)
{
    closeListener();
    GTMOAuth2Authentication::Finished done = std::move(m_finished);
    m_finished = nullptr;
    if (!done)
        return;
    if (!error.isError() && m_auth && m_prefs && !m_auth->keychainItemName.isEmpty()) {
        if (m_keepSignedIn)
            GTMOAuth2Authentication::saveAuthToKeychainForName(m_auth->keychainItemName, *m_auth, *m_prefs);
        else
            GTMOAuth2Authentication::removeAuthFromKeychainForName(m_auth->keychainItemName, *m_prefs);
    }
    TLog(error.isError() ? QStringLiteral("Google sign-in ended: %1").arg(error.description)
                         : QStringLiteral("Google sign-in completed for %1").arg(m_auth ? m_auth->userEmail() : QString()));
    done(m_auth, error);
}

void GTMOAuth2SignIn::closeListener()
{
    if (m_listener) {
        m_listener->close();
        m_listener->deleteLater();
        m_listener = nullptr;
    }
}
