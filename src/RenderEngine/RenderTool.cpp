// The job driver of RenderTool: the render tick, dispatch to the engines, failures and
// their one retry, completion, "Errors.txt", clean-up and cancel.

#include "RenderEngine/RenderTool.h"

#include "RenderEngine/MessageLookAhead.h"
#include "RenderEngine/RemoteRender.h"
#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "mailadapter/MCOMessageParser.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <QTimer>

namespace {

constexpr int kTickMs = 120;
// Handing out messages may take this long per tick; an engine whose message is already
// archived is free again at once, so one tick skips as many as fit.
constexpr qint64 kDispatchBudgetMs = 100;

QString describeRecord(const FailureRecord &record)
{
    QStringList lines;
    if (record.message) {
        const MCOMessageHeader &header = record.message->header();
        lines << QStringLiteral("Subject: %1").arg(header.subject());
        lines << QStringLiteral("From: %1").arg(header.from().nonEncodedRFC822String());
        lines << QStringLiteral("Date: %1").arg(header.date().toString(Qt::ISODate));
        lines << QStringLiteral("Message-ID: %1").arg(header.messageID());
    } else {
        lines << QStringLiteral("(no message)");
    }
    lines << QStringLiteral("Mail folder: %1").arg(record.mailFolder);
    if (!record.pathToAttachments.isEmpty())
        lines << QStringLiteral("Attachments folder: %1").arg(record.pathToAttachments);
    return lines.join(QLatin1Char('\n'));
}

} // namespace

RenderTool::RenderTool(const JobOptions &options, QObject *parent) : QObject(parent), m_options(options)
{
    setStatus(QStringLiteral("Waiting"));
    // One set of claims for the job: its engines must not give two messages one path.
    const auto claims = std::make_shared<OutputClaims>();
    const int asked = options.value(JobKey::renderEngines).toInt();
    const int engines = asked > 0 ? qMin(asked, kMaxRenderEngines) : defaultEngineCount();
    for (int i = 0; i < engines; ++i) {
        m_renderEngines.push_back(std::make_unique<MessageToHTMLToPDF>(options, true));
        m_renderEngines.back()->setOutputClaims(claims);
        // An engine whose renderbox is done takes its next message now, not a tick later.
        if (RemoteRender *handle = m_renderEngines.back()->remoteRenderbox())
            connect(handle, &RemoteRender::requestDone, this, &RenderTool::scheduleDispatch);
        // Queued: ending the job deletes the engines, and the one that reports is in the
        // middle of its download's completion.
        connect(m_renderEngines.back().get(), &MessageToHTMLToPDF::sessionCredsFailed, this, &RenderTool::authFailed,
                Qt::QueuedConnection);
        // An IMAP engine is free again when its download is in, not on a tick: hand it
        // the next message at once, or an .eml-only job would wait for the clock far
        // more than for the server.
        // One dispatch pending at most (scheduleDispatch): an archived message finishes inside
        // the dispatch that handed it out, and a tick per message would flood the event
        // loop on a re-run.
        connect(m_renderEngines.back().get(), &MessageToHTMLToPDF::messageFinished, this, &RenderTool::scheduleDispatch);
    }
    m_timer = new QTimer(this);
    m_timer->setInterval(kTickMs);
    connect(m_timer, &QTimer::timeout, this, &RenderTool::renderTimer);
    m_timer->start();
}

RenderTool::~RenderTool()
{
    if (!m_allDone)
        cleanup();
}

int RenderTool::engineCountFor(int processors, qint64 availableMemoryBytes)
{
    // A renderbox spends most of a message waiting (the page's first second, its
    // resources, printing): measured on two processors (bench/archive_bench.py --engines),
    // ten engines per processor kept them busiest; more only made them wait for each
    // other. Each renderbox with its engine processes needs about 350 MB; a quarter of
    // the available memory is left to everything else.
    constexpr int kEnginesPerProcessor = 10;
    constexpr qint64 kBytesPerEngine = 350LL * 1024 * 1024;
    const int byProcessors = qMax(1, processors) * kEnginesPerProcessor;
    const qint64 byMemory = availableMemoryBytes > 0 ? availableMemoryBytes * 3 / 4 / kBytesPerEngine : kNumRenderEngines;
    return int(qBound(qint64(kNumRenderEngines), qMin(qint64(byProcessors), byMemory), qint64(kMaxRenderEngines)));
}

