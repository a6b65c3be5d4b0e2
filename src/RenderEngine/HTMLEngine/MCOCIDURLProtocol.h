#pragma once
// MCOCIDURLProtocol answers the HTML engine's requests for a message's own parts:
// "cid:" URLs (inline images referenced from the HTML body) and "x-mailcore-image:" URLs
// (image blocks of attachments), from memory. It also serves the composed page itself
// ("x-tarnwick-page:") so that pages of any size load (the engine's setHtml refuses
// more than 2 MB).
//
// The handler does not know messages: a resolver supplied by the message view maps a
// URL to its bytes. Every request ends exactly once, answered or failed, and `finished`
// reports its URL so that the view can keep its record of outstanding resources.

#include <QByteArray>
#include <QObject>
#include <QUrl>
#include <QWebEngineUrlSchemeHandler>

#include <functional>
#include <optional>

class MCOCIDURLProtocol : public QWebEngineUrlSchemeHandler {
    Q_OBJECT
public:
    struct Reply {
        QByteArray mimeType;
        QByteArray data;
    };
    // Bytes for a URL, or nothing when no part matches.
    using Resolver = std::function<std::optional<Reply>(const QUrl &url)>;

    explicit MCOCIDURLProtocol(Resolver resolver, QObject *parent = nullptr);

    // Declares the schemes to the engine. Must run once, before the application object is
    // created.
    static void registerProtocol();

    static bool isCID(const QUrl &url);
    static bool isXMailcoreImage(const QUrl &url);
    static bool isPage(const QUrl &url);
    static const QByteArray &pageScheme();

    void requestStarted(QWebEngineUrlRequestJob *job) override;

signals:
    void finished(const QUrl &url, bool answered);

private:
    Resolver m_resolver;
};
