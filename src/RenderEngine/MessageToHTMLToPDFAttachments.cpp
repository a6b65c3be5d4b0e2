// Attachment saving of MessageToHTMLToPDF.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOIMAPPart.h"
#include "mailadapter/MCOIMAPSession.h"

#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "mailadapter/MCOAttachment.h"
#include "mailadapter/MCOMessageParser.h"
#include "mimeextract/ripmime-api.h"
#include "mimeextract/mime.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSaveFile>
#include <QTemporaryFile>

namespace {

QStringList everythingBelow(const QString &folder)
{
    QStringList out;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        out.append(it.next());
    return out;
}

} // namespace

bool MessageToHTMLToPDF::startOnAttachmentsFolder(const std::shared_ptr<MCOMessageParser> &message,
                                                  const QString &mainFolder, const QString &mailFolder,
                                                  MCOIMAPSession *session, const QString &mailappAttachments)
{
    if (!message)
        return true;
    const QList<MCOAbstractPartPtr> inlineParts = message->htmlInlineAttachments();
    const QStringList copied = copyAttachmentsFromMailAppPath(*message, mainFolder, mailFolder, mailappAttachments);
    if (!copied.isEmpty()) {
        // The Mail application kept the attachments as files: they are the attachments,
        // and inline images that lost their bytes show thumbnails of them.
        qsizetype next = 0;
        for (const MCOAbstractPartPtr &part : inlineParts) {
            auto attachment = std::dynamic_pointer_cast<MCOAttachment>(part);
            if (!attachment || !attachment->data().isEmpty())
                continue;
            if (next >= copied.size())
                break;
            if (auto png = imageDataOfFile(copied[next++]))
                attachment->setData(*png);
        }
        return true;
    }
    const QList<MCOAbstractPartPtr> attachments = message->attachments();
    if (inlineParts.isEmpty() && attachments.isEmpty())
        return true;
    m_attachmentsDownloading = 0;
    for (const MCOAbstractPartPtr &part : inlineParts)
        m_attachmentsDownloading += downloadAttachment(part, session, *message, mainFolder, mailFolder, QString()) ? 1 : 0;
    QHash<QString, int> counts;
    QStringList suffixes;
    for (const MCOAbstractPartPtr &part : attachments) {
        const int n = ++counts[justFileName(*part)];
        suffixes.append(n == 1 ? QString() : QString::number(n));
    }
    if (usedRipMimeToGetAllAttachments(message, mainFolder, mailFolder))
        return true;
    for (qsizetype i = 0; i < attachments.size(); ++i)
        m_attachmentsDownloading +=
            downloadAttachment(attachments[i], session, *message, mainFolder, mailFolder, suffixes[i]) ? 1 : 0;
    return m_attachmentsDownloading == 0;
}

QStringList MessageToHTMLToPDF::copyAttachmentsFromMailAppPath(const MCOAbstractMessage &message,
                                                               const QString &mainFolder, const QString &mailFolder,
                                                               const QString &mailappAttachments)
{
    if (mailappAttachments.isEmpty())
        return {};
    QStringList result;
    MCOAbstractMessage &msg = const_cast<MCOAbstractMessage &>(message);
    for (const QString &entry : everythingBelow(mailappAttachments)) {
        const QFileInfo info(entry);
        // Linux has no document packages: regular files only, never a link's target.
        if (info.isSymLink() || !info.isFile())
            continue;
        const QString destination =
            destinationPath(msg, mainFolder, mailFolder, JobKey::attachmentFormat, info.fileName(), m_options);
        if (destination.isEmpty())
            continue;
        result.append(destination);
        if (!QFileInfo::exists(destination))
            QFile::copy(entry, destination);
    }
    return result;
}


bool MessageToHTMLToPDF::usedRipMimeToGetAllAttachments(const std::shared_ptr<MCOMessageParser> &message,
                                                        const QString &mainFolder, const QString &mailFolder)
{
    if (!message)
        return false;
    const QList<MCOAbstractPartPtr> attachments = message->attachments();
    if (attachments.isEmpty())
        return false;
    bool nameless = false;
    for (const MCOAbstractPartPtr &part : attachments)
        nameless = nameless || part->filename().isEmpty();
    if (!nameless)
        return false;
    const QString folder = destinationPath(*message, mainFolder, mailFolder, JobKey::attachmentFormat, QString(), m_options);
    if (folder.isEmpty())
        return false;
    QDir().mkpath(folder);
    return ripMimeEML(message, folder);
}

