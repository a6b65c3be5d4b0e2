#pragma once
// MCOMessageView owns the HTML engine that lays out one message at a time: it composes
// the message's HTML with its delegate's templates, loads it, serves the message's own
// parts to the engine, decides which other requests may load, and keeps the record of
// resources still loading that the render pipeline polls.
//
// The engine runs with page scripts off: only the program's own queries run, in an
// isolated world. Requests may only reach the message's parts, data: and about: URLs,
// and remote images whose address ends in an image extension; local files, internal
// pages and every other scheme are refused.

#include "mailadapter/MCOMessageParser.h"

#include <QHash>
#include <QSet>
#include <QPointer>
#include <QSizeF>
#include <QUrl>
#include <QWidget>

#include <functional>
#include <memory>

class MCTMsgViewController;
class MCOCIDURLProtocol;
class QNetworkAccessManager;
class QWebEnginePage;
class QWebEngineProfile;
class QWebEngineView;
class MessageRequestFilter;
class RemoteImageHandler;

class QTemporaryDir;

class MCOMessageView : public QWidget {
    Q_OBJECT
public:
    // Where views make their engine storage folder (default: the private temporary
    // folder). A renderbox uses its own folder, which its parent removes.
    static void setEngineStorageBase(const QString &folder);

    // Pages are capped at this many characters of HTML.
    static constexpr qsizetype kMaxHtmlCharacters = 5'000'000;
    // Remote and unresolved requests give up after this long.
    static constexpr int kRequestTimeoutMs = 8400;

    explicit MCOMessageView(QWidget *parent = nullptr);
    ~MCOMessageView() override;

    // Declares the URL schemes; must run before the application object exists.
    static void registerSchemes();

    void setDelegate(MCTMsgViewController *delegate) { m_delegate = delegate; }
    void setFolder(const QString &folder) { m_folder = folder; }
    // Shows `message`: clears the page, composes the HTML and starts loading it.
    void setMessage(std::shared_ptr<MCOMessageParser> message);
    std::shared_ptr<MCOMessageParser> message() const { return m_message; }
    // Composes and loads the current message again.
    void refresh();

    bool stillDownloadingResources() const { return !m_stuffThatsDownloading.isEmpty(); }
    void resetDownloadingStuff() { m_stuffThatsDownloading.clear(); }
    // True between the engine's load start and load end.
    bool isLoading() const { return m_loading; }
    // The HTML of the last composition, as loaded (after the cap).
    const QString &composedHtml() const { return m_html; }

    QWebEnginePage *page() const { return m_page; }

    // Emitted when the page has finished loading and no sub-resource is outstanding: the
    // moment the page may be ready, sooner than a periodic check would see it.
    Q_SIGNAL void settled();
    QWebEngineView *webView() const { return m_view; }

    // Answers for the request filter and the part handler (public for them only).
    bool allowRequest(QUrl &url, bool &redirected);
    void requestStarted(const QUrl &url);
    void requestEnded(const QUrl &url);

    // "cid" and "x-mailcore-image" previewable types, by MIME type and by extension.
    static bool isPreviewableImageType(const QString &mimeType);
    static bool isPreviewableImageExtension(const QString &extension);

private:
    std::optional<QByteArray> pageBytes(const QUrl &url) const;
    // Remote-scheme addresses made here by redirecting a web address: their second pass
    // through the policy is already counted.
    QSet<QString> m_redirected;
    QString composeHtml();

    // The engine keeps a GPU cache even for a memory-only profile: in a private folder
    // of this view's own, not shared by every renderbox in the user's data folder.
    std::unique_ptr<QTemporaryDir> m_engineStorage;
    QWebEngineProfile *m_profile = nullptr;
    QWebEnginePage *m_page = nullptr;
    QWebEngineView *m_view = nullptr;
    MCOCIDURLProtocol *m_parts = nullptr;
    RemoteImageHandler *m_remote = nullptr;
    MessageRequestFilter *m_filter = nullptr;
    MCTMsgViewController *m_delegate = nullptr; // not owned; outlives the view
    std::shared_ptr<MCOMessageParser> m_message;
    QString m_folder;
    QString m_html;
    QByteArray m_pageBytes;
    quint64 m_serial = 0;
    bool m_loading = false;
    QHash<QString, int> m_stuffThatsDownloading; // URL -> requests of it still loading
};
