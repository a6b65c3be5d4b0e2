#include "RenderEngine/HTMLEngine/MCOMessageView.h"

#include "localmail/LocalMailFiles.h"
#include <QTemporaryDir>

#include "RenderEngine/HTMLEngine/MCOCIDURLProtocol.h"
#include "RenderEngine/HTMLEngine/MCTMsgViewController.h"
#include "Utils/Log.h"
#include "mailadapter/MCOAttachment.h"
#include "mailadapter/MCOHTMLRenderer.h"

#include <QBuffer>
#include <QDateTime>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QVBoxLayout>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>
#include <QWebEngineView>

namespace {

const QByteArray kRemoteScheme = QByteArrayLiteral("x-tarnwick-remote");

} // namespace

// Sees every request of the page (on the UI thread) and applies the view's policy.
class MessageRequestFilter : public QWebEngineUrlRequestInterceptor {
public:
    explicit MessageRequestFilter(MCOMessageView *view) : QWebEngineUrlRequestInterceptor(view), m_view(view) {}

    void interceptRequest(QWebEngineUrlRequestInfo &info) override
    {
        QUrl url = info.requestUrl();
        bool redirected = false;
        if (!m_view || !m_view->allowRequest(url, redirected)) {
            info.block(true);
            return;
        }
        if (redirected)
            info.redirect(url);
    }

private:
    QPointer<MCOMessageView> m_view;
};

// Fetches the remote images that the policy lets through, so that their start, end and
// the time limit are the program's to see.
class RemoteImageHandler : public QWebEngineUrlSchemeHandler {
public:
    explicit RemoteImageHandler(MCOMessageView *view) : QWebEngineUrlSchemeHandler(view), m_view(view) {}

    void requestStarted(QWebEngineUrlRequestJob *job) override
    {
        const QUrl wrapped = job->requestUrl();
        const QUrl target(wrapped.path(QUrl::FullyEncoded), QUrl::StrictMode);
        QNetworkRequest request(target);
        request.setTransferTimeout(MCOMessageView::kRequestTimeoutMs);
        request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
        QNetworkReply *reply = m_network.get(request);
        QPointer<QWebEngineUrlRequestJob> guard(job);
        connect(reply, &QNetworkReply::finished, this, [this, reply, guard, wrapped] {
            reply->deleteLater();
            if (guard) {
                if (reply->error() == QNetworkReply::NoError) {
                    auto *buffer = new QBuffer(guard);
                    buffer->setData(reply->readAll());
                    buffer->open(QIODevice::ReadOnly);
                    QByteArray type = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
                    guard->reply(type.isEmpty() ? QByteArrayLiteral("application/octet-stream") : type, buffer);
                } else {
                    guard->fail(QWebEngineUrlRequestJob::RequestFailed);
                }
            }
            if (m_view)
                m_view->requestEnded(wrapped);
        });
    }

private:
    QPointer<MCOMessageView> m_view;
    QNetworkAccessManager m_network;
};

namespace {
QString &storageBaseOverride()
{
    static QString base;
    return base;
}
QString engineStorageBase()
{
    return storageBaseOverride().isEmpty() ? LocalMailFiles::temporaryDirectory() : storageBaseOverride();
}
} // namespace

void MCOMessageView::setEngineStorageBase(const QString &folder) { storageBaseOverride() = folder; }

void MCOMessageView::registerSchemes()
{
    MCOCIDURLProtocol::registerProtocol();
    static bool done = false;
    if (done)
        return;
    done = true;
    QWebEngineUrlScheme remote(kRemoteScheme);
    remote.setSyntax(QWebEngineUrlScheme::Syntax::Path);
    remote.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalScheme |
                    QWebEngineUrlScheme::LocalAccessAllowed | QWebEngineUrlScheme::CorsEnabled);
    QWebEngineUrlScheme::registerScheme(remote);
}

