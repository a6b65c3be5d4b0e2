#pragma once
// MessageToHTMLToPDF: the renderer of one message at a time, and the class-level rules
// that name, date and place every output of a message (PDF, .eml copy, attachments).
//
// This header stays free of HTML-engine types: the destination and date operations are
// used by the command line, the job driver and the tests without an HTML engine.

#include "CustomPaths/MessageDates.h"
#include "RenderEngine/JobOptions.h"
#include "mailadapter/MCOAbstractMessage.h"

#include <QDateTime>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSizeF>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

class MCOIMAPSession;
class MCOIMAPOperation;
class MCOIMAPMessage;
class MCOAbstractPart;
class MCOMessageParser;
class RemoteRender;

// A message whose render failed, handed back to the job driver for one retry.
struct FailureRecord {
    MCOMessagePtr message;
    QString mailFolder;
    QString pathToAttachments;
};

// Output paths promised to messages whose outputs are still being made, with the identity
// of each message (see MessageToHTMLToPDF::messageIdentity). Shared by the engines of one
// job, on the job's thread, so that two different messages never get the same path while
// neither output exists yet.
using OutputClaims = QHash<QString, QString>;

class MessageToHTMLToPDF : public QObject {
    Q_OBJECT
public:
    // Remote mode (`remoteRender`): every message is handed to a renderbox child process
    // through a RemoteRender handle, and the renderer only tracks whether it is busy.
    // Local mode is the HTML engine side's (LocalMessageToHTMLToPDF); this class alone
    // makes only the outputs that need no layout (.eml copies, attachments).
    explicit MessageToHTMLToPDF(const JobOptions &options, bool remoteRender = false, QObject *parent = nullptr);
    ~MessageToHTMLToPDF() override;

    // Cancels what is in flight and quits the renderbox (remote mode).
    virtual void shutdown();
    bool isRemote() const { return m_remoteRenderbox != nullptr; }
    RemoteRender *remoteRenderbox() const { return m_remoteRenderbox.get(); }
    // Remote mode: whether the renderbox died during the last handed-over message.
    bool currentRenderFailed() const { return m_currentRenderFailed; }
    // Remote mode: messages whose renderbox died on them, since the renderer was made.
    int renderboxFailureCount() const { return m_renderboxFailureCount; }

    // --- Rendering -------------------------------------------------------------------

    // Starts the work for one message; returns at once. Poll busyDoingSomething().
    void startRender(const MCOMessagePtr &message, const QString &mainFolder, const QString &mailFolder,
                     MCOIMAPSession *session, bool isRetry, const QString &jobName, const QString &mailappAttachments);
    // The renderbox entry: raw bytes of one message.
    void renderSingleEMLMessage(const QByteArray &data, const QString &mainFolder, const QString &mailFolder,
                                const QString &jobName, const QString &mailappAttachments);
    // Writes the emergency .eml copy of a message beside its PDF path unless a good PDF
    // exists; for a renderbox that died on the message.
    static void renderSingleEMLMessageAsEmergencyEML(const QByteArray &data, const QString &mainFolder,
                                                     const QString &mailFolder, const QString &jobName,
                                                     const JobOptions &options);
    bool busyDoingSomething();
    // The failure of the last render, once; `isRetry` tells whether it was a retry.
    std::optional<FailureRecord> getAndClearFailedMessage(bool *isRetry);

    // Copies the files of a Mail attachments folder to the attachment destinations;
    // their destination paths (also of files already there).
    QStringList copyAttachmentsFromMailAppPath(const MCOAbstractMessage &message, const QString &mainFolder,
                                               const QString &mailFolder, const QString &mailappAttachments);
    // The extraction-engine route for messages with nameless parts.
    bool usedRipMimeToGetAllAttachments(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                                        const QString &mailFolder);
    bool ripMimeEML(const std::shared_ptr<MCOMessageParser> &message, const QString &folder);
    // Writes one part under its name (with the duplicate suffix); false: nothing is left
    // running (parsed parts are written at once).
    bool downloadAttachment(const MCOAbstractPartPtr &part, MCOIMAPSession *session, const MCOAbstractMessage &message,
                            const QString &mainFolder, const QString &mailFolder, const QString &dupWarn);
    static QByteArray stripNullsFrom(const QByteArray &data);

