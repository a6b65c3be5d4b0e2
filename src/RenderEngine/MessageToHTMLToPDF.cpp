// The render pipeline of MessageToHTMLToPDF: one message at a time through the HTML
// engine to a PDF, with the load checks, time limits, print fallbacks and the emergency
// .eml copy.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "RenderEngine/MCOMessageView.h"
#include "RenderEngine/MCTMsgViewController.h"
#include "RenderEngine/RemoteRender.h"
#include "RenderEngine/RenderTool.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineScript>

namespace {

constexpr int kCheckIntervalMs = 800;
constexpr int kAbsoluteLimitMs = 300'000;
constexpr int kPauseAfterPrintFailureMs = 3000;
// PDF viewers refuse pages taller than 200 inches.
constexpr double kMaxPagePoints = 14400.0;
constexpr double kPointsPerPixel = 0.75;

MessageToHTMLToPDF::NotificationPoster &poster()
{
    static MessageToHTMLToPDF::NotificationPoster p = [](const QString &name, const QString &object) {
        TLog(QStringLiteral("notification %1 %2").arg(name, object));
    };
    return p;
}

QString subjectOf(const MCOMessagePtr &message)
{
    return message ? message->header().subject() : QString();
}

// Microseconds since 2001-01-01 00:00:00 UTC, the stamp of temporary print files.
qint64 referenceMicros()
{
    constexpr qint64 kReferenceOffsetSecs = 978307200;
    return (QDateTime::currentMSecsSinceEpoch() - kReferenceOffsetSecs * 1000) * 1000;
}

// The print file of `path`: beside it, so that moving it into place is an atomic rename on
// the archive's own file system, but with a short hidden name of its own; a suffix on the
// final name would push a name near the length limit over it.
QString printTemporaryPath(const QString &path)
{
    return QFileInfo(path).path() + QStringLiteral("/.tarnwick-print-%1.pdf").arg(referenceMicros());
}

QPageSize defaultPaper()
{
    return QLocale::system().measurementSystem() == QLocale::ImperialUSSystem ? QPageSize(QPageSize::Letter)
                                                                              : QPageSize(QPageSize::A4);
}

} // namespace

MessageToHTMLToPDF::~MessageToHTMLToPDF() { shutdown(); }

void MessageToHTMLToPDF::setUpLocalRendering()
{
    if (m_window)
        return;
    m_viewController = new MCTMsgViewController(this);
    m_window = new MCOMessageView();
    m_window->setAttribute(Qt::WA_DontShowOnScreen);
    m_window->resize(960, 500);
    m_window->show(); // laid out offscreen: the engine needs a sized view
    m_viewController->setMessageView(m_window);
    m_window->setDelegate(m_viewController);
    m_renderCheckTimer = new QTimer(this);
    m_renderCheckTimer->setInterval(kCheckIntervalMs);
    connect(m_renderCheckTimer, &QTimer::timeout, this, &MessageToHTMLToPDF::timerCheckForDone);
    m_absoluteCut = new QTimer(this);
    m_absoluteCut->setSingleShot(true);
    m_absoluteCut->setInterval(kAbsoluteLimitMs);
    connect(m_absoluteCut, &QTimer::timeout, this, &MessageToHTMLToPDF::gaveUpOnRenderOrPrinting);
}

void MessageToHTMLToPDF::shutdown()
{
    ++m_generation;
    if (m_remoteRenderbox)
        m_remoteRenderbox->quitRenderbox();
    if (m_absoluteCut)
        m_absoluteCut->stop();
    if (m_renderCheckTimer)
        m_renderCheckTimer->stop();
    if (m_viewController)
        m_viewController->shutdown();
    if (m_window) {
        m_window->setDelegate(nullptr);
        m_window->close();
        delete m_window;
        m_window = nullptr;
    }
}

void MessageToHTMLToPDF::setNotificationPoster(NotificationPoster p) { poster() = std::move(p); }