MCOMessageView::MCOMessageView(QWidget *parent) : QWidget(parent)
{
    // A private, memory-only profile: nothing of one message survives into the next.
    m_profile = new QWebEngineProfile(this);
    m_profile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
    m_profile->setHttpCacheMaximumSize(1);
    m_profile->setPersistentCookiesPolicy(QWebEngineProfile::NoPersistentCookies);
    m_profile->setSpellCheckEnabled(false);
    m_engineStorage = std::make_unique<QTemporaryDir>(engineStorageBase() + QStringLiteral("/engine-XXXXXX"));
    if (m_engineStorage->isValid())
        m_profile->setPersistentStoragePath(m_engineStorage->path());

    m_parts = new MCOCIDURLProtocol([this](const QUrl &url) -> std::optional<MCOCIDURLProtocol::Reply> {
        if (MCOCIDURLProtocol::isPage(url)) {
            if (auto bytes = pageBytes(url))
                return MCOCIDURLProtocol::Reply{QByteArrayLiteral("text/html;charset=utf-8"), *bytes};
            return std::nullopt;
        }
        if (!m_delegate || !m_message)
            return std::nullopt;
        return m_delegate->replyForPartURL(*m_message, url);
    }, this);
    connect(m_parts, &MCOCIDURLProtocol::finished, this, [this](const QUrl &url, bool) { requestEnded(url); });
    m_profile->installUrlSchemeHandler(QByteArrayLiteral("cid"), m_parts);
    m_profile->installUrlSchemeHandler(QByteArrayLiteral("x-mailcore-image"), m_parts);
    m_profile->installUrlSchemeHandler(MCOCIDURLProtocol::pageScheme(), m_parts);
    m_remote = new RemoteImageHandler(this);
    m_profile->installUrlSchemeHandler(kRemoteScheme, m_remote);
    m_filter = new MessageRequestFilter(this);
    m_profile->setUrlRequestInterceptor(m_filter);

    m_page = new QWebEnginePage(m_profile, this);
    QWebEngineSettings *s = m_page->settings();
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    s->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    s->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    s->setUnknownUrlSchemePolicy(QWebEngineSettings::DisallowUnknownUrlSchemes);
    connect(m_page, &QWebEnginePage::loadStarted, this, [this] { m_loading = true; });
    connect(m_page, &QWebEnginePage::loadFinished, this, [this](bool) {
        m_loading = false;
        if (m_stuffThatsDownloading.isEmpty())
            emit settled();
    });

    m_view = new QWebEngineView(this);
    m_view->setPage(m_page);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(960, 500);
}

MCOMessageView::~MCOMessageView()
{
    // The page must go before its profile.
    delete m_view;
    m_view = nullptr;
    delete m_page;
    m_page = nullptr;
    delete m_profile; // before its storage folder goes
    m_profile = nullptr;
}

void MCOMessageView::setMessage(std::shared_ptr<MCOMessageParser> message)
{
    m_message = std::move(message);
    m_page->triggerAction(QWebEnginePage::Stop);
    m_profile->clearHttpCache();
    refresh();
}

void MCOMessageView::refresh()
{
    m_html = composeHtml();
    const QString document = QStringLiteral("<!DOCTYPE html><html><head><meta charset=\"utf-8\">"
                                            "<style>body { word-wrap: break-word; overflow-wrap: anywhere; }"
                                            " pre { white-space: pre-wrap; }</style></head><body>") +
                             m_html + QStringLiteral("</body></html>");
    m_pageBytes = document.toUtf8();
    // A new address for every load: the engine must never answer from an earlier page.
    m_page->load(QUrl(QStringLiteral("%1:message/%2").arg(QLatin1String(MCOCIDURLProtocol::pageScheme())).arg(++m_serial)));
}

