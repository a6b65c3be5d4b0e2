#include "MailCoreGTM/GTMHTTPFetcher.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QThreadStorage>
#include <QTimer>

#include <algorithm>

GTMHTTPFetcher::GTMHTTPFetcher(const QNetworkRequest &request, QObject *parent)
    : QObject(parent), m_request(request)
{
    m_request.setHeader(QNetworkRequest::UserAgentHeader, userAgent());
    // A token endpoint that moves answers with a redirect; never to plain HTTP from HTTPS.
    m_request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
}

GTMHTTPFetcher::~GTMHTTPFetcher() { stopFetching(); }

void GTMHTTPFetcher::setPostData(const QByteArray &body)
{
    m_body = body;
    m_post = true;
}

QByteArray GTMHTTPFetcher::userAgent() { return QByteArrayLiteral("Tarnwick/" TARNWICK_VERSION); }

QNetworkAccessManager &GTMHTTPFetcher::sharedManager()
{
    static QThreadStorage<QNetworkAccessManager *> managers;
    if (!managers.hasLocalData())
        managers.setLocalData(new QNetworkAccessManager);
    return *managers.localData();
}

void GTMHTTPFetcher::beginFetch(Completion done)
{
    stopFetching();
    m_done = std::move(done);
    m_retryCount = 0;
    // Never call back from inside beginFetch: callers set up state after starting.
    QTimer::singleShot(0, this, [this] {
        if (m_done)
            attempt();
    });
}

void GTMHTTPFetcher::stopFetching()
{
    m_done = nullptr;
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
}

void GTMHTTPFetcher::attempt()
{
    QNetworkRequest request = m_request;
    request.setTransferTimeout(m_transferTimeoutMs);
    QNetworkAccessManager &manager = sharedManager();
    m_reply = m_post ? manager.post(request, m_body) : manager.get(request);
    QNetworkReply *reply = m_reply;
    connect(reply, &QNetworkReply::finished, this, [this, reply] { attemptFinished(reply); });
}

bool GTMHTTPFetcher::isRetryable(const Response &response)
{
    if (!response.networkError.isEmpty())
        return true;
    return response.status == 408 || response.status == 429 || response.status >= 500;
}

void GTMHTTPFetcher::attemptFinished(QNetworkReply *reply)
{
    reply->deleteLater();
    if (reply != m_reply || !m_done)
        return;
    m_reply = nullptr;
    Response response;
    response.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    response.contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
    response.body = reply->readAll();
    // An HTTP error status is an answer, not a failure on the way.
    if (reply->error() != QNetworkReply::NoError && response.status == 0)
        response.networkError = reply->errorString();
    if (isRetryable(response) && m_retryCount < m_maxRetries) {
        const double wait = std::min(m_maxRetryInterval, m_minRetryInterval * double(1 << std::min(m_retryCount, 20)));
        ++m_retryCount;
        QTimer::singleShot(int(wait * 1000), this, [this] {
            if (m_done)
                attempt();
        });
        return;
    }
    Completion done = std::move(m_done);
    m_done = nullptr;
    done(response);
}