int RenderTool::defaultEngineCount()
{
    qint64 available = 0;
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (meminfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : meminfo.readAll().split('\n')) {
            if (line.startsWith("MemAvailable:"))
                available = line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
        }
    }
    return engineCountFor(QThread::idealThreadCount(), available);
}

void RenderTool::scheduleDispatch()
{
    if (m_dispatchScheduled || m_allDone)
        return;
    m_dispatchScheduled = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_dispatchScheduled = false;
            renderTimer();
        },
        Qt::QueuedConnection);
}

int RenderTool::renderboxFailureCount() const
{
    int count = m_renderboxFailuresOfRetiredEngines;
    for (const auto &engine : m_renderEngines)
        count += engine->renderboxFailureCount();
    return count;
}

void RenderTool::setNotificationPoster(MessageToHTMLToPDF::NotificationPoster poster)
{
    for (const auto &engine : m_renderEngines)
        engine->setNotificationPoster(poster);
}

bool RenderTool::isLocalFileJob() const { return !m_options.value(JobKey::emlFiles).toStringList().isEmpty(); }

QString RenderTool::getMainFolder() const
{
    if (!isLocalFileJob()) {
        const QString user = m_options.value(JobKey::emailUsername).toString();
        if (!user.isEmpty())
            return user;
    }
    return LocalMailFiles::mainFolderForBasePath(m_commonBasePath);
}

QString RenderTool::errorsFilePath() const
{
    // The job's own destination, not a per-source override: where the account's
    // archive starts.
    QString root = QDir::cleanPath(m_options.value(JobKey::destFolder).toString());
    const QString sub = MessageToHTMLToPDF::destinationSubFolder(getMainFolder(), QString());
    return QDir(root).filePath(sub.isEmpty() ? QStringLiteral("Errors.txt") : sub + QStringLiteral("/Errors.txt"));
}

// --- Start, scan --------------------------------------------------------------------------

void RenderTool::renderPDFs()
{
    if (!m_isWaiting || m_allDone)
        return;
    m_isWaiting = false;
    m_fractionDone = 0.005;
    if (isLocalFileJob()) {
        setStatus(QStringLiteral("%d of %d (scanning for files)"));
        buildFileList();
    } else {
        buildSession();
        setStatus(QStringLiteral("Requesting email folder list"));
        m_folderListTimer = new QTimer(this);
        m_folderListTimer->setSingleShot(true);
        connect(m_folderListTimer, &QTimer::timeout, this, &RenderTool::fetchFolderNames);
        m_folderListTimer->start(m_folderListDelayMs);
    }
    emit progressChanged();
}

void RenderTool::buildFileList()
{
    m_gettingFileList = true;
    const QStringList files = m_options.value(JobKey::emlFiles).toStringList();
    QPointer<RenderTool> self(this);
    // The scan reads every file of the source (and splits mbox files): off the main
    // thread, with only the job's scan count read meanwhile.
    QThreadPool::globalInstance()->start([self, files, count = m_explodeCount] {
        QStringList emlxs;
        const QStringList emls = LocalMailFiles::explodeFilesAndFolders(files, &emlxs, count.get());
        const QStringList list = LocalMailFiles::renderList(emls, emlxs);
        QMetaObject::invokeMethod(
            qApp,
            [self, list] {
                if (self)
                    self->fileListReady(list);
            },
            Qt::QueuedConnection);
    });
}

void RenderTool::fileListReady(const QStringList &list)
{
    if (m_allDone)
        return;
    m_commonBasePath = LocalMailFiles::commonAncestorEMLPaths(m_options.value(JobKey::emlFiles).toStringList());
    m_lookAhead = new MessageLookAhead(
        m_options, getMainFolder(),
        [base = m_commonBasePath, jobName = m_jobName](const QString &path) {
            return LocalMailFiles::emlSubFolder(path, base, jobName);
        },
        this);
    // Loaded messages are handed out as they arrive, not a render tick later: on a re-run
    // the job would otherwise wait for the clock more than for the disk.
    connect(m_lookAhead, &MessageLookAhead::messagesReady, this, &RenderTool::renderTimer);
    m_lookAhead->setPaths(list);
    m_totalEmailCount = list.size();
    m_gettingFileList = false;
    m_fileListBuilt = true;
}