void MessageToHTMLToPDF::postNotification(const QString &name, const QString &object)
{
    if (poster())
        poster()(name, object);
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
    if (m_absoluteCut)
        m_absoluteCut->stop();
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
    // Messages known only by their IMAP header are fetched by the IMAP session first.
    TLog(QStringLiteral("handed non renderable message type: %1").arg(QStringLiteral("MCOIMAPMessage")));
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
        TLog(QStringLiteral("handed non renderable message type: %1").arg(QStringLiteral("MCOIMAPMessage")));
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

void MessageToHTMLToPDF::proceedToRenderMessage(const std::shared_ptr<MCOMessageParser> &message,
                                                const QString &mainFolder, const QString &mailFolder,
                                                MCOIMAPSession *session, const QString &mailappAttachments)
{
    m_mainFolder = mainFolder;
    m_mailFolder = mailFolder;
    setUpLocalRendering();
    startOnAttachmentsFolder(message, mainFolder, mailFolder, session, mailappAttachments);
    m_busyRendering = true;
    ++m_generation;
    m_checkInFlight = false;
    m_absoluteCut->start();
    m_renderCheckTimer->start();
    m_renderStartMs = QDateTime::currentMSecsSinceEpoch();
    m_reloadCount = 0;
    m_viewController->setTheMessage(message, mailFolder, session, this);
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
    auto message = RenderTool::messageWithRawData(data);
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
    auto message = RenderTool::messageWithRawData(data);
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

double MessageToHTMLToPDF::secondsSinceStartedRender() const
{
    return (QDateTime::currentMSecsSinceEpoch() - m_renderStartMs) / 1000.0;
}

void MessageToHTMLToPDF::timerCheckForDone()
{
    if (!m_window || m_checkInFlight)
        return;
    switch (loadStepAt(secondsSinceStartedRender(), m_reloadCount, m_window->stillDownloadingResources(),
                       m_window->isLoading())) {
    case LoadStep::NotYet:
        return;
    case LoadStep::Reload:
        reloadWebView();
        return;
    case LoadStep::CheckBody:
        break;
    }
    // The engine answers scripts asynchronously; the answer is dropped if the message
    // changed meanwhile. The program's own query runs in an isolated world: page
    // scripts are off.
    m_checkInFlight = true;
    const quint64 generation = m_generation;
    QPointer<MessageToHTMLToPDF> self(this);
    m_window->page()->runJavaScript(QStringLiteral("document.body ? document.body.innerHTML.length : 0"),
                                    QWebEngineScript::ApplicationWorld, [self, generation](const QVariant &length) {
                                        if (!self || self->m_generation != generation)
                                            return;
                                        self->m_checkInFlight = false;
                                        if (length.toLongLong() > 200 && self->m_renderCheckTimer->isActive()) {
                                            self->m_renderCheckTimer->stop();
                                            self->createPDFNowThatHTMLIsReady();
                                        }
                                    });
}

void MessageToHTMLToPDF::reloadWebView()
{
    ++m_reloadCount;
    if (m_window)
        m_window->refresh();
    TLog(QStringLiteral("******* Trying a reload.... %1").arg(subjectOf(m_currentMessage)));
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

void MessageToHTMLToPDF::createPDFNowThatHTMLIsReady()
{
    const MCOMessagePtr message = m_viewController ? MCOMessagePtr(m_viewController->getTheMessage()) : nullptr;
    const QString path =
        message ? destinationPath(*message, m_mainFolder, m_mailFolder, JobKey::pdfFormat, QString(), m_options) : QString();
    const double secs = secondsSinceStartedRender();
    if (secs > 25)
        TLog(QStringLiteral("createPDFNowThatHTMLIsReady - %1 - took %2 secs")
                 .arg(QFileInfo(path).fileName())
                 .arg(secs, 0, 'f', 6));
    if (message && !path.isEmpty() && !m_mailFolder.isNull())
        startPrintingWebViewToPDF(path);
    else
        doneMakingPDF_EML_Attachments();
}

void MessageToHTMLToPDF::startPrintingWebViewToPDF(const QString &path)
{
    const quint64 generation = m_generation;
    QPointer<MessageToHTMLToPDF> self(this);
    m_window->page()->runJavaScript(
        QStringLiteral("[document.documentElement.scrollWidth, document.documentElement.scrollHeight, window.innerWidth]"),
        QWebEngineScript::ApplicationWorld, [self, generation, path](const QVariant &v) {
            if (!self || self->m_generation != generation)
                return;
            const QVariantList sizes = v.toList();
            const double w = sizes.value(0).toDouble();
            const double h = sizes.value(1).toDouble();
            const double frame = sizes.value(2).toDouble() > 0 ? sizes.value(2).toDouble() : 960.0;
            self->m_documentSize = QSizeF(w, h);
            self->startRenderNSViewToPDF(path, shouldPaginate(self->m_documentSize, frame));
        });
}

void MessageToHTMLToPDF::startRenderNSViewToPDF(const QString &path, bool paginate)
{
    m_printingToPath = path;
    m_printingToPathTemp.clear();
    if (path.isEmpty()) {
        printingToPDFComplete();
        return;
    }
    if (!paginate) {
        printWithoutPageBreaks(path, [this] { printingToPDFComplete(); });
        return;
    }
    m_printingToPathTemp = printTemporaryPath(path);
    QString reason;
    const quint64 generation = m_generation;
    if (!testDestinationFilePath(m_printingToPathTemp, &reason)) {
        // "Bad unwritable path": pause, then let completion make what it still can.
        TLog(QStringLiteral("Bad unwritable path: %1").arg(reason));
        m_printingToPathTemp.clear();
        QTimer::singleShot(kPauseAfterPrintFailureMs, this, [this, generation] {
            if (m_generation == generation)
                printingToPDFComplete();
        });
        return;
    }
    const QPageLayout layout(defaultPaper(), QPageLayout::Portrait, QMarginsF(36, 36, 36, 36), QPageLayout::Point);
    QWebEnginePage *page = m_window->page();
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(page, &QWebEnginePage::pdfPrintingFinished, this,
                          [this, connection, generation](const QString &file, bool ok) {
                              QObject::disconnect(*connection);
                              if (m_generation != generation)
                                  return;
                              if (!ok)
                                  TLog(QStringLiteral("failed to print %1").arg(file));
                              printingToPDFComplete();
                          });
    page->printToPdf(m_printingToPathTemp, layout);
}

void MessageToHTMLToPDF::printWithoutPageBreaks(const QString &path, std::function<void()> then)
{
    // One page as tall as the document, written to a temporary file and moved into place.
    const double w = qMax(1.0, m_documentSize.width()) * kPointsPerPixel;
    const double h = qBound(1.0, m_documentSize.height() * kPointsPerPixel, kMaxPagePoints);
    const QPageLayout layout(QPageSize(QSizeF(w, h), QPageSize::Point, QString(), QPageSize::ExactMatch),
                             QPageLayout::Portrait, QMarginsF(0, 0, 0, 0), QPageLayout::Point);
    const QString temp = printTemporaryPath(path);
    const quint64 generation = m_generation;
    QWebEnginePage *page = m_window->page();
    auto connection = std::make_shared<QMetaObject::Connection>();
    *connection = connect(page, &QWebEnginePage::pdfPrintingFinished, this,
                          [this, connection, generation, temp, path, then](const QString &, bool ok) {
                              QObject::disconnect(*connection);
                              if (m_generation != generation)
                                  return;
                              if (ok && QFileInfo::exists(temp)) {
                                  QFile::remove(path);
                                  QFile::rename(temp, path);
                              } else {
                                  QFile::remove(temp);
                              }
                              then();
                          });
    page->printToPdf(temp, layout);
}

void MessageToHTMLToPDF::printingToPDFComplete()
{
    if (!m_printingToPathTemp.isEmpty()) {
        if (QFileInfo::exists(m_printingToPathTemp)) {
            QFile::remove(m_printingToPath);
            QFile::rename(m_printingToPathTemp, m_printingToPath);
        }
        m_printingToPathTemp.clear();
    }
    if (!pdfFilelooksOK(m_printingToPath)) {
        TLog(QStringLiteral("Created PDF without page breaks as it is a hard to manage email: %1 ").arg(m_printingToPath));
        printWithoutPageBreaks(m_printingToPath, [this] { finishAfterFallbackPrint(); });
        return;
    }
    finishAfterFallbackPrint();
}

void MessageToHTMLToPDF::finishAfterFallbackPrint()
{
    const std::shared_ptr<MCOMessageParser> message = m_viewController ? m_viewController->getTheMessage() : nullptr;
    if (!pdfFilelooksOK(m_printingToPath)) {
        if (message) {
            saveEMLData(message->originalData(), m_printingToPath);
            TLog(QStringLiteral("Created eml file as it proved impossible to render:  %1  eml").arg(m_printingToPath));
        }
        if (message && !m_mailFolder.isNull())
            setFailed(message);
        doneMakingPDF_EML_Attachments();
        return;
    }
    if (message) {
        addEmailsAsKeywords(m_printingToPath, *message);
        setCreationDate(m_printingToPath, dateFromMailCoreHeaderAndFixTheHeaderToo(message->header()));
        addAppleTags(*message, m_printingToPath);
        // After the document information is written: that rewrite replaces the file.
        storeMessageIdentity(m_printingToPath, messageIdentity(*message));
        incrementPDFCount();
    }
    writeEMLMessage(message, m_viewController ? m_viewController->session() : nullptr);
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

void MessageToHTMLToPDF::doneMakingPDF_EML_Attachments()
{
    const bool wasBusy = m_busyRendering;
    m_busyRendering = false;
    if (m_window)
        m_window->resetDownloadingStuff();
    m_attachmentsDownloading = 0;
    if (m_absoluteCut)
        m_absoluteCut->stop();
    if (m_renderCheckTimer)
        m_renderCheckTimer->stop();
    ++m_generation;
    m_checkInFlight = false;
    if (wasBusy)
        emit messageFinished();
}

void MessageToHTMLToPDF::gaveUpOnRenderOrPrinting()
{
    const double secs = secondsSinceStartedRender();
    const QString subject = subjectOf(m_currentMessage);
    doneMakingPDF_EML_Attachments();
    TLog(QStringLiteral("gaveUpOnRenderOrPrinting - %1 - at %2 seconds").arg(subject).arg(secs, 0, 'f', 6));
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
    return m_busyRendering || m_attachmentsDownloading > 0 || (m_window && m_window->stillDownloadingResources());
}

std::optional<FailureRecord> MessageToHTMLToPDF::getAndClearFailedMessage(bool *isRetry)
{
    if (isRetry)
        *isRetry = m_isRetry;
    return std::exchange(m_failedMessage, std::nullopt);
}
