#include "RenderEngine/HTMLEngine/MCTMsgViewController.h"

#include "RenderEngine/HTMLEngine/MCOMessageView.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "Utils/Log.h"
#include "mailadapter/MCOAttachment.h"

#include <QBuffer>
#include <QDateTime>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <poppler-qt6.h>

namespace {

// The attachment icon of the page: a 128 x 128 PNG drawn once, shown at 64 x 64.
const QString &attachmentIconDataUrl()
{
    static const QString url = [] {
        QImage icon(128, 128, QImage::Format_ARGB32);
        icon.fill(Qt::transparent);
        QPainter p(&icon);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(QPen(QColor(90, 90, 90), 4));
        p.setBrush(QColor(245, 245, 245));
        p.drawRoundedRect(QRectF(24, 8, 80, 112), 8, 8);
        p.setPen(QPen(QColor(150, 150, 150), 4));
        for (int y = 36; y <= 92; y += 14)
            p.drawLine(40, y, 88, y);
        p.end();
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        icon.save(&buffer, "PNG");
        return QStringLiteral("data:image/png;base64,") + QString::fromLatin1(png.toBase64());
    }();
    return url;
}

std::optional<QByteArray> jpeg(const QImage &image)
{
    if (image.isNull())
        return std::nullopt;
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    if (!image.convertToFormat(QImage::Format_RGB32).save(&buffer, "JPEG"))
        return std::nullopt;
    return out;
}

} // namespace

MCTMsgViewController::MCTMsgViewController(QObject *parent) : QObject(parent) {}

MCTMsgViewController::~MCTMsgViewController() = default;

void MCTMsgViewController::setTheMessage(std::shared_ptr<MCOMessageParser> message, const QString &folder,
                                         MCOIMAPSession *session, MessageToHTMLToPDF *renderBoss)
{
    if (!message)
        TLog(QStringLiteral("don't set a message of nil"));
    m_session = session;
    m_folder = folder;
    m_renderBoss = renderBoss;
    m_message = std::move(message);
    if (!m_messageView)
        return;
    m_messageView->setDelegate(this);
    m_messageView->setFolder(m_folder);
    m_messageView->resetDownloadingStuff();
    m_messageView->setMessage(m_message);
}

QWebEngineView *MCTMsgViewController::getTheWebView() const
{
    return m_messageView ? m_messageView->webView() : nullptr;
}

bool MCTMsgViewController::stillDownloadingResources() const
{
    return m_messageView && m_messageView->stillDownloadingResources();
}

void MCTMsgViewController::shutdown()
{
    m_message.reset();
    m_session = nullptr;
    m_folder = QString();
    m_renderBoss = nullptr;
}

std::optional<MCOCIDURLProtocol::Reply> MCTMsgViewController::replyForPartURL(const MCOMessageParser &message,
                                                                              const QUrl &url)
{
    const bool inlineImage = MCOCIDURLProtocol::isCID(url);
    QString specifier = url.path(QUrl::FullyDecoded);
    MCOAbstractPartPtr part;
    if (inlineImage) {
        part = message.partForContentID(specifier);
    } else {
        specifier = specifier.section(QLatin1Char('?'), 0, 0);
        part = message.partForUniqueID(specifier);
    }
    if (!part)
        return std::nullopt;
    QByteArray bytes;
    if (auto attachment = std::dynamic_pointer_cast<MCOAttachment>(part))
        bytes = attachment->data();
    if (bytes.isEmpty())
        bytes = dataForPartWithUniqueID(message, part->uniqueID());
    const auto preview = previewForData(bytes, inlineImage);
    if (!preview)
        return std::nullopt;
    const QByteArray type = inlineImage ? part->mimeType().toLatin1() : QByteArrayLiteral("image/jpeg");
    return MCOCIDURLProtocol::Reply{type, *preview};
}

QByteArray MCTMsgViewController::dataForPartWithUniqueID(const MCOMessageParser &message, const QString &uniqueID) const
{
    if (auto attachment = std::dynamic_pointer_cast<MCOAttachment>(message.partForUniqueID(uniqueID)))
        return attachment->data();
    return {};
}

