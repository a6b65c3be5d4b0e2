#pragma once
// RenderTool drives one archiving job over one source: it lists the source's messages,
// hands them one at a time to its 16 render engines (each rendering through its own
// renderbox child), retries a failed message once, records messages that failed twice
// in "Errors.txt" and ends "Done". The job scheduler (or the command line) creates it
// with the job's options, starts it with renderPDFs(), polls its progress and may
// cancel() it. A job object runs once.
//
// The static part holds the rules for local message files: the scan, the common base
// folder of the job's input paths and the mail-folder name of each file below it.

#include "RenderEngine/JobOptions.h"
#include "RenderEngine/MessageToHTMLToPDF.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

class MCOIMAPSession;
class MCOMessageParser;
class QTimer;

// Running number of message files found by the scan in progress; written by the
// scanning thread, read by the progress display of the main thread.
extern std::atomic<qint64> gExplodeCount;

class RenderTool : public QObject {
    Q_OBJECT
public:
    static constexpr int kNumRenderEngines = 16;

    // Builds the job (status "Waiting"), its 16 engines in remote mode and the render
    // timer; nothing is rendered before renderPDFs().
    explicit RenderTool(const JobOptions &options, QObject *parent = nullptr);
    ~RenderTool() override;

    void setJobName(const QString &name) { m_jobName = name; }
    QString jobName() const { return m_jobName; }
    const JobOptions &options() const { return m_options; }

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

    // `description` with its "%d" placeholders filled in order from `numbers`.
    static QString statusText(const QString &description, const QList<qint64> &numbers);
    // Appends one dated block listing `records` to the file at `path` (created with its
    // folder when missing). False when it cannot be written.
    static bool appendAbandonedMessages(const QString &path, const QList<FailureRecord> &records,
                                        const QDateTime &now);

signals:
    // Emitted once, when the job is done or cancelled.
    void finished();

public:

    // The deepest folder common to all input paths (files count by their folder);
    // "" for no paths, "/" when they share nothing.
    static QString commonAncestorEMLPaths(const QStringList &paths);
    // The mail folder under which the outputs of the message file at `path` are filed:
    // the folders between the job's base folder (its own name included) and the file,
    // less the storage folders of the Mail application. A file lying directly in the
    // base gets the job name's last component when the job name is a path, else "EML".
    static QString emlSubFolder(const QString &path, const QString &commonBasePath, const QString &jobName);
    // False for the Mail application's storage folder names: 36 characters (a UUID),
    // one character, "Data", "Messages", "Attachments".
    static bool keepFolderDueToName(const QString &name);
    // --- Scan ----------------------------------------------------------------------

    // Every message file below the input paths: `.eml` files and mbox pieces in the
    // returned list, `.emlx` files appended to `emlxs`, in the order found. Runs on a
    // worker thread; updates gExplodeCount.
    static QStringList explodeFilesAndFolders(const QStringList &paths, QStringList *emlxs);
    static void explode(const QString &path, QStringList &emls, QStringList &emlxs);
    static void explodeFolder(const QString &folder, QStringList &emls, QStringList &emlxs);
    // Cuts an mbox file into pieces in its private piece folder.
    static void explodeMBox(const QString &path, QStringList &emls);
    static QByteArray cleanUpLineEndings(const QByteArray &data);
    // The files to render: the eml list, the emlx list, or both (see the .cpp).
    static QStringList renderList(const QStringList &emls, const QStringList &emlxs);
    // The private folder (mode 0700) below the system temporary directory that holds
    // mbox pieces and other temporary files of this user.
    static QString temporaryDirectory();
    // The folder that receives the pieces of the mbox file at `mboxPath`.
    static QString mboxPieceFolder(const QString &mboxPath);

    // --- Header repair ---------------------------------------------------------------

    // Makes broken header lines parseable (see the .cpp); nothing when the bytes are
    // too short to be a message worth repairing.
    static std::optional<QByteArray> fixHeaderLinesInData(const QByteArray &data);
    static std::optional<QByteArray> tryCatchFixHeaderLinesInData(const QByteArray &data);

    // --- Loading ---------------------------------------------------------------------

    // Reads, converts (.emlx), cleans and parses one message file; when its date stays
    // implausible, parses the header-repaired bytes instead. `mailappAttachments` gets
    // the Mail application's attachments folder of an .emlx message, or a null string.
    // Null for a file of 64 bytes or fewer.
    static std::shared_ptr<MCOMessageParser> makeMCOMessage(const QString &path, QString *mailappAttachments);
    // The message of raw bytes as received: cleaned, parsed, its date repaired from its
    // header lines where it is implausible; the raw bytes kept as its original data. The
    // job and its renderboxes both load a message this way, so both name it alike.
    static std::shared_ptr<MCOMessageParser> messageWithRawData(const QByteArray &raw);

    // The first folder level of a local job's outputs: the base folder's name, or "PDFs".
    static QString mainFolderForBasePath(const QString &commonBasePath);

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

    JobOptions m_options;
    QString m_jobName;
    std::vector<std::unique_ptr<MessageToHTMLToPDF>> m_renderEngines;
    QTimer *m_timer = nullptr;
    QStringList m_emlToRender;
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
};
