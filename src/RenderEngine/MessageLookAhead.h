#pragma once
// MessageLookAhead: the next messages of a local-file job, loaded and tested off the main
// thread. Reading, cleaning and parsing a message file, and finding out whether its
// outputs already exist, takes milliseconds; a re-run over an archive does nothing else,
// thousands of times. On the main thread that would freeze a window for most of every
// render tick, so a worker thread does it a small batch ahead of the job, in the job's
// order, and hands the results back to the main thread.
//
// Paths are taken from the end of the list, as the job hands them out. At most one batch
// is in flight; loaded messages that still need rendering are held at most kMaxPending
// at a time (their bytes are in memory), already archived ones cost nothing to hold.
// Deleting the object drops whatever is in flight.

#include "RenderEngine/JobOptions.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <memory>
#include <optional>

class MCOMessageParser;

class MessageLookAhead : public QObject {
    Q_OBJECT
public:
    struct Loaded {
        QString path;
        // Null when the file could not be made a message (logged) or is archived.
        std::shared_ptr<MCOMessageParser> message;
        QString mailappAttachments;
        QString mailFolder;
        // Tags the file carries outside the message (a Maildir flag).
        QStringList tags;
        // The message's outputs exist already, at the paths the formats give them.
        bool archived = false;
    };

    // `mailFolderOf` gives the mail folder of a path; it runs on the worker thread.
    MessageLookAhead(const JobOptions &options, const QString &mainFolder,
                     std::function<QString(const QString &)> mailFolderOf, QObject *parent = nullptr);
    ~MessageLookAhead() override;

    // The paths to load, handed out from the end.
    void setPaths(const QStringList &paths);
    // The next message in order, when it is loaded; nothing while it is still loading or
    // when none is left.
    std::optional<Loaded> takeNext();
    // Nothing left: no path waiting, none loading, none loaded.
    bool isEmpty() const;
    // Paths not handed out yet (waiting, loading or loaded).
    qsizetype remaining() const;
    void clear();

    // Whether `message` needs no work: its marker output (the PDF, or the .eml copy of a
    // job without PDFs) is good at the path the formats give and was made of this message
    // (or of a message of an earlier version, which recorded none).
    static bool isArchived(MCOMessageParser &message, const JobOptions &options, const QString &mainFolder,
                           const QString &mailFolder);

    static constexpr int kBatch = 64;
    static constexpr int kMaxPending = 32;

signals:
    // Loaded messages are waiting to be taken.
    void messagesReady();

private:
    void refill();
    void batchLoaded(quint64 generation, std::vector<Loaded> batch);

    JobOptions m_options;
    QString m_mainFolder;
    std::function<QString(const QString &)> m_mailFolderOf;
    QStringList m_paths;
    std::deque<Loaded> m_ready;
    qsizetype m_inFlight = 0;
    quint64 m_generation = 0;
};
