// The HTML engine side of the renderer: a message laid out in an offscreen Qt WebEngine
// view, the load checks and time limits, printing to PDF with its fallbacks, and the
// outputs that follow a good PDF.

#include "RenderEngine/HTMLEngine/LocalMessageToHTMLToPDF.h"

#include "RenderEngine/HTMLEngine/MCOMessageView.h"
#include "RenderEngine/HTMLEngine/MCTMsgViewController.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"

#include <QBuffer>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPointer>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineScript>

#include <unistd.h>

namespace {

constexpr int kCheckIntervalMs = 800;
// Nothing prints before a page has had this long, however soon it settles.
constexpr qint64 kMinimumRenderMs = 1000;
constexpr int kAbsoluteLimitMs = 300'000;
constexpr int kPauseAfterPrintFailureMs = 3000;
// PDF viewers refuse pages taller than 200 inches.
constexpr double kMaxPagePoints = 14400.0;
constexpr double kPointsPerPixel = 0.75;
// A print file older than this belongs to no render still running (each has 300 s).
constexpr qint64 kStalePrintFileSecs = 3600;
const QString kPrintFilePrefix = QStringLiteral(".tarnwick-print-");

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
    return QFileInfo(path).path() + QLatin1Char('/') + kPrintFilePrefix + QString::number(referenceMicros()) +
           QStringLiteral(".pdf");
}

// A renderbox killed while printing leaves its print file behind: whoever prints into the
// same folder later removes those that are surely abandoned.
void sweepStalePrintFiles(const QString &folder)
{
    const QDateTime before = QDateTime::currentDateTime().addSecs(-kStalePrintFileSecs);
    QDirIterator it(folder, {kPrintFilePrefix + QLatin1Char('*')}, QDir::Files | QDir::Hidden);
    while (it.hasNext()) {
        const QFileInfo file(it.next());
        if (file.lastModified() < before && QFile::remove(file.filePath()))
            TLog(QStringLiteral("removed an abandoned print file %1").arg(file.filePath()));
    }
}

QPageSize defaultPaper()
{
    return QLocale::system().measurementSystem() == QLocale::ImperialUSSystem ? QPageSize(QPageSize::Letter)
                                                                              : QPageSize(QPageSize::A4);
}

} // namespace

void LocalMessageToHTMLToPDF::prepareProcess()
{
    // No display is needed, or wanted: the page is laid out offscreen.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // The engine's sandbox cannot start as root (containers, CI); page scripts are off
    // and every request is filtered, which is what remains between a message and us.
    if (::geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    // Every message is loaded at an address of its own, which the engine would otherwise
    // answer with a fresh renderer process each time: one renderer, reused, halves the
    // CPU time of a render.
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS",
            qgetenv("QTWEBENGINE_CHROMIUM_FLAGS") +
                " --disable-gpu --disable-background-networking --disable-sync --renderer-process-limit=1"
                " --disable-gpu-shader-disk-cache");
    MCOMessageView::registerSchemes();
}

LocalMessageToHTMLToPDF::LocalMessageToHTMLToPDF(const JobOptions &options, QObject *parent)
    : MessageToHTMLToPDF(options, false, parent)
{
}

LocalMessageToHTMLToPDF::~LocalMessageToHTMLToPDF() { LocalMessageToHTMLToPDF::shutdown(); }

void LocalMessageToHTMLToPDF::shutdown()
{
    MessageToHTMLToPDF::shutdown();
    if (m_viewController)
        m_viewController->shutdown();
    if (m_window) {
        m_window->setDelegate(nullptr);
        m_window->close();
        delete m_window;
        m_window = nullptr;
    }
}

void LocalMessageToHTMLToPDF::stopLocalWork()
{
    ++m_generation;
    m_checkInFlight = false;
    if (m_window)
        m_window->resetDownloadingStuff();
    if (m_absoluteCut)
        m_absoluteCut->stop();
    if (m_renderCheckTimer)
        m_renderCheckTimer->stop();
    // A print cut short (time limit, shutdown) leaves no file among the user's.
    if (!m_printingToPathTemp.isEmpty()) {
        QFile::remove(m_printingToPathTemp);
        m_printingToPathTemp.clear();
    }
}

bool LocalMessageToHTMLToPDF::localWorkPending() const { return m_window && m_window->stillDownloadingResources(); }

std::optional<QByteArray> LocalMessageToHTMLToPDF::imageDataOfFile(const QString &path) { return getImageData(path); }