// --- The tick -------------------------------------------------------------------------

void RenderTool::renderTimer()
{
    if (m_isWaiting || m_allDone)
        return;
    if (isLocalFileJob())
        renderTimerEML();
    else
        renderTimerIMAP();
}

void RenderTool::renderTimerEML()
{
    if (m_gettingFileList) {
        const qint64 found = m_explodeCount->load(std::memory_order_relaxed);
        if (found != m_totalEmailCount) {
            m_totalEmailCount = found;
            emit progressChanged();
        }
        return;
    }
    const qint64 handedOutBefore = m_numEmailsArchived;
    if (m_totalEmailCount > 0) {
        setStatus(QStringLiteral("Archiving\u2026 %d of %d, %d new"));
        m_fractionDone = double(m_numEmailsArchived) * 0.8 / double(m_totalEmailCount) + 0.15;
    }
    recordFailedMessages();
    dispatch();
    if (!checkForAllDone() && m_numEmailsArchived != handedOutBefore)
        emit progressChanged();
}

void RenderTool::recordFailedMessages()
{
    for (const auto &engine : m_renderEngines) {
        bool isRetry = false;
        if (std::optional<FailureRecord> record = engine->getAndClearFailedMessage(&isRetry))
            (isRetry ? m_abandonedMessages : m_failedMessages).append(std::move(*record));
    }
}

void RenderTool::dispatch()
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        bool placed = false;
        for (const auto &engine : m_renderEngines) {
            if (engine->busyDoingSomething())
                continue;
            placed = (isLocalFileJob() ? tryAEMLRender(*engine) : tryARender(*engine)) || placed;
            if (clock.elapsed() >= kDispatchBudgetMs)
                return;
        }
        if (!placed)
            return;
    }
}

bool RenderTool::tryAEMLRender(MessageToHTMLToPDF &engine)
{
    const QString mainFolder = getMainFolder();
    if (m_lookAhead && !m_lookAhead->isEmpty()) {
        // Loaded and tested off this thread; when the next one is not ready yet, the
        // next tick tries again, so the order stays the job's.
        std::optional<MessageLookAhead::Loaded> next = m_lookAhead->takeNext();
        if (!next)
            return false;
        ++m_numEmailsArchived;
        // An archived message needs no engine; an unreadable or too short file was logged
        // by the loader. Both count as handed over.
        if (next->message) {
            engine.setExtraTags(next->tags);
            engine.startRender(next->message, mainFolder, next->mailFolder, nullptr, false, m_jobName,
                               next->mailappAttachments);
        }
        return true;
    }
    if (!m_failedMessages.isEmpty()) {
        const FailureRecord record = m_failedMessages.takeLast();
        engine.setExtraTags({});
        // The retry files under the same mail folder as the first try, so that the next
        // run finds its PDF where it looks for it.
        engine.startRender(record.message, mainFolder, record.mailFolder, nullptr, true, m_jobName,
                           record.pathToAttachments);
        return true;
    }
    return false;
}

bool RenderTool::anyEngineBusy() const
{
    for (const auto &engine : m_renderEngines) {
        if (engine->busyDoingSomething())
            return true;
    }
    return false;
}

// --- Completion ---------------------------------------------------------------------------

