#pragma once
// ArchiveIndexer: brings the index up to date off the main thread, for the desktop.
// Requests while an update runs are remembered and served by one more update after it,
// with the newest roots. Progress and the end are signalled on the owner's thread.
//
// The update runs on a worker object moved to a thread of its own; destroying the
// indexer cancels a running update between two files and waits for the thread.

#include "SearchIndex/ArchiveIndex.h"

#include <QObject>
#include <QStringList>
#include <QThread>

#include <atomic>

class ArchiveIndexerWorker;

class ArchiveIndexer : public QObject {
    Q_OBJECT
public:
    explicit ArchiveIndexer(QString indexPath = ArchiveIndex::defaultPath(), QObject *parent = nullptr);
    ~ArchiveIndexer() override;

    /// Brings the index up to date with `roots` (files outside them are dropped).
    void requestUpdate(const QStringList &roots);
    bool isRunning() const { return m_running; }
    const QString &indexPath() const { return m_indexPath; }

signals:
    /// "Indexing: n of m" while new files are read.
    void progressChanged(qint64 indexed, qint64 toIndex);
    /// An update ended.
    void updated(const ArchiveIndex::UpdateStats &stats);

private:
    void start(const QStringList &roots);
    void workerFinished(const ArchiveIndex::UpdateStats &stats);

    QString m_indexPath;
    QThread m_thread;
    ArchiveIndexerWorker *m_worker = nullptr;
    std::shared_ptr<std::atomic_bool> m_cancel = std::make_shared<std::atomic_bool>(false);
    bool m_running = false;
    bool m_pending = false;
    QStringList m_pendingRoots;
};

/// The object that lives on the indexer's thread.
class ArchiveIndexerWorker : public QObject {
    Q_OBJECT
public:
    ArchiveIndexerWorker(QString indexPath, std::shared_ptr<std::atomic_bool> cancel);
    void run(const QStringList &roots);
signals:
    void progressChanged(qint64 indexed, qint64 toIndex);
    void finished(const ArchiveIndex::UpdateStats &stats);

private:
    QString m_indexPath;
    std::shared_ptr<std::atomic_bool> m_cancel;
};
