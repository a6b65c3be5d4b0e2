#include "SearchIndex/ArchiveIndexer.h"

#include "Utils/Log.h"

ArchiveIndexer::ArchiveIndexer(QString indexPath, QObject *parent)
    : QObject(parent), m_indexPath(std::move(indexPath))
{
    qRegisterMetaType<ArchiveIndex::UpdateStats>("ArchiveIndex::UpdateStats");
    m_worker = new ArchiveIndexerWorker(m_indexPath, m_cancel);
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    connect(m_worker, &ArchiveIndexerWorker::progressChanged, this, &ArchiveIndexer::progressChanged);
    connect(m_worker, &ArchiveIndexerWorker::finished, this, &ArchiveIndexer::workerFinished);
    m_thread.setObjectName(QStringLiteral("ArchiveIndexer"));
    m_thread.start(QThread::LowPriority);
}

ArchiveIndexer::~ArchiveIndexer()
{
    *m_cancel = true;
    m_thread.quit();
    m_thread.wait();
}

void ArchiveIndexer::requestUpdate(const QStringList &roots)
{
    if (m_running) {
        m_pending = true;
        m_pendingRoots = roots;
        return;
    }
    start(roots);
}

void ArchiveIndexer::start(const QStringList &roots)
{
    m_running = true;
    QMetaObject::invokeMethod(m_worker, [worker = m_worker, roots] { worker->run(roots); }, Qt::QueuedConnection);
}

void ArchiveIndexer::workerFinished(const ArchiveIndex::UpdateStats &stats)
{
    m_running = false;
    if (!stats.error.isEmpty())
        TLog(QStringLiteral("The search index could not be brought up to date: %1").arg(stats.error));
    emit updated(stats);
    if (m_pending) {
        m_pending = false;
        start(m_pendingRoots);
    }
}

ArchiveIndexerWorker::ArchiveIndexerWorker(QString indexPath, std::shared_ptr<std::atomic_bool> cancel)
    : m_indexPath(std::move(indexPath)), m_cancel(std::move(cancel))
{
}

void ArchiveIndexerWorker::run(const QStringList &roots)
{
    // One connection per update: a damaged index found by a query is made again here.
    ArchiveIndex index(m_indexPath);
    const ArchiveIndex::UpdateStats stats = index.update(roots, [this](const ArchiveIndex::Progress &p) {
        emit progressChanged(p.indexed, p.toIndex);
        return !*m_cancel;
    });
    emit finished(stats);
}
