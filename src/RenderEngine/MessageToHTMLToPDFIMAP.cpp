// MessageToHTMLToPDF for messages listed on an IMAP server: the listed header tells where
// the outputs go and whether they exist; only a message that is not archived yet is
// downloaded whole, cleaned and parsed, and then takes the road of a local message.

#include "RenderEngine/MessageToHTMLToPDF.h"

#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "mailadapter/MCOIMAPMessage.h"
#include "mailadapter/MCOIMAPSession.h"
#include "mailadapter/MCOMessageParser.h"

namespace {

bool isCredentialsError(const MCOIMAPError &error)
{
    return error.code == MCOIMAPError::ErrorAuthentication ||
           error.description.contains(QLatin1String("authenticate"), Qt::CaseInsensitive) ||
           error.description.contains(QLatin1String("credentials"), Qt::CaseInsensitive);
}

} // namespace

void MessageToHTMLToPDF::cancelIMAPOperation()
{
    if (m_op)
        m_op->cancel();
    m_op = nullptr;
    for (const QPointer<MCOIMAPOperation> &op : std::as_const(m_partOps)) {
        if (op)
            op->cancel();
    }
    m_partOps.clear();
    m_attachmentsDownloading = 0;
}

void MessageToHTMLToPDF::startIMAPDownload(const std::shared_ptr<MCOIMAPMessage> &message, MCOIMAPSession *session,
                                           bool emlOnly, const QString &mailappAttachments)
{
    cancelIMAPOperation();
    const QString token = session->OAuth2Token();
    QPointer<MessageToHTMLToPDF> self(this);
    QPointer<MCOIMAPSession> guardedSession(session);
    MCOIMAPOperation *op = session->fetchMessageOperation(message->folder(), message->uid());
    m_op = op;
    op->start([self, message, guardedSession, token, emlOnly, mailappAttachments](const MCOIMAPResult &result) {
        if (!self)
            return;
        self->m_op = nullptr;
        if (result.error.isError() || result.data.isEmpty()) {
            const bool credentials = isCredentialsError(result.error);
            if (credentials) {
                TLog(QStringLiteral("Credentials failed, getting new ones."));
                emit self->sessionCredsFailed(token);
                if (!self)
                    return;
            }
            self->imapDownloadFailed(message,
                                     result.error.isError() ? result.error.description : QStringLiteral("no data"),
                                     credentials);
            return;
        }
        self->imapDownloaded(result.data, guardedSession, emlOnly, mailappAttachments);
    });
}

void MessageToHTMLToPDF::imapDownloadFailed(const std::shared_ptr<MCOIMAPMessage> &message, const QString &errorText,
                                            bool credentials)
{
    Q_UNUSED(credentials);
    // Also for .eml-only jobs: a message whose download failed is tried once more at the
    // end of the job and else listed in "Errors.txt", not forgotten.
    if (!m_isRetry && !m_failedMessage && message && !m_mailFolder.isNull())
        m_failedMessage = FailureRecord{message, m_mailFolder, QString()};
    TLog(QStringLiteral("IMAP to eml message download failed to get any data: error %1, message %2")
             .arg(errorText, message ? message->header().subject() : QString()));
    releaseClaim();
    m_busyRendering = false;
    emit messageFinished();
}

void MessageToHTMLToPDF::imapDownloaded(const QByteArray &data, MCOIMAPSession *session, bool emlOnly,
                                        const QString &mailappAttachments)
{
    const std::shared_ptr<MCOMessageParser> parsed = LocalMailFiles::messageWithRawData(data);
    m_currentMessage = parsed;
    // Placed again from its own bytes; with the same Message-ID this is the place its
    // header was given, so the claim simply moves to the parsed message.
    bool archived = false;
    setOutputIndex(placeMessage(*parsed, emlOnly ? JobKey::emlFormat : JobKey::pdfFormat, &archived));
    if (archived) {
        m_busyRendering = false;
        emit messageFinished();
        return;
    }
    if (!emlOnly) {
        proceedToRender(parsed, m_mainFolder, m_mailFolder, session, mailappAttachments);
        return;
    }
    startOnAttachmentsFolder(parsed, m_mainFolder, m_mailFolder, session, mailappAttachments);
    incrementPDFCount();
    writeEMLMessage(parsed, session); // ends the message
}

void MessageToHTMLToPDF::writeEMLMessageFromServer(const std::shared_ptr<MCOIMAPMessage> &message,
                                                   MCOIMAPSession *session, const QString &path)
{
    cancelIMAPOperation();
    QPointer<MessageToHTMLToPDF> self(this);
    MCOIMAPOperation *op = session->fetchMessageOperation(message->folder(), message->uid());
    m_op = op;
    op->start([self, path](const MCOIMAPResult &result) {
        if (!self)
            return;
        self->m_op = nullptr;
        QString error;
        if (result.error.isError() || result.data.isEmpty())
            error = result.error.isError() ? result.error.description : QStringLiteral("no data");
        else if (writeFileAtomically(path, result.data, &error))
            storeMessageIdentity(path, messageIdentity(*LocalMailFiles::messageWithRawData(result.data)));
        if (!error.isEmpty())
            TLog(QStringLiteral("failed to write EML - %1").arg(error));
        self->doneMakingPDF_EML_Attachments();
    });
}
