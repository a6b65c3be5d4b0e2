#pragma once
// RenderTool drives one archiving job over one source: it lists the source's messages,
// hands them one at a time to its 16 render engines (each rendering through its own
// renderbox child), retries a failed message once, records messages that failed twice
// in "Errors.txt" and ends "Done". The job scheduler (or the command line) creates it
// with the job's options, starts it with renderPDFs(), polls its progress and may
// cancel() it. A job object runs once.
//
// The rules for local message files (the scan, the common base folder of the job's input
// paths, the mail folder of each file, loading) are LocalMailFiles'.

#include "RenderEngine/JobOptions.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "mailadapter/MCOIMAPSession.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class MCOIMAPMessage;
class MCOMessageParser;
class MessageLookAhead;
class QTimer;

class RenderTool : public QObject {
    Q_OBJECT
public:
    // The fewest engines a job has; more where the machine has the processors and memory.
    static constexpr int kNumRenderEngines = 16;
    static constexpr int kMaxRenderEngines = 128;

    // Builds the job (status "Waiting"), its engines in remote mode ("render_engines" of
    // them, else defaultEngineCount()) and the render timer; nothing is rendered before
    // renderPDFs().
    explicit RenderTool(const JobOptions &options, QObject *parent = nullptr);
    ~RenderTool() override;

    // How the job ended, with what it counted.
    struct Result {
        enum class Outcome { Done, Cancelled, Failed };
        Outcome outcome = Outcome::Done;
        QString reason; // why it failed; empty otherwise
        qint64 handedOut = 0;
        qint64 total = 0;
        int renderboxFailures = 0;
        int abandoned = 0;
        // IMAP: messages whose headers could not be listed, even on a second try.
        qint64 unlisted = 0;
    };

    // One header download: messages "start" through "start" + "numToFetch" of a folder.
    struct HeaderChunk {
        MCOIMAPFolder folder;
        quint32 start = 1;
        quint32 numToFetch = 0;
        quint32 folderSize = 0;
        bool retried = false;
    };
    // The chunks of a folder of `count` messages, in order: ranges of at most 5001
    // numbers, each starting where the one before ended plus one chunk length.
    static QList<HeaderChunk> headerChunksForFolder(const MCOIMAPFolder &folder, quint32 count);
    // A session for the IMAP keys of `options`, which stores the fingerprint of a newly
    // accepted server certificate with the account ("__CertSHA256").
    static MCOIMAPSession *sessionForOptions(const JobOptions &options, QObject *parent);
    // Where the session comes from for an IMAP job (tests give a session of their own);
    // by default one is built from the job's options.
    MCOIMAPSession *session() const { return m_session; }
    // Seconds between the start of an IMAP job and its folder listing.
    void setFolderListDelayMs(int ms) { m_folderListDelayMs = ms; }

    void setJobName(const QString &name) { m_jobName = name; }
    QString jobName() const { return m_jobName; }
    const JobOptions &options() const { return m_options; }

    // How the job's engines post notifications between processes ("rb_anotherPDFMade");
    // set before renderPDFs(). The default logs them.
    void setNotificationPoster(MessageToHTMLToPDF::NotificationPoster poster);

    // Starts the job: the file scan of a local-file job, then rendering.
    void renderPDFs();
    // Stops the job at once: messages not handed out are dropped, renders in progress
    // cut off with their renderboxes. Status "Cancelled".
    void cancel();

    // Progress, for display. The description may hold "%d" placeholders for
    // (numEmailsArchived, totalEmailCount, PDFs written in this run): see statusText().
    bool waiting() const { return m_isWaiting; }
    bool allFinished() const { return m_allDone; }
    bool wasCancelled() const { return m_isCanceled; }
    QString operationDescription() const { return m_operationDescription; }
    double fractionDone() const { return m_fractionDone; }
    qint64 numEmailsArchived() const { return m_numEmailsArchived; }
    qint64 totalEmailCount() const { return m_totalEmailCount; }
    bool isLocalFileJob() const;
    // Messages that failed on their retry, so far.
    int abandonedCount() const { return int(m_abandonedMessages.size()); }
    // Messages whose renderbox died on them (each left an emergency .eml copy).
    int renderboxFailureCount() const;
    // Where "Errors.txt" of this job goes.
    QString errorsFilePath() const;
    // The job's main folder: the session's user name, the base folder's name, or "PDFs".
    QString getMainFolder() const;
    const std::vector<std::unique_ptr<MessageToHTMLToPDF>> &renderEngines() const { return m_renderEngines; }

