// Local mail files: the scan of dropped files and folders (mbox files cut into pieces,
// .emlx files found), the placement rules of a message file below the job's base folder,
// the repair of broken header lines and the loading of one message.

#include "localmail/LocalMailFiles.h"

#include "CustomPaths/MessageDates.h"
#include "Utils/Log.h"
#include "localmail/EmlxConverter.h"
#include "localmail/MailStores.h"
#include "localmail/MboxSplitter.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Path components with the leading "/" as a component of its own, as the common-base
// rule counts them.
QStringList components(const QString &path)
{
    QStringList parts = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (path.startsWith(QLatin1Char('/')))
        parts.prepend(QStringLiteral("/"));
    return parts;
}

} // namespace

QString LocalMailFiles::commonAncestorEMLPaths(const QStringList &paths)
{
    if (paths.isEmpty())
        return {};
    if (paths.size() == 1) {
        const QString &path = paths.first();
        const QFileInfo info(path);
        if (info.exists())
            return info.isDir() ? path : info.path();
        TLog(QStringLiteral("NOT GOOD - path passed into commonAncestorEMLPaths does not exist: %1").arg(path));
        return info.suffix().size() > 4 ? path : info.path();
    }
    QStringList common = components(paths.first());
    for (qsizetype i = 1; i < paths.size() && !common.isEmpty(); ++i) {
        const QStringList other = components(paths[i]);
        qsizetype n = 0;
        while (n < common.size() && n < other.size() && common[n] == other[n])
            ++n;
        common = common.mid(0, n);
    }
    QString result = QStringLiteral("/");
    for (const QString &c : common) {
        if (c == QLatin1String("/"))
            continue;
        if (!result.endsWith(QLatin1Char('/')))
            result += QLatin1Char('/');
        result += c;
    }
    return result;
}

QString LocalMailFiles::emlSubFolder(const QString &pathIn, const QString &base, const QString &jobName)
{
    QString path = pathIn;
    const QString tmp = temporaryDirectory();
    if (path.startsWith(tmp) && !base.startsWith(tmp)) {
        // An mbox piece: treat it as lying at the mbox file's own path.
        path.remove(tmp);
        if (!path.startsWith(QLatin1Char('/')))
            path.prepend(QLatin1Char('/'));
    }
    if (!path.startsWith(base)) {
        const qsizetype at = base.isEmpty() ? -1 : path.indexOf(base);
        if (at >= 0)
            path = path.mid(at);
        else
            TLog(QStringLiteral("what? bug in emlSubFolder: EML %1, commonBasePath: %2").arg(path, base));
    }
    const QStringList b = components(base);
    const QStringList d = components(QFileInfo(path).path());
    if (d.size() > b.size()) {
        QStringList kept;
        for (qsizetype i = qMax<qsizetype>(0, b.size() - 1); i < d.size(); ++i) {
            // Levels as the mail client shows them (Thunderbird's "NAME.sbd", Maildir
            // levels); the full path is read only for names that may be a Maildir's.
            const bool mayBeMaildir = d[i].startsWith(QLatin1Char('.')) || d[i] == QLatin1String("cur") ||
                                      d[i] == QLatin1String("new");
            const QString full = mayBeMaildir ? QLatin1Char('/') + d.mid(1, i).join(QLatin1Char('/')) : QString();
            for (const QString &level : MailStores::clientFolderLevels(d[i], full))
                if (keepFolderDueToName(level))
                    kept.append(level);
        }
        return kept.join(QLatin1Char('/'));
    }
    if (jobName.startsWith(QLatin1Char('/')))
        return QFileInfo(jobName).fileName();
    return QStringLiteral("EML");
}

bool LocalMailFiles::keepFolderDueToName(const QString &name)
{
    if (name.size() == 36 || name.size() == 1)
        return false;
    return name != QLatin1String("Data") && name != QLatin1String("Messages") && name != QLatin1String("Attachments");
}

QString LocalMailFiles::mainFolderForBasePath(const QString &commonBasePath)
{
    const QString last = QFileInfo(commonBasePath).fileName();
    return last.isEmpty() ? QStringLiteral("PDFs") : last;
}

// --- Scan ---------------------------------------------------------------------------

namespace {

void countFound(LocalMailFiles::Scan &scan, const QStringList &emls, const QStringList &emlxs)
{
    if (scan.count)
        scan.count->store(emls.size() + emlxs.size(), std::memory_order_relaxed);
}

// Folders already walked in this scan, by device and inode: a symbolic link back up
// the tree would otherwise make the walk endless.
bool firstVisit(LocalMailFiles::Scan &scan, const QString &folder)
{
    struct stat st {};
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0)
        return true;
    const QPair<quint64, quint64> id{quint64(st.st_dev), quint64(st.st_ino)};
    if (scan.visited.contains(id))
        return false;
    scan.visited.insert(id);
    return true;
}