bool MessageToHTMLToPDF::ripMimeEML(const std::shared_ptr<MCOMessageParser> &message, const QString &folder)
{
    // The engine reads its input from a file. Mail bytes never sit among the user's files:
    // the file lives in this process's private folder and goes when the extraction ends
    // (or with the renderbox folder, should the process die first).
    const QString privateFolder = m_privateFolder.isEmpty() ? LocalMailFiles::temporaryDirectory() : m_privateFolder;
    QTemporaryFile input(privateFolder + QStringLiteral("/extract-XXXXXX.eml"));
    if (!input.open() || input.write(stripNullsFrom(message->data())) < 0 || !input.flush())
        return false;
    const QString temp = input.fileName();
    RIPMIME_object api{};
    RIPMIME_init_api(&api);
    MIME_set_uniquenames(0);
    const int result = RIPMIME_decode(&api, QFile::encodeName(temp).constData(), QFile::encodeName(folder).constData());
    TLog(QStringLiteral("used rip mime with a result of %1").arg(result));
    input.remove();
    const QStringList found = everythingBelow(folder);
    if (found.isEmpty()) {
        TLog(QStringLiteral("RipMime was called and did not extract any files for %1 ").arg(folder));
        return false;
    }
    for (const QString &path : found)
        if (QFileInfo(path).isFile())
            addAppleTags(*message, path, extraTags());
    return true;
}

bool MessageToHTMLToPDF::downloadAttachment(const MCOAbstractPartPtr &part, MCOIMAPSession *session,
                                            const MCOAbstractMessage &message, const QString &mainFolder,
                                            const QString &mailFolder, const QString &dupWarn)
{
    if (!part)
        return false;
    const QString name = duplicateSuffixedName(justFileName(*part), dupWarn);
    MCOAbstractMessage &msg = const_cast<MCOAbstractMessage &>(message);
    const QString path = destinationPath(msg, mainFolder, mailFolder, JobKey::attachmentFormat, name, m_options);
    if (path.isEmpty() || QFileInfo::exists(path))
        return false;
    const auto *imapMessage = dynamic_cast<const MCOIMAPMessage *>(&message);
    if (std::dynamic_pointer_cast<MCOIMAPPart>(part) && imapMessage && session)
        return downloadIMAPPart(part, session, *imapMessage, path);
    auto attachment = std::dynamic_pointer_cast<MCOAttachment>(part);
    if (!attachment)
        return false;
    if (part->filename().isEmpty())
        TLog(QStringLiteral("No filename on attachment %1").arg(path));
    const QByteArray bytes = attachment->data();
    if (bytes.isEmpty())
        return false;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        return false;
    setCreationDate(path, dateFromMailCoreHeaderAndFixTheHeaderToo(msg.header()));
    addAppleTags(message, path, extraTags());
    return false;
}

QByteArray MessageToHTMLToPDF::stripNullsFrom(const QByteArray &data)
{
    if (!data.contains('\0'))
        return data;
    QByteArray out;
    out.reserve(data.size());
    for (char c : data) {
        if (c == '\0')
            TLog(QStringLiteral("nULL found"));
        else
            out.append(c);
    }
    return out;
}

bool MessageToHTMLToPDF::downloadIMAPPart(const MCOAbstractPartPtr &part, MCOIMAPSession *session,
                                          const MCOIMAPMessage &message, const QString &path)
{
    // The header travels with the download for the date stamp and the tags.
    auto header = std::make_shared<MCOIMAPMessage>(message);
    QPointer<MessageToHTMLToPDF> self(this);
    MCOIMAPOperation *op =
        session->fetchMessageAttachmentOperation(message.folder(), message.uid(), part->partID(), part->encoding());
    m_partOps.append(op);
    op->start([self, header, path](const MCOIMAPResult &result) {
        if (!self)
            return;
        self->m_attachmentsDownloading = qMax(0, self->m_attachmentsDownloading - 1);
        if (result.error.isError() || result.data.isEmpty()) {
            TLog(QStringLiteral("attachment download failed for %1: %2").arg(path, result.error.description));
            return;
        }
        // Another message's part may have taken the name meanwhile: never replaced.
        if (QFileInfo::exists(path))
            return;
        QString error;
        if (!writeFileAtomically(path, result.data, &error)) {
            TLog(QStringLiteral("attachment not written: %1").arg(error));
            return;
        }
        self->setCreationDate(path, dateFromMailCoreHeaderAndFixTheHeaderToo(header->header()));
        addAppleTags(*header, path);
    });
    return true;
}