    // The engines a job gets when its options name no number: sixteen at least; more
    // when the processors and the available memory allow (see the .cpp).
    static int defaultEngineCount();
    static int engineCountFor(int processors, qint64 availableMemoryBytes);

    // `description` with its "%d" placeholders filled in order from `numbers`.
    static QString statusText(const QString &description, const QList<qint64> &numbers);
    // Appends one dated block listing `records` to the file at `path` (created with its
    // folder when missing). False when it cannot be written.
    static bool appendAbandonedMessages(const QString &path, const QList<FailureRecord> &records,
                                        const QDateTime &now);

    // The job's result; meaningful once finished() was emitted.
    const Result &result() const { return m_result; }

signals:
    // Emitted once, when the job is done, cancelled or failed.
    void finished(const RenderTool::Result &result);
    // Emitted when the job's status or counts changed (at most once a render tick).
    void progressChanged();
    // "ErrorFolderNames": the folder listing failed.
    void errorFolderNames(const QString &error, const QString &extra);

private:
    void renderTimer();
    void renderTimerEML();
    void buildFileList();
    void fileListReady(const QStringList &renderList);
    void recordFailedMessages();
    void dispatch();
    bool tryAEMLRender(MessageToHTMLToPDF &engine);
    bool checkForAllDone();
    bool anyEngineBusy() const;
    void cleanup();
    void setStatus(const QString &text) { m_operationDescription = text; }
    // IMAP steps.
    void buildSession();
    void fetchFolderNames();
    void downloadHeaders(const MCOIMAPFolder &folder);
    void downloadNextChunkofHeaders();
    void updateFoldersBeingFetched(const MCOIMAPFolder &folder);
    void renderTimerIMAP();
    bool tryARender(MessageToHTMLToPDF &engine);
    void refreshToken();
    void startOAuthTimer();
    void authFailed(const QString &token);
    bool isOAuthJob() const;
    // Ends an IMAP job that cannot go on (no folders, login refused, certificate changed).
    void failIMAP(const QString &reason);
    QString mailFolderFor(const QString &path) const;
    void finish(Result::Outcome outcome, const QString &reason = QString());
    // Hands out work at the next turn of the event loop instead of the next tick.
    void scheduleDispatch();

    JobOptions m_options;
    QString m_jobName;
    std::vector<std::unique_ptr<MessageToHTMLToPDF>> m_renderEngines;
    QTimer *m_timer = nullptr;
    MessageLookAhead *m_lookAhead = nullptr; // child of this
    // Written by the scanning thread, which may outlive the job.
    std::shared_ptr<std::atomic<qint64>> m_explodeCount = std::make_shared<std::atomic<qint64>>(0);
    Result m_result;
    bool m_dispatchScheduled = false;
    QString m_commonBasePath;
    QList<FailureRecord> m_failedMessages;
    QList<FailureRecord> m_abandonedMessages;
    QString m_operationDescription;
    double m_fractionDone = 0;
    qint64 m_numEmailsArchived = 0;
    qint64 m_totalEmailCount = 0;
    bool m_allDone = false;
    bool m_isCanceled = false;
    bool m_isWaiting = true;
    bool m_gettingFileList = false;
    bool m_fileListBuilt = false;
    int m_renderboxFailuresOfRetiredEngines = 0;

    // IMAP jobs.
    MCOIMAPSession *m_session = nullptr; // child of this
    QPointer<MCOIMAPOperation> m_imapOp;
    QTimer *m_folderListTimer = nullptr;
    int m_folderListDelayMs = 4000;
    // OAuth jobs: asks the account settings for the newest token every 60 s.
    QTimer *m_oauthTimer = nullptr;
    QString m_refusedToken; // the last token the server refused
    QMap<QString, MCOIMAPFolder> m_allFolders;
    QList<MCOIMAPFolder> m_foldersToFetch;
    QList<MCOIMAPFolder> m_foldersBeingFetched;
    QList<HeaderChunk> m_headerChunksToDownload;
    QMap<QString, QList<std::shared_ptr<MCOIMAPMessage>>> m_fetchedHeaders;
    QHash<QString, QSet<quint32>> m_listedUIDs; // chunks overlap by one number
    bool m_folderListDone = false;
    qint64 m_unlisted = 0;
    QString m_unlistedError;
};