    // The 4-pixel copy of the header at the end of the page ("" when "tiny_headers" is off).
    QString footerMiniHeaderText(const MCOAbstractMessage &message) const;
    static QString convertEntitiesOtherWay(const QString &text);

    // What the load check does at `t` seconds after the start of a render.
    enum class LoadStep { NotYet, Reload, CheckBody };
    static LoadStep loadStepAt(double t, qint64 reloadCount, bool resourcesLoading, bool engineLoading);
    // Whether a laid-out document is printed in pages (see the .cpp).
    static bool shouldPaginate(QSizeF document, double frameWidth);

    // How this engine posts notifications between processes ("rb_anotherPDFMade"); the
    // job or the renderbox installs its bus. The default logs them.
    using NotificationPoster = std::function<void(const QString &name, const QString &object)>;
    void setNotificationPoster(NotificationPoster poster);
    void postNotification(const QString &name, const QString &object);
    // How this engine shows modal alerts: the desktop installs a dialog; the default logs.
    using AlertHandler = std::function<void(const QString &message, const QString &informative)>;
    void setAlertHandler(AlertHandler handler);
    // The folder, private to this process and its user, for the engine's temporary files
    // (the extraction engine's input): never among the user's files.
    void setPrivateFolder(const QString &folder) { m_privateFolder = folder; }

    // --- Attachments -----------------------------------------------------------------

    // Saves the message's attachments before its page loads: the Mail application's
    // attachments folder copied as it is, or else the inline parts and then every other
    // part (through the extraction engine when a part has no name). Never replaces a file.
    bool startOnAttachmentsFolder(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                                  const QString &mailFolder, MCOIMAPSession *session, const QString &mailappAttachments);

    const JobOptions &options() const { return m_options; }
    QString mainFolder() const { return m_mainFolder; }
    QString mailFolder() const { return m_mailFolder; }
    void setMainFolder(const QString &f) { m_mainFolder = f; }
    void setMailFolder(const QString &f) { m_mailFolder = f; }
    bool busyRendering() const { return m_busyRendering; }

    // --- Destinations ---------------------------------------------------------------

    // Full path of one output of `message`: the format named by `optionsFormat`
    // ("pdf_format", "eml_format" or "attachment_format") expanded for the message,
    // placed below the job's destination root. Empty when the format is shorter than five
    // characters (that output is not made). Creates the parent folders; a failure to
    // create them is left to the write that follows. The result never leaves the root,
    // is in Unicode NFC, and no component is longer than CustomPath allows.
    // An output index n >= 2 in `options` adds " (n)" to the subject, or before the
    // extension of the file name when the format has no subject.
    enum class FolderCreation { Yes, No };
    static QString destinationPath(MCOAbstractMessage &message, const QString &mainFolder,
                                   const QString &mailFolder, const QString &optionsFormat,
                                   const QString &fileName, const JobOptions &options,
                                   FolderCreation creation = FolderCreation::Yes);
    // root + the job's sub-folder, created. An empty root means the emergency root.
    static QString destinationFolder(const QString &root, const QString &mainFolder,
                                     const QString &mailFolder);
    // mainFolder/mailFolder cleaned for use as folder levels ("" when both are empty).
    static QString destinationSubFolder(const QString &mainFolder, const QString &mailFolder);
    static bool useWindowsFileNames(const JobOptions &options);
    // The Windows-hostile characters of a relative path replaced or removed.
    static QString windowsFriendlyPath(const QString &relativePath);
    // "Anna Maria Schmidt" -> "Schmidt"; one piece or four and more stay as they are.
    static QString stripFirstName(const QString &displayName);

    // The attachment name of a part: the last component of its file name, or
    // "noname <size>" for a part without one.
    static QString justFileName(const MCOAbstractPart &part);
    // `name` with the duplicate counter n (n >= 2) before its extension: "report 2.pdf".
    static QString duplicateSuffixedName(const QString &name, const QString &suffix);
    // The names under which a message's parts are saved: inline parts first, as they
    // are, then the attachments with duplicate suffixes.
    static QStringList attachmentFileNames(const MCOAbstractMessage &message);

    // --- Dates ----------------------------------------------------------------------

