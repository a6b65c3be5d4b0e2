// MessageToHTMLToPDF: one message at a time, from its start (is it archived, which outputs
// it gets) to its end, handed to a renderbox (remote mode) or laid out in this process by
// the HTML engine side (LocalMessageToHTMLToPDF).

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "RenderEngine/RemoteRender.h"
#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOMessageParser.h"

#include <QFileInfo>

namespace {

QString subjectOf(const MCOMessagePtr &message)
{
    return message ? message->header().subject() : QString();
}

} // namespace

void MessageToHTMLToPDF::logNotification(const QString &name, const QString &object)
{
    TLog(QStringLiteral("notification %1 %2").arg(name, object));
}

void MessageToHTMLToPDF::logAlert(const QString &message, const QString &informative)
{
    TLog(QStringLiteral("Alert: %1 %2").arg(message, informative));
}


MessageToHTMLToPDF::~MessageToHTMLToPDF() { MessageToHTMLToPDF::shutdown(); }

void MessageToHTMLToPDF::shutdown()
{
    cancelIMAPOperation();
    if (m_remoteRenderbox)
        m_remoteRenderbox->quitRenderbox();
    stopLocalWork();
}

void MessageToHTMLToPDF::setNotificationPoster(NotificationPoster p)
{
    m_poster = p ? std::move(p) : NotificationPoster(logNotification);
}

void MessageToHTMLToPDF::postNotification(const QString &name, const QString &object)
{
    m_poster(name, object);
}

void MessageToHTMLToPDF::setAlertHandler(AlertHandler handler)
{
    m_alertHandler = handler ? std::move(handler) : AlertHandler(logAlert);
}

void MessageToHTMLToPDF::proceedToRenderMessage(const std::shared_ptr<MCOMessageParser> &message, const QString &,
                                                const QString &, MCOIMAPSession *, const QString &)
{
    // An engine without an HTML engine behind it (the front end's) hands messages to its
    // renderbox; one that is asked to lay out a message itself cannot.
    TLog(QStringLiteral("no HTML engine in this process to render %1").arg(subjectOf(message)));
    setFailed(message);
    doneMakingPDF_EML_Attachments();
}

void MessageToHTMLToPDF::doneMakingPDF_EML_Attachments()
{
    const bool wasBusy = m_busyRendering;
    m_busyRendering = false;
    m_attachmentsDownloading = 0;
    stopLocalWork();
    if (wasBusy)
        emit messageFinished();
}

bool MessageToHTMLToPDF::busyDoingSomething()
{
    if (m_remoteRenderboxInUse) {
        if (m_remoteRenderbox->busyWorkingOnRender()) {
            m_busyRendering = true;
        } else {
            m_remoteRenderboxInUse = false;
            m_busyRendering = false;
            // Asked once per message: this is what writes the emergency copy of a
            // message whose renderbox died on it.
            m_currentRenderFailed = m_remoteRenderbox->failed();
            m_renderboxFailureCount += m_currentRenderFailed ? 1 : 0;
        }
    }
    return m_busyRendering || m_attachmentsDownloading > 0 || localWorkPending();
}

QString MessageToHTMLToPDF::convertEntitiesOtherWay(const QString &text)
{
    QString s = text;
    s.replace(QLatin1Char('&'), QLatin1String("&amp;"));
    s.replace(QLatin1Char('"'), QLatin1String("&quot;"));
    s.replace(QLatin1Char('\''), QLatin1String("&#39;"));
    s.replace(QLatin1Char('>'), QLatin1String("&gt;"));
    s.replace(QLatin1Char('<'), QLatin1String("&lt;"));
    return s;
}

QString MessageToHTMLToPDF::footerMiniHeaderText(const MCOAbstractMessage &message) const
{
    const auto it = m_options.constFind(JobKey::tinyHeaders);
    if (it != m_options.constEnd() && it->isValid() && !it->toBool())
        return QString();
    return QStringLiteral("<p style=\"font-size:4px !important; word-wrap: break-word; \">") +
           convertEntitiesOtherWay(message.header().description()) + QStringLiteral("<br>") +
           QStringLiteral("Tarnwick-Version: %1").arg(QStringLiteral(TARNWICK_VERSION)) + QStringLiteral("</p>");
}

