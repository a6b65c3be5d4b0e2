#include "RenderEngine/HTMLEngine/MCOCIDURLProtocol.h"

#include "Utils/Log.h"

#include <QBuffer>
#include <QWebEngineUrlRequestJob>
#include <QWebEngineUrlScheme>

namespace {

const QByteArray kCid = QByteArrayLiteral("cid");
const QByteArray kImage = QByteArrayLiteral("x-mailcore-image");
const QByteArray kPage = QByteArrayLiteral("x-tarnwick-page");

} // namespace

MCOCIDURLProtocol::MCOCIDURLProtocol(Resolver resolver, QObject *parent)
    : QWebEngineUrlSchemeHandler(parent), m_resolver(std::move(resolver))
{
}

void MCOCIDURLProtocol::registerProtocol()
{
    static bool done = false;
    if (done)
        return;
    done = true;
    for (const QByteArray &name : {kCid, kImage, kPage}) {
        QWebEngineUrlScheme scheme(name);
        scheme.setSyntax(QWebEngineUrlScheme::Syntax::Path);
        // Local to the page and to each other, never a door to the network or the disk.
        scheme.setFlags(QWebEngineUrlScheme::SecureScheme | QWebEngineUrlScheme::LocalScheme |
                        QWebEngineUrlScheme::LocalAccessAllowed | QWebEngineUrlScheme::ContentSecurityPolicyIgnored);
        QWebEngineUrlScheme::registerScheme(scheme);
    }
}

bool MCOCIDURLProtocol::isCID(const QUrl &url) { return url.scheme().compare(QLatin1String(kCid), Qt::CaseInsensitive) == 0; }

bool MCOCIDURLProtocol::isXMailcoreImage(const QUrl &url)
{
    return url.scheme().compare(QLatin1String(kImage), Qt::CaseInsensitive) == 0;
}

bool MCOCIDURLProtocol::isPage(const QUrl &url) { return url.scheme().compare(QLatin1String(kPage), Qt::CaseInsensitive) == 0; }

const QByteArray &MCOCIDURLProtocol::pageScheme() { return kPage; }

void MCOCIDURLProtocol::requestStarted(QWebEngineUrlRequestJob *job)
{
    const QUrl url = job->requestUrl();
    const std::optional<Reply> reply = m_resolver ? m_resolver(url) : std::nullopt;
    if (!reply) {
        // No such part: the image shows broken at once instead of waiting for a timeout.
        job->fail(QWebEngineUrlRequestJob::UrlNotFound);
        emit finished(url, false);
        return;
    }
    auto *buffer = new QBuffer(job);
    buffer->setData(reply->data);
    buffer->open(QIODevice::ReadOnly);
    job->reply(reply->mimeType.isEmpty() ? QByteArrayLiteral("application/octet-stream") : reply->mimeType, buffer);
    emit finished(url, true);
}
