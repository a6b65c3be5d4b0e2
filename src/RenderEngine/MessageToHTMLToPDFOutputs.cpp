// Output destinations, file names and message dates of MessageToHTMLToPDF. Kept apart
// from the rendering so that the command line and the job driver use them without an
// HTML engine.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "RenderEngine/RemoteRender.h"

#include "CustomPaths/CustomPath.h"
#include "Utils/Log.h"
#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTimeZone>

#include <atomic>
#include <cmath>

namespace {

const QString kFromEmailNA = QStringLiteral("fromEmailNA");
const QString kToEmailNA = QStringLiteral("toEmailNA");
const QString kRecipientNameNA = QStringLiteral("na");

std::atomic<int> g_unwritableCount{0};

QString emergencyRoot()
{
    const QString root = QDir::homePath() + QStringLiteral("/Desktop/Tarnwick");
    TLog(QStringLiteral("Emergency!! destinationFolder path is now %1").arg(root));
    return root;
}

QString chooseRoot(const JobOptions &options)
{
    QString root = options.value(JobKey::destFolderOverride).toString();
    if (root.isEmpty())
        root = options.value(JobKey::destFolder).toString();
    if (root.isEmpty())
        root = emergencyRoot();
    return QDir::cleanPath(root);
}

// Message subjects, names and mailbox names end up as folder levels. Whatever they
// hold, no level may climb out of (or reset) the destination: empty levels vanish and
// "." or ".." become "_" or "__".
QString confineRelativePath(const QString &relative)
{
    QStringList kept;
    for (const QString &component : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (component == QLatin1String(".") || component == QLatin1String(".."))
            kept.append(QString(component.size(), QLatin1Char('_')));
        else
            kept.append(component);
    }
    return kept.join(QLatin1Char('/'));
}

// "a/b/name.pdf" + " (2)" is "a/b/name (2).pdf"; a name without an extension ends in it.
QString withSuffixBeforeExtension(const QString &relative, const QString &suffix)
{
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    const qsizetype dot = relative.lastIndexOf(QLatin1Char('.'));
    if (dot > slash + 1)
        return relative.left(dot) + suffix + relative.mid(dot);
    return relative + suffix;
}

bool writeAtomically(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

bool fileLooksOK(const QString &path, qint64 minimum)
{
    QFileInfo info(path);
    if (!info.exists())
        return false;
    if (info.size() >= minimum)
        return true;
    // An undersized output is the remains of a failed run: remove it so it is made again.
    QFile::remove(path);
    return false;
}

} // namespace

MessageToHTMLToPDF::MessageToHTMLToPDF(const JobOptions &options, bool remoteRender, QObject *parent)
    : QObject(parent), m_options(options)
{
    if (remoteRender)
        m_remoteRenderbox = std::make_unique<RemoteRender>(options);
}


QString MessageToHTMLToPDF::destinationPath(MCOAbstractMessage &message, const QString &mainFolder,
                                            const QString &mailFolder, const QString &optionsFormat,
                                            const QString &fileName, const JobOptions &options,
                                            FolderCreation creation)
{
    const QString format = options.value(optionsFormat).toString();
    if (format.size() < 5)
        return {};
    QString root = chooseRoot(options);

    MCOMessageHeader &header = message.header();
    QString subject = header.subject();
    const QDateTime date = dateFromMailCoreHeaderAndFixTheHeaderToo(header);
    const int index = options.value(JobKey::outputIndex).toInt();
    const QString indexSuffix = index >= 2 ? QStringLiteral(" (%1)").arg(index) : QString();
    const bool suffixOnSubject = format.contains(QLatin1String("__subject__"));
    if (!indexSuffix.isEmpty() && suffixOnSubject)
        subject += indexSuffix;

    const MCOAddress from = header.from();
    const QString emailFrom = from.mailbox().isEmpty() ? kFromEmailNA : from.mailbox();
    QString fromName = from.displayName();
    if (fromName.isEmpty())
        fromName = header.sender().displayName();
    if (fromName.isEmpty())
        fromName = from.mailbox();

    QString toName = kRecipientNameNA;
    QString emailTo = kToEmailNA;
    const MCOAddressList to = header.to();
    if (!to.isEmpty()) {
        const MCOAddress &first = to.first();
        toName = first.displayName().isEmpty() ? first.mailbox() : first.displayName();
        if (!first.mailbox().isEmpty())
            emailTo = first.mailbox();
    }

    QString expanded = CustomPath::substituteFormat(format, date, subject, stripFirstName(fromName),
                                                    stripFirstName(toName), emailFrom, emailTo, fileName);
    if (!indexSuffix.isEmpty() && !suffixOnSubject)
        expanded = withSuffixBeforeExtension(expanded, indexSuffix);
    const QString subFolder = destinationSubFolder(mainFolder, mailFolder);
    QString relative = subFolder.isEmpty() ? expanded : subFolder + QLatin1Char('/') + expanded;
    if (useWindowsFileNames(options))
        relative = windowsFriendlyPath(relative);
    relative = CustomPath::ensurePathComponentsAreNotTooLong(
        confineRelativePath(relative).normalized(QString::NormalizationForm_C));

    const QString firstComponent = relative.section(QLatin1Char('/'), 0, 0);
    const QString rootName = QFileInfo(root).fileName();
    if (!firstComponent.isEmpty() && firstComponent == rootName) {
        // root /Archive/Mail + Mail/INBOX/x.pdf is /Archive/Mail/INBOX/x.pdf
        root = QFileInfo(root).path();
    }
    const QString full = relative.isEmpty() ? root : root + QLatin1Char('/') + relative;
    if (creation == FolderCreation::Yes)
        QDir().mkpath(QFileInfo(full).path());
    return full;
}

QString MessageToHTMLToPDF::destinationFolder(const QString &rootIn, const QString &mainFolder,
                                              const QString &mailFolder)
{
    const QString root = rootIn.isEmpty() ? emergencyRoot() : QDir::cleanPath(rootIn);
    const QString sub = CustomPath::ensurePathComponentsAreNotTooLong(
        confineRelativePath(destinationSubFolder(mainFolder, mailFolder)).normalized(QString::NormalizationForm_C));
    const QString folder = sub.isEmpty() ? root : root + QLatin1Char('/') + sub;
    if (!QDir().mkpath(folder))
        TLog(QStringLiteral("Could not create destination directory"));
    return folder;
}

QString MessageToHTMLToPDF::destinationSubFolder(const QString &mainFolder, const QString &mailFolder)
{
    QString path;
    if (!mainFolder.isEmpty())
        path = CustomPath::sanitizePathComponentPart(mainFolder, true);
    if (!mailFolder.isEmpty()) {
        const QString part = CustomPath::sanitizePathComponentPart(mailFolder, false);
        path = path.isEmpty() ? part : path + QLatin1Char('/') + part;
    }
    QStringList components = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (components.size() >= 2 && components[0] == components[1])
        components.removeFirst();
    return components.join(QLatin1Char('/'));
}

bool MessageToHTMLToPDF::useWindowsFileNames(const JobOptions &options)
{
    const auto it = options.constFind(JobKey::windowsFilenames);
    return it == options.constEnd() || !it->isValid() || it->toBool();
}

QString MessageToHTMLToPDF::windowsFriendlyPath(const QString &relativePath)
{
    QString p = relativePath;
    p.replace(QLatin1Char('<'), QLatin1Char('-'));
    p.replace(QLatin1Char('>'), QLatin1Char('-'));
    p.remove(QLatin1Char('"'));
    p.replace(QLatin1Char('|'), QLatin1Char(' '));
    p.remove(QLatin1Char('?'));
    p.replace(QLatin1Char('*'), QLatin1Char(' '));
    p.replace(QLatin1Char('^'), QLatin1Char(' '));
    return p;
}

QString MessageToHTMLToPDF::stripFirstName(const QString &displayName)
{
    if (displayName.isNull())
        return displayName;
    const QStringList pieces = displayName.split(QLatin1Char(' '));
    if (pieces.size() == 2)
        return pieces[1];
    if (pieces.size() == 3)
        return pieces[2];
    return displayName;
}

bool MessageToHTMLToPDF::saveEMLData(const QByteArray &data, const QString &path)
{
    QFileInfo info(path);
    const QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString target = info.path() + QLatin1Char('/') + (dot > 0 ? name.left(dot) : name) + QStringLiteral(".eml");
    if (QFileInfo::exists(target))
        return false;
    QDir().mkpath(info.path());
    QString error;
    if (!writeAtomically(target, data, &error)) {
        TLog(QStringLiteral("failed to write EML - %1").arg(error));
        return false;
    }
    return true;
}

bool MessageToHTMLToPDF::testDestinationFilePath(const QString &path, QString *failureReason,
                                                 const AlertHandler &alert)
{
    QString error;
    if (writeAtomically(path, QByteArrayLiteral("d"), &error)) {
        QFile::remove(path);
        return true;
    }
    if (error.isEmpty())
        error = QStringLiteral("null error");
    if (g_unwritableCount.fetch_add(1) == 4) {
        const QString informative = QStringLiteral("The path %1 failed to write.\n\n The error was %2").arg(path, error);
        if (alert)
            alert(QStringLiteral("PDF failed to write."), informative);
        else
            logAlert(QStringLiteral("PDF failed to write."), informative);
    }
    if (failureReason)
        *failureReason = QStringLiteral("PDF path %1, %2").arg(path, error);
    return false;
}

bool MessageToHTMLToPDF::pdfFilelooksOK(const QString &path) { return fileLooksOK(path, 7000); }

bool MessageToHTMLToPDF::emlFilelooksOK(const QString &path) { return fileLooksOK(path, 20); }


int MessageToHTMLToPDF::unwritablePathCount() { return g_unwritableCount.load(); }

void MessageToHTMLToPDF::setCreationDate(const QString &path, const QDateTime &date)
{
    if (!date.isValid())
        return;
    QFile file(path);
    if (file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly))
        file.setFileTime(date, QFileDevice::FileModificationTime);
}