// --- Start of a message ----------------------------------------------------------------

void MessageToHTMLToPDF::startRender(const MCOMessagePtr &message, const QString &mainFolder,
                                     const QString &mailFolder, MCOIMAPSession *session, bool isRetry,
                                     const QString &jobName, const QString &mailappAttachments)
{
    m_isRetry = isRetry;
    m_jobName = jobName;
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    m_currentRenderFailed = false;
    m_remoteRenderboxInUse = false;
    stopLocalWork();
    if (m_busyRendering) {
        TLog(QStringLiteral("Render NOT started - this is bad. Make sure we are not busy first."));
        m_busyRendering = false;
        return;
    }
    m_failedMessage.reset();
    m_attachmentsDownloading = 0;
    m_busyRendering = true;
    m_currentMessage = message;
    if (!message) {
        TLog(QStringLiteral("handed non renderable message type: %1").arg(QStringLiteral("null")));
        m_busyRendering = false;
        return;
    }
    // Which output decides whether the message is archived: the PDF, or the .eml copy of
    // a job that makes no PDFs.
    const bool makesPdf = m_options.value(JobKey::pdfFormat).toString().size() >= 5;
    bool archived = false;
    setOutputIndex(placeMessage(*message, makesPdf ? JobKey::pdfFormat : JobKey::emlFormat, &archived));
    if (archived) {
        m_busyRendering = false;
        emit messageFinished();
        return;
    }
    const QString pdfPath = destinationPath(*message, mainFolder, mailFolder, JobKey::pdfFormat, QString(), m_options);
    if (pdfPath.isEmpty()) {
        m_busyRendering = handlePossibleEMLOnlyRender(message, session, mailappAttachments);
        if (!m_busyRendering)
            emit messageFinished();
        return;
    }
    if (pdfFilelooksOK(pdfPath)) {
        m_busyRendering = false;
        emit messageFinished();
        return;
    }
    if (auto parsed = std::dynamic_pointer_cast<MCOMessageParser>(message)) {
        proceedToRender(parsed, mainFolder, mailFolder, session, mailappAttachments);
        return;
    }
    if (auto imap = std::dynamic_pointer_cast<MCOIMAPMessage>(message); imap && session) {
        startIMAPDownload(imap, session, false, mailappAttachments);
        return;
    }
    TLog(QStringLiteral("handed non renderable message type: %1").arg(QStringLiteral("MCOIMAPMessage without a session")));
    m_busyRendering = false;
    emit messageFinished();
}

bool MessageToHTMLToPDF::handlePossibleEMLOnlyRender(const MCOMessagePtr &message, MCOIMAPSession *session,
                                                     const QString &mailappAttachments)
{
    if (m_options.value(JobKey::pdfFormat).toString().size() >= 5)
        return false;
    if (m_options.value(JobKey::emlFormat).toString().size() < 5)
        return false;
    const QString emlPath = destinationPath(*message, m_mainFolder, m_mailFolder, JobKey::emlFormat, QString(), m_options);
    if (emlFilelooksOK(emlPath))
        return false;
    auto parsed = std::dynamic_pointer_cast<MCOMessageParser>(message);
    if (!parsed) {
        if (auto imap = std::dynamic_pointer_cast<MCOIMAPMessage>(message); imap && session) {
            startIMAPDownload(imap, session, true, mailappAttachments);
            return true;
        }
        TLog(QStringLiteral("handed non renderable message type: %1").arg(QStringLiteral("MCOIMAPMessage without a session")));
        return false;
    }
    writeEMLMessage(message, session);
    startOnAttachmentsFolder(parsed, m_mainFolder, m_mailFolder, session, mailappAttachments);
    incrementPDFCount();
    return false;
}

