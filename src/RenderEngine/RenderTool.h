#pragma once
// RenderTool drives one archiving job over one source. This part holds the rules that
// place local message files: the common base folder of the job's input paths and the
// mail-folder name of each message file below it.

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>
#include <optional>

class MCOMessageParser;

// Running number of message files found by the scan in progress; written by the
// scanning thread, read by the progress display of the main thread.
extern std::atomic<qint64> gExplodeCount;

class RenderTool : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

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

    // The first folder level of a local job's outputs: the base folder's name, or "PDFs".
    static QString mainFolderForBasePath(const QString &commonBasePath);
};