// Creates `folder` and the missing folders above it up to `base` with mode 0700, and
// refuses a level that is a symbolic link or belongs to someone else: the temporary
// directory is shared with every local user.
bool makePrivateFolder(const QString &base, const QString &folder)
{
    QString path = base;
    const QString relative = folder.mid(base.size());
    for (const QString &level : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + level;
        const QByteArray native = QFile::encodeName(path);
        if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
            return false;
        struct stat st {};
        if (::lstat(native.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid())
            return false;
    }
    return true;
}

} // namespace

QString LocalMailFiles::temporaryDirectory()
{
    static const QString dir = [] {
        const QString base = QDir::tempPath();
        const QString preferred = QStringLiteral("%1/tarnwick-%2").arg(base).arg(::geteuid());
        if (makePrivateFolder(base, preferred)) {
            ::chmod(QFile::encodeName(preferred).constData(), 0700);
            return preferred;
        }
        // Someone else holds the usual name: use a fresh private folder instead.
        QByteArray tmpl = QFile::encodeName(preferred + QStringLiteral("-XXXXXX"));
        if (::mkdtemp(tmpl.data()))
            return QFile::decodeName(tmpl);
        TLog(QStringLiteral("Could not create a private temporary folder in %1").arg(base));
        return preferred;
    }();
    return dir;
}

QString LocalMailFiles::mboxPieceFolder(const QString &mboxPath)
{
    return temporaryDirectory() + QLatin1Char('/') + QDir::cleanPath(mboxPath).remove(0, mboxPath.startsWith(QLatin1Char('/')) ? 1 : 0);
}

QStringList LocalMailFiles::explodeFilesAndFolders(const QStringList &paths, QStringList *emlxs,
                                                   std::atomic<qint64> *count)
{
    Scan scan;
    scan.count = count;
    if (count)
        count->store(0);
    QStringList emls;
    QStringList localEmlxs;
    QStringList &x = emlxs ? *emlxs : localEmlxs;
    for (const QString &path : paths)
        explode(scan, path, emls, x);
    return emls;
}

void LocalMailFiles::explode(Scan &scan, const QString &path, QStringList &emls, QStringList &emlxs)
{
    if (path.isEmpty())
        return;
    const QFileInfo info(path);
    const QString ext = info.suffix().toLower();
    const QString name = info.fileName().toLower();
    if (ext == QLatin1String("eml")) {
        emls.append(path);
        countFound(scan, emls, emlxs);
    } else if (ext == QLatin1String("emlx")) {
        emlxs.append(path);
        countFound(scan, emls, emlxs);
    } else if (info.isDir()) {
        explodeFolder(scan, path, emls, emlxs);
    } else if (ext == QLatin1String("mbox") || name == QLatin1String("mbox") || MailStores::looksLikeMboxFile(path)) {
        // Thunderbird's folders and the system's spools are mbox files without an
        // extension: recognised by their first line alone.
        explodeMBox(scan, path, emls);
        countFound(scan, emls, emlxs);
    }
}

void LocalMailFiles::explodeFolder(Scan &scan, const QString &folder, QStringList &emls, QStringList &emlxs)
{
    if (!firstVisit(scan, folder))
        return;
    const QDir dir(folder);
    const QStringList entries =
        dir.entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Unsorted);
    const bool maildir = MailStores::isMaildir(folder);
    if (maildir) {
        // One message per file in "new" and "cur"; "tmp" holds deliveries still being
        // written and is never read.
        for (const QString &message : MailStores::maildirMessages(folder)) {
            emls.append(message);
            countFound(scan, emls, emlxs);
        }
    }
    for (const QString &entry : entries) {
        if (maildir && (entry == QLatin1String("cur") || entry == QLatin1String("new") || entry == QLatin1String("tmp")))
            continue;
        explode(scan, dir.filePath(entry), emls, emlxs);
    }
}

void LocalMailFiles::explodeMBox(Scan &scan, const QString &path, QStringList &emls)
{
    const QString folder = mboxPieceFolder(path);
    if (!makePrivateFolder(temporaryDirectory(), folder)) {
        TLog(QStringLiteral("Could not create the private piece folder %1").arg(folder));
        return;
    }
    // A client may be rewriting the file (Thunderbird compacts folders in place): pieces
    // cut from a file that changed while it was read may be half of one message and half
    // of another. They are dropped; the next run takes the file as it is then.
    const QFileInfo before(path);
    const qint64 size = before.size();
    const QDateTime modified = before.lastModified();
    QStringList pieces;
    MboxSplitter::split(path, folder, [&](const QString &piece) {
        pieces.append(piece);
        if (scan.count)
            scan.count->fetch_add(1, std::memory_order_relaxed);
        if (scan.onPiece)
            scan.onPiece(piece);
    });
    const QFileInfo after(path);
    if (after.size() != size || after.lastModified() != modified) {
        TLog(QStringLiteral("mbox file changed while it was read, left for the next run: %1").arg(path));
        for (const QString &piece : pieces)
            QFile::remove(piece);
        if (scan.count)
            scan.count->fetch_sub(pieces.size(), std::memory_order_relaxed);
        return;
    }
    emls += pieces;
}

