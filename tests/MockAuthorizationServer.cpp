#include "MockAuthorizationServer.h"

#include "MailCoreGTM/GTMOAuth2Authentication.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QUrlQuery>

namespace {

QByteArray http(int status, const QByteArray &contentType, const QByteArray &body,
                const QByteArray &extraHeaders = QByteArray())
{
    return "HTTP/1.1 " + QByteArray::number(status) + (status == 200 ? " OK" : status == 302 ? " Found" : " Error") +
           "\r\nContent-Type: " + contentType + "\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n" + extraHeaders + "\r\n" + body;
}

QByteArray json(int status, const QJsonObject &object)
{
    return http(status, "application/json; charset=utf-8", QJsonDocument(object).toJson(QJsonDocument::Compact));
}

QByteArray errorAnswer(int status, const char *error) { return json(status, {{"error", QString::fromLatin1(error)}}); }

QString base64url(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals));
}

} // namespace

MockAuthorizationServer::MockAuthorizationServer() = default;

MockAuthorizationServer::~MockAuthorizationServer()
{
    if (!m_thread)
        return;
    QMetaObject::invokeMethod(m_server, [this] { delete m_server; }, Qt::BlockingQueuedConnection);
    m_thread->quit();
    m_thread->wait();
}

bool MockAuthorizationServer::start(QString *failure)
{
    m_thread = std::make_unique<QThread>();
    m_thread->start();
    QObject anchor;
    m_server = new QTcpServer;
    m_server->moveToThread(m_thread.get());
    bool listening = false;
    QMetaObject::invokeMethod(
        m_server,
        [this, &listening] {
            listening = m_server->listen(QHostAddress::LocalHost, 0);
            m_port = m_server->serverPort();
            QObject::connect(m_server, &QTcpServer::newConnection, m_server, [this] {
                while (QTcpSocket *socket = m_server->nextPendingConnection()) {
                    QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                    QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
                        QByteArray buffer = socket->property("buffer").toByteArray() + socket->readAll();
                        socket->setProperty("buffer", buffer);
                        const qsizetype end = buffer.indexOf("\r\n\r\n");
                        if (end < 0)
                            return;
                        QHash<QByteArray, QByteArray> headers;
                        const QList<QByteArray> lines = buffer.left(end).split('\n');
                        for (qsizetype i = 1; i < lines.size(); ++i) {
                            const qsizetype colon = lines[i].indexOf(':');
                            if (colon > 0)
                                headers.insert(lines[i].left(colon).trimmed().toLower(), lines[i].mid(colon + 1).trimmed());
                        }
                        const qsizetype length = headers.value("content-length").toLongLong();
                        if (buffer.size() < end + 4 + length)
                            return;
                        const QList<QByteArray> request = lines.value(0).trimmed().split(' ');
                        const QUrl target(QStringLiteral("http://127.0.0.1") + QString::fromLatin1(request.value(1)));
                        socket->write(respond(request.value(0), target, headers, buffer.mid(end + 4, length)));
                        socket->disconnectFromHost();
                    });
                }
            });
        },
        Qt::BlockingQueuedConnection);
    if (!listening)
        *failure = QStringLiteral("the authorization server cannot listen on 127.0.0.1");
    return listening;
}

QUrl MockAuthorizationServer::url(const QString &path) const
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_port).arg(path));
}

void MockAuthorizationServer::setUser(const QString &email) { QMutexLocker l(&m_lock); m_user = email; }
void MockAuthorizationServer::setRefuseSignIn(bool refuse) { QMutexLocker l(&m_lock); m_refuse = refuse; }
void MockAuthorizationServer::setIDTokenInResponse(bool on) { QMutexLocker l(&m_lock); m_idToken = on; }
void MockAuthorizationServer::setFormAnswers(bool on) { QMutexLocker l(&m_lock); m_form = on; }
void MockAuthorizationServer::setUnavailableTimes(int count) { QMutexLocker l(&m_lock); m_unavailable = count; }
void MockAuthorizationServer::setExpiresIn(int secs) { QMutexLocker l(&m_lock); m_expiresIn = secs; }
void MockAuthorizationServer::setAccessLifetimeSecs(int secs) { QMutexLocker l(&m_lock); m_accessLifetime = secs; }
void MockAuthorizationServer::expireAccessTokens() { QMutexLocker l(&m_lock); m_accessIssued.clear(); }
void MockAuthorizationServer::revokeRefreshTokens() { QMutexLocker l(&m_lock); m_liveRefresh.clear(); }
int MockAuthorizationServer::codeGrants() const { QMutexLocker l(&m_lock); return m_codeGrants; }
int MockAuthorizationServer::refreshGrants() const { QMutexLocker l(&m_lock); return m_refreshGrants; }
int MockAuthorizationServer::introspections() const { QMutexLocker l(&m_lock); return m_introspections; }
int MockAuthorizationServer::refusedIntrospections() const { QMutexLocker l(&m_lock); return m_refusedIntrospections; }
QString MockAuthorizationServer::lastRefreshToken() const { QMutexLocker l(&m_lock); return m_lastRefresh; }
QString MockAuthorizationServer::lastAccessToken() const { QMutexLocker l(&m_lock); return m_lastAccess; }
QStringList MockAuthorizationServer::refusals() const { QMutexLocker l(&m_lock); return m_refusals; }

bool MockAuthorizationServer::isRefreshTokenLive(const QString &token) const
{
    QMutexLocker l(&m_lock);
    return m_liveRefresh.contains(token);
}

bool MockAuthorizationServer::isAccessTokenLive(const QString &token) const
{
    const auto it = m_accessIssued.constFind(token);
    return it != m_accessIssued.cend() && it.value().secsTo(QDateTime::currentDateTimeUtc()) < m_accessLifetime;
}