void MessageToHTMLToPDF::writeEMLMessage(const MCOMessagePtr &message, MCOIMAPSession *session)
{
    QString path;
    if (message)
        path = destinationPath(*message, m_mainFolder, m_mailFolder, JobKey::emlFormat, QString(), m_options);
    if (message && !path.isEmpty() && !m_mailFolder.isNull()) {
        if (auto imap = std::dynamic_pointer_cast<MCOIMAPMessage>(message); imap && session) {
            writeEMLMessageFromServer(imap, session, path); // ends the message when the bytes are in
            return;
        }
        if (auto parsed = std::dynamic_pointer_cast<MCOMessageParser>(message)) {
            QString error;
            // The message as received, not the cleaned or repaired bytes that were parsed.
            if (!writeAtomically(path, parsed->originalData(), &error))
                TLog(QStringLiteral("failed to write EML - %1").arg(error));
            else
                storeMessageIdentity(path, messageIdentity(*parsed));
        } else {
            // Messages known only by their IMAP header are fetched whole by the IMAP
            // session first; until one is connected there are no bytes to write.
            TLog(QStringLiteral("failed to write EML - %1").arg(QStringLiteral("no IMAP session for the raw message")));
        }
    }
    doneMakingPDF_EML_Attachments();
}


QString MessageToHTMLToPDF::justFileName(const MCOAbstractPart &part)
{
    const QString fallback = QStringLiteral("noname %1").arg(part.size());
    const QString &raw = part.filename();
    if (raw.isEmpty())
        return fallback;
    // Attachment names come from the sender. Only the last component counts, whichever
    // separator the sending system used ("../../x", "C:\\x", "/etc/x").
    QString name = raw.section(QLatin1Char('/'), -1).section(QLatin1Char('\\'), -1);
    const QByteArray utf8 = name.toUtf8();
    if (utf8.isEmpty() && !name.isEmpty()) {
        TLog(QStringLiteral("very likely this be bad It will not usually even print the next line..."));
        return fallback;
    }
    if (utf8.size() > name.size() + 4 || name.contains(QChar(0))) {
        // Names that decoded into something odd (embedded NULs) are cut at the first NUL.
        const qsizetype nul = utf8.indexOf('\0');
        const QString fixed = QString::fromUtf8(nul >= 0 ? utf8.left(nul) : utf8);
        if (fixed != name) {
            TLog(QStringLiteral("fixed string is : %1").arg(fixed));
            name = fixed;
        }
    }
    // Control characters have no place in a file name.
    for (QChar &c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            c = QLatin1Char('_');
    // A name of dots and spaces only would name the attachment folder itself.
    bool meaningful = false;
    for (QChar c : name)
        meaningful = meaningful || (c != QLatin1Char('.') && !c.isSpace());
    return meaningful ? name : fallback;
}

QString MessageToHTMLToPDF::duplicateSuffixedName(const QString &name, const QString &suffix)
{
    if (suffix.isEmpty())
        return name;
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    const QString stem = dot > 0 ? name.left(dot) : name;
    const QString extension = dot > 0 ? name.mid(dot + 1) : QString();
    return QStringLiteral("%1 %2.%3").arg(stem, suffix, extension);
}

QStringList MessageToHTMLToPDF::attachmentFileNames(const MCOAbstractMessage &message)
{
    QStringList names;
    for (const MCOAbstractPartPtr &part : message.htmlInlineAttachments())
        names.append(justFileName(*part));
    QHash<QString, int> seen;
    for (const MCOAbstractPartPtr &part : message.attachments()) {
        const QString name = justFileName(*part);
        const int count = ++seen[name];
        names.append(duplicateSuffixedName(name, count == 1 ? QString() : QString::number(count)));
    }
    return names;
}

bool MessageToHTMLToPDF::writeFileAtomically(const QString &path, const QByteArray &data, QString *error)
{
    return writeAtomically(path, data, error);
}