QString MCOMessageView::composeHtml()
{
    if (!m_message)
        return QString();
    QString html = MCOHTMLRenderer::htmlForMessage(*m_message, m_delegate);
    if (html.size() > kMaxHtmlCharacters + 1)
        html.truncate(kMaxHtmlCharacters);
    // The page has a secure scheme of its own, and the engine never lets a secure page
    // load a plain http image (it blocks it, or quietly asks for it over https): remote
    // images are addressed through our own fetching scheme from the start, where the
    // request policy decides about them as before.
    static const QRegularExpression remoteImage(QStringLiteral("(<img\\b[^>]*?\\bsrc\\s*=\\s*[\"']?)(https?://)"),
                                                QRegularExpression::CaseInsensitiveOption);
    html.replace(remoteImage, QStringLiteral("\\1") + QLatin1String(kRemoteScheme) + QStringLiteral(":\\2"));
    return html;
}

std::optional<QByteArray> MCOMessageView::pageBytes(const QUrl &url) const
{
    if (url.path() != QStringLiteral("message/%1").arg(m_serial))
        return std::nullopt;
    return m_pageBytes;
}

bool MCOMessageView::allowRequest(QUrl &url, bool &redirected)
{
    redirected = false;
    const QString scheme = url.scheme().toLower();
    if (MCOCIDURLProtocol::isPage(url))
        return true;
    if (MCOCIDURLProtocol::isCID(url)) {
        requestStarted(url);
        return true;
    }
    if (MCOCIDURLProtocol::isXMailcoreImage(url) || scheme == QLatin1String("data") || scheme == QLatin1String("about"))
        return true;
    if (scheme == QLatin1String(kRemoteScheme)) {
        if (m_redirected.remove(url.toString()))
            return true; // counted when its web address was let through
        // Addressed so by the composition: the web address inside must pass the same
        // policy as one the page asks for directly.
        QUrl inner(url.path(QUrl::FullyEncoded), QUrl::StrictMode);
        if (!inner.scheme().startsWith(QLatin1String("http")))
            return false;
        bool wrapped = false;
        if (!allowRequest(inner, wrapped))
            return false;
        m_redirected.remove(inner.toString());
        return true;
    }
    if (scheme.startsWith(QLatin1String("htt"))) {
        // Remote content only as plain images: no style sheets, scripts, trackers with
        // query strings, or anything else.
        static const char *const extensions[] = {".jpg", ".jpeg", ".png", ".tiff", ".tif", ".pdf", ".gif"};
        const QString lower = url.toString(QUrl::FullyEncoded).toLower();
        bool image = false;
        for (const char *ext : extensions)
            image = image || lower.endsWith(QLatin1String(ext));
        if (!image)
            return false;
        url = QUrl(QLatin1String(kRemoteScheme) + QLatin1Char(':') + url.toString(QUrl::FullyEncoded));
        redirected = true;
        m_redirected.insert(url.toString());
        requestStarted(url);
        return true;
    }
    // file:, qrc:, chrome:, blob:, javascript: and every other scheme: a message must never
    // pull local files or internal pages into its PDF.
    return false;
}

void MCOMessageView::requestStarted(const QUrl &url) { ++m_stuffThatsDownloading[url.toString()]; }

void MCOMessageView::requestEnded(const QUrl &url)
{
    auto it = m_stuffThatsDownloading.find(url.toString());
    if (it == m_stuffThatsDownloading.end())
        return;
    if (--*it <= 0)
        m_stuffThatsDownloading.erase(it);
    if (m_stuffThatsDownloading.isEmpty() && !m_loading)
        emit settled();
}

bool MCOMessageView::isPreviewableImageType(const QString &mimeType)
{
    static const QStringList types = {QStringLiteral("image/png"), QStringLiteral("image/gif"),
                                      QStringLiteral("image/jpg"), QStringLiteral("image/jpeg")};
    return types.contains(mimeType.toLower());
}

bool MCOMessageView::isPreviewableImageExtension(const QString &extension)
{
    static const QStringList extensions = {QStringLiteral("png"), QStringLiteral("gif"), QStringLiteral("jpg"),
                                           QStringLiteral("jpeg")};
    return extensions.contains(extension.toLower());
}