QByteArray MockAuthorizationServer::tokens(bool withIDToken)
{
    ++m_counter;
    m_lastAccess = QStringLiteral("access-%1-%2").arg(m_counter).arg(QDateTime::currentMSecsSinceEpoch());
    m_lastRefresh = QStringLiteral("refresh/%1+%2").arg(m_counter).arg(QDateTime::currentMSecsSinceEpoch());
    m_accessIssued.insert(m_lastAccess, QDateTime::currentDateTimeUtc());
    m_liveRefresh.insert(m_lastRefresh);
    QJsonObject answer{{"access_token", m_lastAccess},
                       {"refresh_token", m_lastRefresh},
                       {"token_type", "Bearer"},
                       {"expires_in", m_expiresIn},
                       {"scope", "https://mail.google.com/ https://www.googleapis.com/auth/userinfo.email"}};
    if (withIDToken) {
        const QJsonObject claims{{"sub", "108"}, {"email", m_user}, {"email_verified", true}};
        answer.insert("id_token", base64url("{\"alg\":\"none\"}") + '.' +
                                      base64url(QJsonDocument(claims).toJson(QJsonDocument::Compact)) + ".sig");
    }
    if (m_form) {
        QVariantMap form;
        for (auto it = answer.begin(); it != answer.end(); ++it)
            form.insert(it.key(), it.value().toVariant().toString());
        return http(200, "application/x-www-form-urlencoded",
                    GTMOAuth2Authentication::encodedQueryParametersForDictionary(form).toUtf8());
    }
    return json(200, answer);
}

QByteArray MockAuthorizationServer::respond(const QByteArray &method, const QUrl &target,
                                            const QHash<QByteArray, QByteArray> &headers, const QByteArray &body)
{
    QMutexLocker l(&m_lock);
    const QString path = target.path();
    const auto refuse = [this](int status, const char *error, const QString &why) {
        m_refusals.append(QStringLiteral("%1: %2").arg(QLatin1String(error), why));
        return errorAnswer(status, error);
    };
    if (method == "GET" && path == QLatin1String("/auth")) {
        const QVariantMap q = GTMOAuth2Authentication::dictionaryWithResponseString(target.query(QUrl::FullyEncoded));
        const QString redirect = q.value("redirect_uri").toString();
        if (q.value("client_id") != clientID || q.value("response_type") != QLatin1String("code") ||
            !redirect.startsWith(QLatin1String("http://127.0.0.1:")) ||
            q.value("code_challenge_method") != QLatin1String("S256") || q.value("code_challenge").toString().isEmpty())
            return refuse(400, "invalid_request", QStringLiteral("authorization request ") + target.query());
        QUrl back(redirect);
        QUrlQuery answer;
        if (m_refuse) {
            answer.addQueryItem("error", "access_denied");
        } else {
            const QString code = QStringLiteral("code-%1").arg(++m_counter);
            m_codes.insert(code, {q.value("code_challenge").toString(), redirect});
            answer.addQueryItem("code", code);
        }
        answer.addQueryItem("state", q.value("state").toString());
        back.setQuery(answer);
        return http(302, "text/plain", "", "Location: " + back.toEncoded() + "\r\n");
    }
    if (method == "POST" && path == QLatin1String("/token")) {
        if (m_unavailable > 0) {
            --m_unavailable;
            return http(503, "text/plain", "busy");
        }
        if (!headers.value("content-type").startsWith("application/x-www-form-urlencoded"))
            return refuse(400, "invalid_request", "content type");
        const QVariantMap f = GTMOAuth2Authentication::dictionaryWithResponseString(QString::fromUtf8(body));
        if (f.value("client_id") != clientID || f.value("client_secret") != clientSecret)
            return refuse(401, "invalid_client", "client");
        const QString grant = f.value("grant_type").toString();
        if (grant == QLatin1String("authorization_code")) {
            const Code code = m_codes.take(f.value("code").toString());
            const QString challenge = base64url(
                QCryptographicHash::hash(f.value("code_verifier").toString().toLatin1(), QCryptographicHash::Sha256));
            if (code.challenge.isEmpty() || code.redirect != f.value("redirect_uri").toString() ||
                challenge != code.challenge)
                return refuse(400, "invalid_grant", "code, redirect or verifier");
            ++m_codeGrants;
            return tokens(m_idToken);
        }
        if (grant == QLatin1String("refresh_token")) {
            const QString old = f.value("refresh_token").toString();
            if (!m_liveRefresh.remove(old))
                return refuse(400, "invalid_grant", QStringLiteral("refresh token ") + old);
            ++m_refreshGrants;
            return tokens(false);
        }
        return refuse(400, "unsupported_grant_type", grant);
    }
    if (method == "GET" && path == QLatin1String("/userinfo")) {
        const QString token = QString::fromUtf8(headers.value("authorization")).section(' ', 1);
        if (!isAccessTokenLive(token))
            return refuse(401, "invalid_token", "userinfo");
        return json(200, {{"id", "108"}, {"email", m_user}, {"verified_email", "true"}});
    }
    if (method == "POST" && path == QLatin1String("/introspect")) {
        ++m_introspections;
        const QVariantMap f = GTMOAuth2Authentication::dictionaryWithResponseString(QString::fromUtf8(body));
        if (!isAccessTokenLive(f.value("token").toString())) {
            ++m_refusedIntrospections;
            return json(200, {{"active", false}});
        }
        return json(200, {{"active", true}, {"email", m_user}});
    }
    return http(404, "text/plain", "not found");
}
