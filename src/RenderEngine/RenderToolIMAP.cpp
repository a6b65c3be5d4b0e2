// The IMAP steps of RenderTool: the session, the folder listing, the header listing in
// chunks (one at a time, from the end), and handing listed messages to the engines.

#include "RenderEngine/RenderTool.h"

#include "Settings/AccountOAuth.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"
#include "mailadapter/MCOIMAPMailboxName.h"
#include "mailadapter/MCOIMAPMessage.h"

#include <QTimer>

namespace {

constexpr quint32 kChunkSize = 5000;
constexpr int kOAuthFirstRefreshMs = 1000;
constexpr int kOAuthSecondRefreshMs = 3000;
constexpr int kOAuthRefreshIntervalMs = 60000;

bool isRefusal(const MCOIMAPError &error)
{
    return error.code == MCOIMAPError::ErrorAuthentication || error.code == MCOIMAPError::ErrorCertificate;
}

} // namespace

QList<RenderTool::HeaderChunk> RenderTool::headerChunksForFolder(const MCOIMAPFolder &folder, quint32 count)
{
    QList<HeaderChunk> chunks;
    if (count == 0)
        return chunks;
    // The range covers "start" through "start" + "numToFetch", both included: neighbouring
    // chunks share their boundary message, which is listed once (see m_listedUIDs).
    quint32 remaining = count - 1;
    for (quint32 k = 0; k < count / kChunkSize + 1; ++k) {
        HeaderChunk chunk;
        chunk.folder = folder;
        chunk.start = 1 + kChunkSize * k;
        chunk.numToFetch = qMin(remaining, kChunkSize);
        chunk.folderSize = count;
        remaining -= chunk.numToFetch;
        chunks.append(chunk);
    }
    return chunks;
}

MCOIMAPSession *RenderTool::sessionForOptions(const JobOptions &options, QObject *parent)
{
    auto *session = new MCOIMAPSession(parent);
    session->setHostname(options.value(JobKey::imapServer).toString());
    session->setPort(options.value(JobKey::imapPort, 993).toInt());
    session->setUsername(options.value(JobKey::emailUsername).toString());
    switch (options.value(JobKey::imapTransport, 4).toInt()) {
    case 1: session->setConnectionType(MCOIMAPSession::ConnectionTypeClear); break;
    case 2: session->setConnectionType(MCOIMAPSession::ConnectionTypeStartTLS); break;
    default: session->setConnectionType(MCOIMAPSession::ConnectionTypeTLS); break;
    }
    if (options.value(JobKey::authSystem).toString() == QLatin1String("kauth_google_oauth")) {
        session->setAuthType(MCOIMAPSession::AuthTypeXOAuth2);
        session->setOAuth2Token(options.value(JobKey::accessToken).toString());
    } else {
        session->setPassword(options.value(JobKey::password).toString());
    }
    session->setPinnedCertificateSHA256(options.value(JobKey::imapCertificateSHA256).toString());
    const QString account = options.value(JobKey::emailUsername).toString();
    QObject::connect(session, &MCOIMAPSession::certificateAccepted, session,
                     [account](const QString &sha256, bool verified) {
                         TLog(QStringLiteral("%1 certificate of %2 pinned: SHA-256 %3")
                                  .arg(verified ? QStringLiteral("verified") : QStringLiteral("first"), account, sha256));
                         if (!account.isEmpty())
                             Preferences::shared().setValue(PreferenceRegister::certificatePinKey(account), sha256);
                     });
    return session;
}

bool RenderTool::isOAuthJob() const
{
    return m_options.value(JobKey::authSystem).toString() == QLatin1String("kauth_google_oauth");
}

void RenderTool::buildSession()
{
    if (m_session)
        return;
    m_session = sessionForOptions(m_options, this);
    if (!isOAuthJob())
        return;
    // The token the job was made with may be renewed at any moment: look again at once,
    // shortly after, and then every minute.
    connect(&AccountOAuth::shared(), &AccountOAuth::OAuthFailed, this, [this](const QString &email) {
        // The refused token cannot be renewed: waiting would never end.
        if (email == m_options.value(JobKey::emailUsername).toString() && !m_refusedToken.isEmpty() &&
            m_session->OAuth2Token() == m_refusedToken)
            failIMAP(QStringLiteral("Google refused the account's sign-in; sign in again"));
    });
    refreshToken();
    QTimer::singleShot(kOAuthFirstRefreshMs, this, &RenderTool::refreshToken);
    QTimer::singleShot(kOAuthSecondRefreshMs, this, &RenderTool::refreshToken);
    startOAuthTimer();
}

