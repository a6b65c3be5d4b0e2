#pragma once
// LocalMailFiles: what a job over local message files needs from them. The scan turns the
// dropped files and folders into message files (mbox files are cut into private pieces,
// .emlx files are listed apart); the placement rules file each message under a mail folder
// below the job's base folder; the loader reads, cleans, parses and date-repairs one
// message.
//
// Every operation is static and keeps no state between calls: a scan's state (its count
// and the folders it has walked) belongs to that scan, so two jobs may scan at once. The
// scan and the loader read files and may run on any thread.

#include <QByteArray>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class MCOMessageParser;

class LocalMailFiles {
public:
    LocalMailFiles() = delete;

    // The state of one scan.
    struct Scan {
        // Running number of message files found, for a progress display on another
        // thread; may be null.
        std::atomic<qint64> *count = nullptr;
        // Folders walked so far, by device and inode: a symbolic link back up the tree
        // would otherwise make the walk endless.
        QSet<QPair<quint64, quint64>> visited;
        // Called after each mbox piece is written, on the scanning thread; may be empty.
        std::function<void(const QString &piecePath)> onPiece;
    };

    // --- Placement ---------------------------------------------------------------------

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
    // The first folder level of a local job's outputs: the base folder's name, or "PDFs".
    static QString mainFolderForBasePath(const QString &commonBasePath);

    // --- Scan --------------------------------------------------------------------------

    // Every message file below the input paths: `.eml` files and mbox pieces in the
    // returned list, `.emlx` files appended to `emlxs`, in the order found. `count`, when
    // given, is set to 0 and then follows the number found.
    static QStringList explodeFilesAndFolders(const QStringList &paths, QStringList *emlxs,
                                              std::atomic<qint64> *count = nullptr);
    static void explode(Scan &scan, const QString &path, QStringList &emls, QStringList &emlxs);
    static void explodeFolder(Scan &scan, const QString &folder, QStringList &emls, QStringList &emlxs);
    // Cuts an mbox file into pieces in its private piece folder.
    static void explodeMBox(Scan &scan, const QString &path, QStringList &emls);
    static QByteArray cleanUpLineEndings(const QByteArray &data);
    // The files to render: the eml list, the emlx list, or both (see the .cpp).
    static QStringList renderList(const QStringList &emls, const QStringList &emlxs);
    // The private folder (mode 0700) below the system temporary directory that holds
    // mbox pieces and other temporary files of this user.
    static QString temporaryDirectory();
    // The folder that receives the pieces of the mbox file at `mboxPath`.
    static QString mboxPieceFolder(const QString &mboxPath);

    // --- Header repair -----------------------------------------------------------------

    // Makes broken header lines parseable (see the .cpp); nothing when the bytes are
    // too short to be a message worth repairing.
    static std::optional<QByteArray> fixHeaderLinesInData(const QByteArray &data);
    static std::optional<QByteArray> tryCatchFixHeaderLinesInData(const QByteArray &data);

    // --- Loading -----------------------------------------------------------------------

    // Reads, converts (.emlx), cleans and parses one message file; when its date stays
    // implausible, parses the header-repaired bytes instead. `mailappAttachments` gets
    // the Mail application's attachments folder of an .emlx message, or a null string.
    // Null for a file of 64 bytes or fewer.
    static std::shared_ptr<MCOMessageParser> makeMCOMessage(const QString &path, QString *mailappAttachments);
    // The message of raw bytes as received: cleaned, parsed, its date repaired from its
    // header lines where it is implausible; the raw bytes kept as its original data. The
    // job and its renderboxes both load a message this way, so both name it alike.
    static std::shared_ptr<MCOMessageParser> messageWithRawData(const QByteArray &raw);
};
