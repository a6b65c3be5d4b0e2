#pragma once
// MCTMsgViewController feeds the message view: it hands it the message, supplies the
// page templates (with the tiny-header footer of its renderer), the bytes of parts and
// the previews (thumbnails) of image and PDF attachments.

#include "mailadapter/MCOHTMLRenderer.h"
#include "mailadapter/MCOMessageParser.h"
#include "RenderEngine/HTMLEngine/MCOCIDURLProtocol.h"
#include "RenderEngine/HTMLEngine/MCOMessageView.h"

#include <QObject>
#include <QPointer>

#include <memory>
#include <optional>

class MCOIMAPSession;
class MessageToHTMLToPDF;
class QWebEngineView;

class MCTMsgViewController : public QObject, public MCOHTMLRendererDelegate {
    Q_OBJECT
public:
    explicit MCTMsgViewController(QObject *parent = nullptr);
    ~MCTMsgViewController() override;

    MCOMessageView *messageView() const { return m_messageView; }
    void setMessageView(MCOMessageView *view) { m_messageView = view; }

    // Shows a message: resets the per-message state, then composes and loads its page.
    void setTheMessage(std::shared_ptr<MCOMessageParser> message, const QString &folder, MCOIMAPSession *session,
                       MessageToHTMLToPDF *renderBoss);
    std::shared_ptr<MCOMessageParser> getTheMessage() const { return m_message; }
    MCOIMAPSession *session() const { return m_session; }
    QWebEngineView *getTheWebView() const;
    bool stillDownloadingResources() const;
    void shutdown();

    // The answer for a "cid:" or "x-mailcore-image:" request, or nothing when no part matches.
    std::optional<MCOCIDURLProtocol::Reply> replyForPartURL(const MCOMessageParser &message, const QUrl &url);
    // Bytes of a part by unique ID (an attachment part's own bytes).
    QByteArray dataForPartWithUniqueID(const MCOMessageParser &message, const QString &uniqueID) const;
    // Inline images as they are; other images and PDFs as JPEG thumbnails; nothing when
    // no thumbnail can be made.
    static std::optional<QByteArray> previewForData(const QByteArray &data, bool isHTMLInlineImage);
    // JPEG thumbnail: a PDF's first page within 400 x 600, an image within 600 pixels.
    static std::optional<QByteArray> getImageDataViaQuickLook(const QByteArray &data);

    // Templates and questions of the HTML renderer.
    bool canPreviewPart(const MCOAbstractPart &part) override;
    QString templateForMessage(const MCOAbstractMessage &message) override;
    QString templateForImage(const MCOAbstractPart &part) override;
    QString templateForAttachment(const MCOAbstractPart &part) override;

private:
    QPointer<MCOMessageView> m_messageView;
    std::shared_ptr<MCOMessageParser> m_message;
    QString m_folder;
    MCOIMAPSession *m_session = nullptr;
    QPointer<MessageToHTMLToPDF> m_renderBoss;
};