void RenderTool::startOAuthTimer()
{
    if (!m_oauthTimer) {
        m_oauthTimer = new QTimer(this);
        connect(m_oauthTimer, &QTimer::timeout, this, &RenderTool::refreshToken);
    }
    m_oauthTimer->start(kOAuthRefreshIntervalMs);
}

void RenderTool::refreshToken()
{
    if (!m_session || m_allDone || !isOAuthJob())
        return;
    const QString token =
        AccountOAuth::shared().accessTokenFromOAuth(m_options.value(JobKey::emailUsername).toString());
    if (!token.isEmpty() && token != m_session->OAuth2Token())
        m_session->setOAuth2Token(token);
}

void RenderTool::authFailed(const QString &token)
{
    if (m_allDone || isLocalFileJob())
        return;
    // A refused token is renewed by the account settings; the message is retried with
    // the new one.
    if (isOAuthJob()) {
        if (!token.isEmpty())
            m_refusedToken = token;
        AccountOAuth::shared().authFailed(token);
        return;
    }
    // A password account whose downloads are refused for credentials would only fail
    // every message twice: end the run now, as for a refused login.
    failIMAP(QStringLiteral("the server refused the account's credentials"));
}

void RenderTool::failIMAP(const QString &reason)
{
    if (m_allDone)
        return;
    setStatus(reason);
    TLog(QStringLiteral("job %1 ended: %2").arg(m_jobName, reason));
    cleanup();
    finish(Result::Outcome::Failed, reason);
}

void RenderTool::fetchFolderNames()
{
    if (m_allDone || !m_session)
        return;
    QPointer<RenderTool> self(this);
    m_imapOp = m_session->fetchAllFoldersOperation();
    m_imapOp->start([self](const MCOIMAPResult &result) {
        if (!self || self->m_allDone)
            return;
        self->m_imapOp = nullptr;
        self->m_allFolders.clear();
        self->m_foldersToFetch.clear();
        self->m_foldersBeingFetched.clear();
        if (result.error.isError()) {
            emit self->errorFolderNames(result.error.description,
                                        QStringLiteral("folder names could not be loaded for making PDFs"));
            TLog(QStringLiteral("Error downloading folder names:%1").arg(result.error.description));
            // Without folders the job would never end and would hold its render slot.
            self->failIMAP(result.error.localizedDescription());
            return;
        }
        const QStringList skip = self->m_options.value(JobKey::foldersToSkip).toStringList();
        for (const MCOIMAPFolder &folder : result.folders) {
            // Parents of a hierarchy that hold no mail of their own cannot be opened.
            if (!folder.isSelectable() || skip.contains(folder.path))
                continue;
            self->m_allFolders.insert(folder.path, folder);
            self->m_foldersToFetch.append(folder);
        }
        self->m_folderListDone = true;
    });
}

void RenderTool::renderTimerIMAP()
{
    if (!m_foldersToFetch.isEmpty() && m_foldersBeingFetched.isEmpty()) {
        const MCOIMAPFolder folder = m_foldersToFetch.takeLast();
        m_foldersBeingFetched.append(folder);
        setStatus(QStringLiteral("Getting headers: ") + MCOIMAPMailboxName::decodeModifiedUTF7(folder.path));
        const double all = double(m_allFolders.size());
        m_fractionDone = (all - double(m_foldersToFetch.size() + 1)) * 0.1 / all + 0.005;
        emit progressChanged();
        downloadHeaders(folder);
    }
    if (!m_foldersToFetch.isEmpty() || !m_foldersBeingFetched.isEmpty() || !m_folderListDone) {
        checkForAllDone();
        return;
    }
    const qint64 handedOutBefore = m_numEmailsArchived;
    if (m_totalEmailCount > 0) {
        setStatus(QStringLiteral("Archiving\u2026 %d of %d scanned, %d new"));
        m_fractionDone = double(m_numEmailsArchived) * 0.8 / double(m_totalEmailCount) + 0.15;
    }
    recordFailedMessages();
    dispatch();
    if (!checkForAllDone() && m_numEmailsArchived != handedOutBefore)
        emit progressChanged();
}

