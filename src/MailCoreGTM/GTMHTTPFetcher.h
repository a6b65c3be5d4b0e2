#pragma once
// GTMHTTPFetcher: one HTTP request of the sign-in component (token, user information),
// over Qt Network, with retries. The completion handler runs exactly once, on the thread
// that started the fetch, with the last attempt's status, headers and body.
//
// Retries. A request that failed on the way (no connection, a timeout, a broken
// transfer) or that the server answered with 408, 429 or 5xx is tried again after 1 s,
// 2 s, 4 s … at most `maxRetryInterval` apart, up to `maxRetries` times. Other answers,
// a 400 among them, are final: repeating a refused grant changes nothing.
//
// Secrets. Bodies and headers hold tokens; the fetcher logs neither.

#include <QByteArray>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>

class QNetworkAccessManager;
class QNetworkReply;

class GTMHTTPFetcher : public QObject {
    Q_OBJECT
public:
    struct Response {
        int status = 0;          // the HTTP status; 0 when no answer came
        QByteArray contentType;  // the "Content-Type" header
        QByteArray body;
        QString networkError;    // set when no answer came
        bool ok() const { return networkError.isEmpty() && status >= 200 && status < 300; }
    };
    using Completion = std::function<void(const Response &)>;

    /// A GET of `request`, or a POST of `body` when one is set (setPostData).
    explicit GTMHTTPFetcher(const QNetworkRequest &request, QObject *parent = nullptr);
    ~GTMHTTPFetcher() override;

    void setPostData(const QByteArray &body);
    void setMaxRetryInterval(double seconds) { m_maxRetryInterval = seconds; }
    void setMinRetryInterval(double seconds) { m_minRetryInterval = seconds; }
    void setMaxRetries(int count) { m_maxRetries = count; }
    /// How long one attempt may take without progress.
    void setTransferTimeout(int ms) { m_transferTimeoutMs = ms; }

    /// Starts the fetch; `done` is called once (never from inside this call).
    void beginFetch(Completion done);
    /// Drops the request and its handler; nothing is called afterwards.
    void stopFetching();
    bool isFetching() const { return bool(m_done); }
    int retryCount() const { return m_retryCount; }

    /// "Tarnwick/<version>", the User-Agent of every request made here.
    static QByteArray userAgent();
    /// The network access of the sign-in component (one per thread).
    static QNetworkAccessManager &sharedManager();

private:
    void attempt();
    void attemptFinished(QNetworkReply *reply);
    static bool isRetryable(const Response &response);

    QNetworkRequest m_request;
    QByteArray m_body;
    bool m_post = false;
    Completion m_done;
    QPointer<QNetworkReply> m_reply;
    int m_retryCount = 0;
    int m_maxRetries = 5;
    double m_minRetryInterval = 1.0;
    double m_maxRetryInterval = 15.0;
    int m_transferTimeoutMs = 60000;
};