void MessageToHTMLToPDF::proceedToRender(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                                         const QString &mailFolder, MCOIMAPSession *session,
                                         const QString &mailappAttachments)
{
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    if (m_remoteRenderbox) {
        m_remoteRenderboxInUse =
            m_remoteRenderbox->renderPDF(message->originalData(), mainFolder, mailFolder, m_options, m_jobName,
                                         mailappAttachments);
        m_busyRendering = m_remoteRenderboxInUse;
        return;
    }
    proceedToRenderMessage(message, mainFolder, mailFolder, session, mailappAttachments);
}


void MessageToHTMLToPDF::renderSingleEMLMessage(const QByteArray &data, const QString &mainFolder,
                                                const QString &mailFolder, const QString &jobName,
                                                const QString &mailappAttachments)
{
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    m_jobName = jobName;
    m_isRetry = false;
    m_failedMessage.reset();
    m_busyRendering = true;
    auto message = LocalMailFiles::messageWithRawData(data);
    m_currentMessage = message;
    const QString pdfPath = destinationPath(*message, mainFolder, mailFolder, JobKey::pdfFormat, QString(), m_options);
    if (pdfPath.isEmpty()) {
        m_busyRendering = handlePossibleEMLOnlyRender(message, nullptr, mailappAttachments);
        emit messageFinished();
        return;
    }
    if (pdfFilelooksOK(pdfPath)) {
        m_busyRendering = false;
        emit messageFinished();
        return;
    }
    proceedToRenderMessage(message, mainFolder, mailFolder, nullptr, mailappAttachments);
}

void MessageToHTMLToPDF::renderSingleEMLMessageAsEmergencyEML(const QByteArray &data, const QString &mainFolder,
                                                              const QString &mailFolder, const QString &jobName,
                                                              const JobOptions &options)
{
    Q_UNUSED(jobName);
    auto message = LocalMailFiles::messageWithRawData(data);
    const QString pdfPath = destinationPath(*message, mainFolder, mailFolder, JobKey::pdfFormat, QString(), options);
    if (!pdfPath.isEmpty() && !pdfFilelooksOK(pdfPath))
        saveEMLData(data, pdfPath);
}

// --- Load completion -------------------------------------------------------------------

MessageToHTMLToPDF::LoadStep MessageToHTMLToPDF::loadStepAt(double t, qint64 reloadCount, bool resourcesLoading,
                                                            bool engineLoading)
{
    if (t < 1)
        return LoadStep::NotYet;
    if (t < 50 && reloadCount > 0)
        return LoadStep::NotYet;
    if (t > 40 && reloadCount <= 0)
        return LoadStep::Reload;
    if (t < 80 && resourcesLoading)
        return LoadStep::NotYet;
    if (t <= 24 && engineLoading)
        return LoadStep::NotYet;
    return LoadStep::CheckBody;
}




// --- Printing --------------------------------------------------------------------------

bool MessageToHTMLToPDF::shouldPaginate(QSizeF document, double frameWidth)
{
    const double w = document.width();
    const double h = document.height();
    // A wide, short page (a newsletter laid out wider than the window) reads better as
    // one tall page than cut into strips.
    const bool onePage = w > 0 && h / w < 2.2 && w > frameWidth;
    return !onePage;
}







void MessageToHTMLToPDF::setFailed(const MCOMessagePtr &message)
{
    m_failedMessage = FailureRecord{message, m_mailFolder, QString()};
}

void MessageToHTMLToPDF::incrementPDFCount()
{
    if (!m_jobName.isEmpty())
        postNotification(QStringLiteral("rb_anotherPDFMade"), m_jobName);
}

// --- End of a message ------------------------------------------------------------------




std::optional<FailureRecord> MessageToHTMLToPDF::getAndClearFailedMessage(bool *isRetry)
{
    if (isRetry)
        *isRetry = m_isRetry;
    return std::exchange(m_failedMessage, std::nullopt);
}