QByteArray LocalMailFiles::cleanUpLineEndings(const QByteArray &data) { return MboxSplitter::cleanUpLineEndings(data); }

QStringList LocalMailFiles::renderList(const QStringList &emls, const QStringList &emlxs)
{
    // A Mail store holds a few stray .eml exports beside thousands of .emlx messages;
    // then only the Mail messages are rendered.
    if (emlxs.isEmpty())
        return emls;
    if (qint64(emls.size()) * 10 < emlxs.size())
        return emlxs;
    return emls + emlxs;
}

// --- Header repair -----------------------------------------------------------------

namespace {

bool isLineBreak(char c)
{
    // LF, VT, FF, CR and NEL (0x85 read as Latin-1).
    return c == '\n' || c == '\v' || c == '\f' || c == '\r' || static_cast<unsigned char>(c) == 0x85;
}

QByteArray repairHeaderLine(QByteArray line)
{
    line.replace('(', ' ').replace(')', ' ');
    if (line.startsWith(' ') || line.startsWith('\t'))
        return line;
    if (line.startsWith(':'))
        return ' ' + line;
    const qsizetype colon = line.indexOf(':');
    const qsizetype space = line.indexOf(' ');
    if (colon >= 0 && space >= 0)
        return space < colon ? ' ' + line : line;
    if (colon >= 0)
        return line;
    if (space < 0)
        return ' ' + line;
    return QByteArray(); // words without a colon: dropped (see caller)
}

} // namespace

std::optional<QByteArray> LocalMailFiles::fixHeaderLinesInData(const QByteArray &input)
{
    // Read as Latin-1, every byte is one character: the repair works on bytes and gives
    // back the bytes it did not touch exactly as they were.
    QByteArray data = input;
    data.replace("\r\n", "\n");
    qsizetype lines = 1;
    for (char c : data)
        lines += isLineBreak(c) ? 1 : 0;
    if (lines < 10)
        return std::nullopt;

    QByteArray out;
    out.reserve(data.size());
    qsizetype start = 0;
    bool first = true;
    while (start <= data.size()) {
        qsizetype end = start;
        while (end < data.size() && !isLineBreak(data[end]))
            ++end;
        const QByteArray line = data.mid(start, end - start);
        if (line.isEmpty()) {
            // The header block ends here. The body is kept byte for byte: splitting it at
            // VT, FF or 0x85 (an ellipsis in windows-1252 text) would corrupt it.
            if (!first)
                out.append('\n');
            out.append(data.mid(start));
            return out;
        }
        const QByteArray repaired = repairHeaderLine(line);
        if (!repaired.isEmpty()) {
            if (!first)
                out.append('\n');
            out.append(repaired);
            first = false;
        }
        start = end + 1;
    }
    return out;
}

std::optional<QByteArray> LocalMailFiles::tryCatchFixHeaderLinesInData(const QByteArray &data)
{
    try {
        return fixHeaderLinesInData(data);
    } catch (const std::exception &e) {
        TLog(QStringLiteral("fixHeaderLinesInData failed: %1").arg(QString::fromUtf8(e.what())));
        return std::nullopt;
    }
}

// --- Loading -----------------------------------------------------------------------

std::shared_ptr<MCOMessageParser> LocalMailFiles::makeMCOMessage(const QString &path, QString *mailappAttachments)
{
    if (mailappAttachments)
        *mailappAttachments = QString();
    QByteArray bytes;
    if (QFileInfo(path).suffix() == QLatin1String("emlx")) {
        bytes = EmlxConverter::emlxFileToEMLDataWithIntertwinedParts(path, mailappAttachments).value_or(QByteArray());
    } else {
        QFile file;
        const int fd = MailStores::openForReading(path);
        if (fd >= 0 && file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle))
            bytes = file.readAll();
        else if (fd >= 0)
            ::close(fd);
    }
    if (bytes.size() <= 64) {
        TLog(QStringLiteral("Email could not be made %1").arg(path));
        return nullptr;
    }
    return messageWithRawData(bytes);
}

std::shared_ptr<MCOMessageParser> LocalMailFiles::messageWithRawData(const QByteArray &raw)
{
    const QByteArray bytes = EmlxConverter::cleanRawMessage(raw);
    auto message = MCOMessageParser::messageParserWithData(bytes);
    const QDateTime date = MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
    if (!MessageDates::dateOKForEmail(date)) {
        TLog(QStringLiteral("found 1970 reparse will happen on next line, %1").arg(message->header().subject()));
        if (const auto repaired = tryCatchFixHeaderLinesInData(bytes)) {
            message = MCOMessageParser::messageParserWithData(*repaired);
            MessageDates::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
            TLog(QStringLiteral("Fixed date is %1").arg(message->header().description()));
        }
    }
    message->setOriginalData(raw);
    return message;
}