    // The message date rules (see MessageDates), under the renderer's names.
    static bool dateOKForEmail(const QDateTime &date, const QDateTime &now = QDateTime())
    {
        return MessageDates::dateOKForEmail(date, now);
    }
    static QDateTime dateFromMailCoreHeaderAndFixTheHeaderToo(MCOMessageHeader &header)
    {
        return MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(header);
    }
    static QString extractDateFromRecievedHeader(const MCOMessageHeader &header)
    {
        return MessageDates::extractDateFromRecievedHeader(header);
    }
    static void time(const QDateTime &date, int *year, int *month, int *day, int *hour, int *minute, int *second)
    {
        MessageDates::time(date, year, month, day, hour, minute, second);
    }

    // --- Files ----------------------------------------------------------------------

    // The emergency .eml copy: `path` with its extension replaced by "eml", written
    // atomically unless a file already exists there. False when nothing was written.
    static bool saveEMLData(const QByteArray &data, const QString &path);
    // Probes that a file can be written at `path` (a one-byte file written and removed).
    // On failure returns false with `failureReason` "PDF path <path>, <error>"; this is
    // the "Bad unwritable path" condition that the print step handles. The fifth failure
    // of the process raises the alert through `alert` (logged when none is given).
    static bool testDestinationFilePath(const QString &path, QString *failureReason = nullptr,
                                        const AlertHandler &alert = {});
    static bool pdfFilelooksOK(const QString &path);
    // Writes `data` to `path` through a temporary file renamed into place.
    static bool writeFileAtomically(const QString &path, const QByteArray &data, QString *error);
    static bool emlFilelooksOK(const QString &path);

    // --- Telling messages apart -----------------------------------------------------

    // What tells one message from another whose outputs expand to the same paths: its
    // Message-ID, else "sha256:" and the hex digest of its bytes as received. Empty for
    // a message known only by an IMAP header without a Message-ID.
    static QString messageIdentity(const MCOAbstractMessage &message);
    // The identity recorded with an output file: its "user.tarnwick.message-id" extended
    // attribute, else (for a PDF copied without its attributes) the entry in its document
    // information. Empty when the file carries none (archives of earlier versions).
    static QString storedMessageIdentity(const QString &path);
    // Records `identity` with the output file (extended attribute; PDFs also carry it in
    // their document information, written with the keywords). False when the file system
    // takes no extended attributes.
    static bool storeMessageIdentity(const QString &path, const QString &identity);
    // Chooses the output index of `message` (see JobKey::outputIndex) for the marker
    // output named by `formatKey` ("pdf_format", or "eml_format" for .eml-only jobs):
    // the first index whose path holds no good output and is not claimed, or whose output
    // or claim is this message's. `archived` tells whether that output already exists or
    // is being made for the same message. The chosen free path is claimed. Undersized
    // outputs found on the way are removed unless `removeUndersized` is false.
    int placeMessage(MCOAbstractMessage &message, const QString &formatKey, bool *archived,
                     bool removeUndersized = true);
    // The output index of the next outputs of this engine.
    void setOutputIndex(int index);
    // Lets the engines of one job share their claims; each engine has its own otherwise.
    void setOutputClaims(std::shared_ptr<OutputClaims> claims) { m_claims = std::move(claims); }

    // --- Tags and PDF document information -------------------------------------------

    // Sets the file's user tags from the message's "X-Keywords", "X-Mailtags" and
    // "X-Mozilla-Keys" headers and `extraTags`; nothing when there are none.
    static void addAppleTags(const MCOAbstractMessage &message, const QString &path,
                             const QStringList &extraTags = {});
    // Tags the current message's file carries outside the message (a Maildir flag), for
    // its outputs; per message, like the output index.
    void setExtraTags(const QStringList &tags);
    QStringList extraTags() const { return m_options.value(JobKey::extraTags).toStringList(); }
    // Rewrites the PDF's document information for `message`: addresses as keywords,
    // sender as author, subject as title and subject, creator, creation date.
    static void addEmailsAsKeywords(const QString &pdfPath, const MCOAbstractMessage &message);
    // Distinct e-mail addresses of the message (From, To, Cc, Bcc).
    static QStringList emailAddressesForMessage(const MCOAbstractMessage &message);

    // Number of failed writability probes in this process (never reset).
    static int unwritablePathCount();