bool RenderTool::checkForAllDone()
{
    if (m_isWaiting || m_allDone)
        return false;
    // Done means every message was tried in this run: nothing left to hand out and no
    // retry waiting.
    if (isLocalFileJob()) {
        if (m_gettingFileList || !m_fileListBuilt || (m_lookAhead && !m_lookAhead->isEmpty()))
            return false;
    } else if (!m_folderListDone || !m_foldersToFetch.isEmpty() || !m_foldersBeingFetched.isEmpty() ||
               !m_fetchedHeaders.isEmpty()) {
        // Done once the listing is over, also when no folder was selected or all were
        // empty: an account without messages to archive is archived.
        return false;
    }
    if (!m_failedMessages.isEmpty())
        return false;
    setStatus(QStringLiteral("Completing final operations"));
    m_fractionDone = 0.92;
    if (anyEngineBusy())
        return false;
    // An engine that became idle just now may have a failure to hand back.
    recordFailedMessages();
    if (!m_failedMessages.isEmpty())
        return false;

    // Messages whose headers could not be listed were not tried: the run is not complete,
    // and says so rather than "Done".
    setStatus(m_unlisted > 0 ? QStringLiteral("Finished, but the headers of %1 messages could not be listed: %2")
                                   .arg(m_unlisted)
                                   .arg(m_unlistedError)
                             : QStringLiteral("Done"));
    m_fractionDone = 1.0;
    const QString mainFolder = getMainFolder();
    TLog(QStringLiteral("finished all folders for this account %1").arg(mainFolder));
    cleanup();
    if (!m_abandonedMessages.isEmpty()) {
        TLog(QStringLiteral("There were %1 abandoned messages that were tried twice without luck")
                 .arg(m_abandonedMessages.size()));
        appendAbandonedMessages(errorsFilePath(), m_abandonedMessages, QDateTime::currentDateTime());
    }
    if (m_unlisted > 0)
        finish(Result::Outcome::Failed, QStringLiteral("the headers of %1 messages could not be listed: %2")
                                            .arg(m_unlisted)
                                            .arg(m_unlistedError));
    else
        finish(Result::Outcome::Done);
    return true;
}

bool RenderTool::appendAbandonedMessages(const QString &path, const QList<FailureRecord> &records, const QDateTime &now)
{
    if (!QDir().mkpath(QFileInfo(path).path())) {
        TLog(QStringLiteral("Could not create the folder of %1").arg(path));
        return false;
    }
    QStringList dump;
    for (const FailureRecord &record : records)
        dump << describeRecord(record);
    const QString block = QStringLiteral("%1\n\n\n\n%2\n\n")
                              .arg(now.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss t")), dump.join(QStringLiteral("\n\n")));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append)) {
        TLog(QStringLiteral("Could not write %1: %2").arg(path, file.errorString()));
        return false;
    }
    const QByteArray utf8 = block.toUtf8();
    return file.write(utf8) == utf8.size();
}

void RenderTool::cleanup()
{
    m_allDone = true;
    if (m_timer)
        m_timer->stop();
    if (m_folderListTimer)
        m_folderListTimer->stop();
    if (m_oauthTimer)
        m_oauthTimer->stop();
    if (m_imapOp)
        m_imapOp->cancel();
    if (m_lookAhead)
        m_lookAhead->clear();
    for (const auto &engine : m_renderEngines) {
        engine->shutdown();
        m_renderboxFailuresOfRetiredEngines += engine->renderboxFailureCount();
    }
    m_renderEngines.clear();
}

void RenderTool::cancel()
{
    if (m_allDone)
        return;
    m_isCanceled = true;
    setStatus(QStringLiteral("Cancelled"));
    cleanup();
    finish(Result::Outcome::Cancelled);
}

void RenderTool::finish(Result::Outcome outcome, const QString &reason)
{
    m_result.outcome = outcome;
    m_result.reason = reason;
    m_result.handedOut = m_numEmailsArchived;
    m_result.total = m_totalEmailCount;
    m_result.renderboxFailures = renderboxFailureCount();
    m_result.abandoned = abandonedCount();
    m_result.unlisted = m_unlisted;
    emit progressChanged();
    emit finished(m_result);
}

QString RenderTool::statusText(const QString &description, const QList<qint64> &numbers)
{
    QString out;
    qsizetype next = 0;
    for (qsizetype i = 0; i < description.size(); ++i) {
        if (description[i] == QLatin1Char('%') && i + 1 < description.size() && description[i + 1] == QLatin1Char('d')) {
            out += QString::number(next < numbers.size() ? numbers[next] : 0);
            ++next;
            ++i;
        } else {
            out += description[i];
        }
    }
    return out;
}
