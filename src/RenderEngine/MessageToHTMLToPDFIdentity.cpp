// Telling messages apart when their outputs expand to the same paths: bulk sends and
// automated notices share subject and second, messages without subject and date share
// everything. A good output at a message's path counts as that message archived only when
// it was made for the same message; a different message takes the next free output index.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"
#include "openmeta/PdfInfo.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

#include <sys/xattr.h>

#include <cerrno>

namespace {

const char *const kIdentityAttribute = "user.tarnwick.message-id";
// Past this many different messages at one path, something is wrong with the input
// (a mailbox of thousands of messages without subject and date at one second); the
// search for a free index stops rather than stat ever more files.
constexpr int kMaxOutputIndex = 10000;
// Message-IDs are short; anything longer is not one worth comparing in full.
constexpr qsizetype kMaxIdentityBytes = 1024;

} // namespace

QString MessageToHTMLToPDF::messageIdentity(const MCOAbstractMessage &message)
{
    const QString id = message.header().messageID().trimmed();
    if (!id.isEmpty())
        return id.left(kMaxIdentityBytes / 4);
    if (const auto *parsed = dynamic_cast<const MCOMessageParser *>(&message)) {
        const QByteArray digest = QCryptographicHash::hash(parsed->originalData(), QCryptographicHash::Sha256);
        return QStringLiteral("sha256:") + QString::fromLatin1(digest.toHex());
    }
    return QString();
}

QString MessageToHTMLToPDF::storedMessageIdentity(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    char buffer[kMaxIdentityBytes];
    const ssize_t got = ::lgetxattr(name.constData(), kIdentityAttribute, buffer, sizeof buffer);
    if (got >= 0)
        return QString::fromUtf8(buffer, qsizetype(got));
    // A PDF copied by a tool that drops extended attributes still carries its identity.
    if (path.endsWith(QLatin1String(".pdf"), Qt::CaseInsensitive))
        return PdfInfo::messageIdentity(path);
    return QString();
}

bool MessageToHTMLToPDF::storeMessageIdentity(const QString &path, const QString &identity)
{
    if (identity.isEmpty())
        return false;
    const QByteArray value = identity.toUtf8();
    return ::lsetxattr(QFile::encodeName(path).constData(), kIdentityAttribute, value.constData(),
                       size_t(value.size()), 0) == 0;
}

void MessageToHTMLToPDF::setOutputIndex(int index)
{
    if (index >= 2)
        m_options.insert(JobKey::outputIndex, index);
    else
        m_options.remove(JobKey::outputIndex);
}

void MessageToHTMLToPDF::releaseClaim()
{
    if (!m_claimedPath.isEmpty())
        m_claims->remove(m_claimedPath);
    m_claimedPath.clear();
}

int MessageToHTMLToPDF::placeMessage(MCOAbstractMessage &message, const QString &formatKey, bool *archived,
                                     bool removeUndersized)
{
    releaseClaim();
    *archived = false;
    const QString identity = messageIdentity(message);
    const bool isPdf = formatKey == JobKey::pdfFormat;
    JobOptions options = m_options;
    QString first;
    for (int index = 1; index <= kMaxOutputIndex; ++index) {
        options.insert(JobKey::outputIndex, index);
        const QString path =
            destinationPath(message, m_mainFolder, m_mailFolder, formatKey, QString(), options, FolderCreation::No);
        if (path.isEmpty())
            return 1; // no such output: nothing to tell apart
        if (index == 1)
            first = path;
        const auto claim = m_claims->constFind(path);
        if (claim != m_claims->constEnd()) {
            if (*claim == identity) {
                *archived = true; // the same message twice: its outputs are being made
                return index;
            }
            continue;
        }
        const qint64 goodSize = isPdf ? 7000 : 20;
        const bool good = removeUndersized ? (isPdf ? pdfFilelooksOK(path) : emlFilelooksOK(path))
                                           : QFileInfo(path).size() >= goodSize;
        if (good) {
            // Outputs of earlier versions carry no identity; they count as this message's,
            // as they always did.
            const QString stored = storedMessageIdentity(path);
            if (stored.isEmpty() || identity.isEmpty() || stored == identity) {
                *archived = true;
                return index;
            }
            continue;
        }
        m_claims->insert(path, identity);
        m_claimedPath = path;
        return index;
    }
    TLog(QStringLiteral("not archived: more than %1 different messages share the path %2").arg(kMaxOutputIndex).arg(first));
    *archived = true;
    return 1;
}