    // Stamps `date` on the file as its creation time. Linux file systems have no settable
    // creation time, so the modification time carries it. No date: nothing happens.
    void setCreationDate(const QString &path, const QDateTime &date);
    // Writes the regular .eml copy when "eml_format" asks for one (replacing an existing
    // file), then ends the message's work.
    void writeEMLMessage(const MCOMessagePtr &message, MCOIMAPSession *session);
    // End of the current message's work.
    void doneMakingPDF_EML_Attachments();

signals:
    // Emitted when a message's work ends (for command-line drivers that wait on it).
    void messageFinished();
    // "sessionCredsFailed": the server refused a download for its credentials; `token`
    // is the OAuth2 access token that was in use (empty for password accounts).
    void sessionCredsFailed(const QString &token);

protected:
    // The HTML engine side's part (LocalMessageToHTMLToPDF): lays the message out and
    // prints it. Here, where there is no HTML engine, the message fails.
    virtual void proceedToRenderMessage(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                                        const QString &mailFolder, MCOIMAPSession *session,
                                        const QString &mailappAttachments);
    // Stops the timers and callbacks of the message in local work, if any.
    virtual void stopLocalWork() {}
    // Whether local work (page resources) is still going on.
    virtual bool localWorkPending() const { return false; }
    // A thumbnail of a file for an inline image that lost its bytes; none without an
    // image library.
    virtual std::optional<QByteArray> imageDataOfFile(const QString &) { return std::nullopt; }

    void setFailed(const MCOMessagePtr &message);
    void incrementPDFCount();
    const AlertHandler &alertHandler() const { return m_alertHandler; }

    JobOptions m_options;
    QString m_mainFolder;
    QString m_mailFolder;
    QString m_jobName;
    bool m_busyRendering = false;
    MCOMessagePtr m_currentMessage;

private:
    static void logNotification(const QString &name, const QString &object);
    static void logAlert(const QString &message, const QString &informative);
    bool handlePossibleEMLOnlyRender(const MCOMessagePtr &message, MCOIMAPSession *session,
                                     const QString &mailappAttachments);
    void proceedToRender(const std::shared_ptr<MCOMessageParser> &message, const QString &mainFolder,
                         const QString &mailFolder, MCOIMAPSession *session, const QString &mailappAttachments);
    void releaseClaim();
    // Downloads the raw message of an IMAP header, then renders it (or, `emlOnly`,
    // writes its .eml copy and attachments).
    void startIMAPDownload(const std::shared_ptr<MCOIMAPMessage> &message, MCOIMAPSession *session, bool emlOnly,
                           const QString &mailappAttachments);
    void imapDownloadFailed(const std::shared_ptr<MCOIMAPMessage> &message, const QString &errorText,
                            bool credentials);
    void imapDownloaded(const QByteArray &data, MCOIMAPSession *session, bool emlOnly,
                        const QString &mailappAttachments);
    void cancelIMAPOperation();
    // Fetches one part of a message known by its header and writes it at `path` (never
    // replacing a file); counted in m_attachmentsDownloading until it ends.
    bool downloadIMAPPart(const MCOAbstractPartPtr &part, MCOIMAPSession *session, const MCOIMAPMessage &message,
                          const QString &path);
    // The regular .eml copy of a message known by its header: downloaded, then written.
    void writeEMLMessageFromServer(const std::shared_ptr<MCOIMAPMessage> &message, MCOIMAPSession *session,
                                   const QString &path);

    NotificationPoster m_poster = logNotification;
    AlertHandler m_alertHandler = logAlert;
    QString m_privateFolder;
    std::shared_ptr<OutputClaims> m_claims = std::make_shared<OutputClaims>();
    QString m_claimedPath;
    bool m_isRetry = false;
    int m_attachmentsDownloading = 0;
    std::optional<FailureRecord> m_failedMessage;
    QPointer<MCOIMAPOperation> m_op; // the raw-message fetch in flight
    QList<QPointer<MCOIMAPOperation>> m_partOps; // attachment parts being fetched

    // Remote mode.
    std::unique_ptr<RemoteRender> m_remoteRenderbox;
    bool m_remoteRenderboxInUse = false;
    bool m_currentRenderFailed = false;
    int m_renderboxFailureCount = 0;
};