void LocalMessageToHTMLToPDF::setUpLocalRendering()
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
    connect(m_renderCheckTimer, &QTimer::timeout, this, &LocalMessageToHTMLToPDF::timerCheckForDone);
    m_absoluteCut = new QTimer(this);
    m_absoluteCut->setSingleShot(true);
    m_absoluteCut->setInterval(kAbsoluteLimitMs);
    connect(m_absoluteCut, &QTimer::timeout, this, &LocalMessageToHTMLToPDF::gaveUpOnRenderOrPrinting);
    // A page that settles is checked at once (or when its first second is over) rather
    // than at the next tick of the periodic check; the rules of the check are the same.
    connect(m_window, &MCOMessageView::settled, this, &LocalMessageToHTMLToPDF::checkWhenSettled);
}

void LocalMessageToHTMLToPDF::checkWhenSettled()
{
    if (!m_renderCheckTimer || !m_renderCheckTimer->isActive())
        return;
    const qint64 wait = qMax<qint64>(0, kMinimumRenderMs - (QDateTime::currentMSecsSinceEpoch() - m_renderStartMs));
    const quint64 generation = m_generation;
    QTimer::singleShot(wait, this, [this, generation] {
        if (m_generation == generation && m_renderCheckTimer->isActive())
            timerCheckForDone();
    });
}

void LocalMessageToHTMLToPDF::proceedToRenderMessage(const std::shared_ptr<MCOMessageParser> &message,
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

double LocalMessageToHTMLToPDF::secondsSinceStartedRender() const
{
    return (QDateTime::currentMSecsSinceEpoch() - m_renderStartMs) / 1000.0;
}

void LocalMessageToHTMLToPDF::timerCheckForDone()
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
    QPointer<LocalMessageToHTMLToPDF> self(this);
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

void LocalMessageToHTMLToPDF::reloadWebView()
{
    ++m_reloadCount;
    if (m_window)
        m_window->refresh();
    TLog(QStringLiteral("******* Trying a reload.... %1").arg(subjectOf(m_currentMessage)));
}

void LocalMessageToHTMLToPDF::createPDFNowThatHTMLIsReady()
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

void LocalMessageToHTMLToPDF::startPrintingWebViewToPDF(const QString &path)
{
    const quint64 generation = m_generation;
    QPointer<LocalMessageToHTMLToPDF> self(this);
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

void LocalMessageToHTMLToPDF::startRenderNSViewToPDF(const QString &path, bool paginate)
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
    sweepStalePrintFiles(QFileInfo(path).path());
    QString reason;
    const quint64 generation = m_generation;
    if (!testDestinationFilePath(m_printingToPathTemp, &reason, alertHandler())) {
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
                              if (m_generation != generation) {
                                  QFile::remove(file); // the render was given up meanwhile
                                  return;
                              }
                              if (!ok)
                                  TLog(QStringLiteral("failed to print %1").arg(file));
                              printingToPDFComplete();
                          });
    page->printToPdf(m_printingToPathTemp, layout);
}

void LocalMessageToHTMLToPDF::printWithoutPageBreaks(const QString &path, std::function<void()> then)
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
                              if (m_generation != generation) {
                                  QFile::remove(temp); // the render was given up meanwhile
                                  return;
                              }
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

void LocalMessageToHTMLToPDF::printingToPDFComplete()
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

void LocalMessageToHTMLToPDF::finishAfterFallbackPrint()
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
        addAppleTags(*message, m_printingToPath, extraTags());
        // After the document information is written: that rewrite replaces the file.
        storeMessageIdentity(m_printingToPath, messageIdentity(*message));
        incrementPDFCount();
    }
    writeEMLMessage(message, m_viewController ? m_viewController->session() : nullptr);
}

void LocalMessageToHTMLToPDF::gaveUpOnRenderOrPrinting()
{
    const double secs = secondsSinceStartedRender();
    const QString subject = subjectOf(m_currentMessage);
    doneMakingPDF_EML_Attachments();
    TLog(QStringLiteral("gaveUpOnRenderOrPrinting - %1 - at %2 seconds").arg(subject).arg(secs, 0, 'f', 6));
}

std::optional<QByteArray> LocalMessageToHTMLToPDF::getImageData(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    const QByteArray bytes = file.read(64 * 1024 * 1024);
    const auto jpeg = MCTMsgViewController::getImageDataViaQuickLook(bytes);
    if (!jpeg || jpeg->size() < 100)
        return std::nullopt;
    QImage image;
    if (!image.loadFromData(*jpeg))
        return std::nullopt;
    // Within 400 x 600, as PNG.
    if (image.width() > 400 || image.height() > 600)
        image = image.scaled(400, 600, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) {
        TLog(QStringLiteral("Failed to write Image"));
        return std::nullopt;
    }
    return png;
}