std::optional<QByteArray> MCTMsgViewController::previewForData(const QByteArray &data, bool isHTMLInlineImage)
{
    if (isHTMLInlineImage)
        return data;
    return getImageDataViaQuickLook(data);
}

std::optional<QByteArray> MCTMsgViewController::getImageDataViaQuickLook(const QByteArray &data)
{
    if (data.size() <= 99)
        return data;
    if (data.startsWith("%PDF")) {
        std::unique_ptr<Poppler::Document> doc = Poppler::Document::loadFromData(data);
        if (!doc || doc->isLocked() || doc->numPages() < 1)
            return std::nullopt;
        std::unique_ptr<Poppler::Page> page = doc->page(0);
        if (!page)
            return std::nullopt;
        const QSizeF points = page->pageSizeF();
        if (points.isEmpty())
            return std::nullopt;
        // Within 400 x 600 points, rendered at one pixel per point.
        const double scale = qMin(400.0 / points.width(), 600.0 / points.height());
        doc->setRenderHint(Poppler::Document::Antialiasing);
        doc->setRenderHint(Poppler::Document::TextAntialiasing);
        return jpeg(page->renderToImage(72.0 * scale, 72.0 * scale));
    }
    QBuffer buffer;
    buffer.setData(data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.isValid() && (size.width() > 600 || size.height() > 600))
        reader.setScaledSize(size.scaled(600, 600, Qt::KeepAspectRatio));
    QImage image = reader.read();
    if (image.isNull())
        return std::nullopt;
    if (image.width() > 600 || image.height() > 600)
        image = image.scaled(600, 600, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    return jpeg(image);
}

bool MCTMsgViewController::canPreviewPart(const MCOAbstractPart &part)
{
    const QString type = part.mimeType().toLower();
    const QString ext = QFileInfo(part.filename()).suffix().toLower();
    if (MCOMessageView::isPreviewableImageType(type) || MCOMessageView::isPreviewableImageExtension(ext))
        return true;
    return type == QLatin1String("image/tiff") || type == QLatin1String("image/tif") ||
           type == QLatin1String("application/pdf") || ext == QLatin1String("tiff") || ext == QLatin1String("tif") ||
           ext == QLatin1String("pdf");
}

QString MCTMsgViewController::templateForMessage(const MCOAbstractMessage &message)
{
    QString footer;
    if (m_renderBoss)
        footer = m_renderBoss->footerMiniHeaderText(message);
    // The footer is header text pasted into a template: a subject holding "{{BODY}}"
    // must stay text, not become a placeholder.
    footer.replace(QLatin1Char('{'), QLatin1String("&#123;"));
    QString page = QStringLiteral(
        "<style> blockquote { -webkit-margin-before: 0px; -webkit-margin-after: 0px; -webkit-margin-start: 0px; "
        "-webkit-margin-end: 0px;  } </style>"
        "<div style=\"padding-bottom: 20px; font-family: Helvetica; font-size: 13px;\">{{HEADER}}</div>"
        "<div>{{BODY}}___FOOTER___</div>");
    return page.replace(QLatin1String("___FOOTER___"), footer);
}

QString MCTMsgViewController::templateForImage(const MCOAbstractPart &)
{
    return QStringLiteral("<div id=\"{{CONTENTID}}\"><img src=\"{{URL}}\"/></div>");
}

QString MCTMsgViewController::templateForAttachment(const MCOAbstractPart &)
{
    return QStringLiteral("<div id=\"{{CONTENTID}}\"><div><img src=\"%1\" width=\"64px\" height=\"64px\"/></div>"
                          "{{#HASSIZE}}<div>- {{FILENAME}}, {{SIZE}}</div>{{/HASSIZE}}"
                          "{{#NOSIZE}}<div>- {{FILENAME}}</div>{{/NOSIZE}}</div>")
        .arg(attachmentIconDataUrl());
}