void RenderTool::downloadHeaders(const MCOIMAPFolder &folder)
{
    QPointer<RenderTool> self(this);
    m_imapOp = m_session->folderInfoOperation(folder.path);
    m_imapOp->start([self, folder](const MCOIMAPResult &result) {
        if (!self || self->m_allDone)
            return;
        self->m_imapOp = nullptr;
        if (result.error.isError()) {
            if (isRefusal(result.error))
                return self->failIMAP(result.error.localizedDescription());
            TLog(QStringLiteral("Error downloading message headers for folder :%1 , error:%2")
                     .arg(folder.path, result.error.description));
            self->setStatus(result.error.localizedDescription());
        } else if (result.info.messageCount > 0) {
            self->m_headerChunksToDownload += headerChunksForFolder(folder, result.info.messageCount);
            self->downloadNextChunkofHeaders();
            return;
        }
        self->updateFoldersBeingFetched(folder);
    });
}

void RenderTool::downloadNextChunkofHeaders()
{
    if (m_headerChunksToDownload.isEmpty() || m_allDone)
        return;
    const HeaderChunk chunk = m_headerChunksToDownload.last();
    QPointer<RenderTool> self(this);
    m_imapOp = m_session->fetchMessagesByNumberOperation(chunk.folder.path, chunk.start, chunk.start + chunk.numToFetch);
    m_imapOp->start([self, chunk](const MCOIMAPResult &result) {
        if (!self || self->m_allDone)
            return;
        self->m_imapOp = nullptr;
        if (result.error.isError()) {
            TLog(QStringLiteral("Error downloading message headers for folder :%1 , error:%2")
                     .arg(chunk.folder.path, result.error.description));
            if (isRefusal(result.error))
                return self->failIMAP(result.error.localizedDescription());
            self->setStatus(result.error.localizedDescription());
            if (!chunk.retried) {
                // Once more on a new connection: a dropped connection or a server that
                // restarted should not leave up to 5000 messages out of the run.
                self->m_headerChunksToDownload.last().retried = true;
                self->m_session->disconnectOperation();
                self->downloadNextChunkofHeaders();
                return;
            }
            const quint32 end = qMin(chunk.start + chunk.numToFetch, chunk.folderSize);
            self->m_unlisted += end >= chunk.start ? qint64(end - chunk.start + 1) : 0;
            self->m_unlistedError = result.error.localizedDescription();
        }
        self->m_headerChunksToDownload.removeLast();
        QSet<quint32> &listed = self->m_listedUIDs[chunk.folder.path];
        QList<std::shared_ptr<MCOIMAPMessage>> fresh;
        for (const auto &message : result.messages) {
            if (!listed.contains(message->uid())) {
                listed.insert(message->uid());
                fresh.append(message);
            }
        }
        if (!fresh.isEmpty()) {
            self->m_fetchedHeaders[chunk.folder.path] += fresh;
            self->m_totalEmailCount += fresh.size();
        }
        self->downloadNextChunkofHeaders();
        self->updateFoldersBeingFetched(chunk.folder);
    });
}

void RenderTool::updateFoldersBeingFetched(const MCOIMAPFolder &folder)
{
    for (const HeaderChunk &chunk : std::as_const(m_headerChunksToDownload)) {
        if (chunk.folder.path == folder.path)
            return;
    }
    for (qsizetype i = 0; i < m_foldersBeingFetched.size(); ++i) {
        if (m_foldersBeingFetched[i].path == folder.path) {
            m_foldersBeingFetched.removeAt(i);
            break;
        }
    }
}

QString RenderTool::mailFolderFor(const QString &path) const
{
    const auto it = m_allFolders.constFind(path);
    return MCOIMAPMailboxName::mailFolderForPath(path, it == m_allFolders.constEnd() ? QChar() : it->delimiter);
}

bool RenderTool::tryARender(MessageToHTMLToPDF &engine)
{
    const QString mainFolder = getMainFolder();
    // The token before every hand-out. While the session still holds a token that the
    // server refused, nothing is handed out: the message would only fail again, and a
    // retried message that fails is given up. The renewal brings the next one.
    refreshToken();
    if (isOAuthJob() && !m_refusedToken.isEmpty() && m_session && m_session->OAuth2Token() == m_refusedToken)
        return false;
    if (!m_fetchedHeaders.isEmpty()) {
        const auto last = std::prev(m_fetchedHeaders.end());
        const QString path = last.key();
        const std::shared_ptr<MCOIMAPMessage> header = last.value().takeLast();
        if (last.value().isEmpty())
            m_fetchedHeaders.erase(last);
        ++m_numEmailsArchived;
        engine.startRender(header, mainFolder, mailFolderFor(path), m_session, false, m_jobName, QString());
        return true;
    }
    if (!m_failedMessages.isEmpty()) {
        const FailureRecord record = m_failedMessages.takeLast();
        engine.startRender(record.message, mainFolder, record.mailFolder, m_session, true, m_jobName, QString());
        return true;
    }
    return false;
}
