// MCOIMAPSession: the main-thread face of one IMAP account, and the worker thread that
// runs its operations one after another over one libetpan connection.

#include "mailadapter/MCOIMAPSession.h"

#include "mailadapter/MCOIMAPConnection.h"
#include "mailadapter/MCOIMAPMessage.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QThread>

#include <sys/socket.h>

// What the session and its worker share; it outlives whichever goes first.
struct MCOIMAPSession::Shared {
    mutable QMutex mutex;
    Settings settings;
    std::shared_ptr<std::atomic<int>> socketFd = std::make_shared<std::atomic<int>>(-1);
    std::atomic<bool> closing{false};
};

namespace {

// Lives on the session's thread; owns the connection.
class Worker : public QObject {
public:
    Worker(MCOIMAPConnection *connection) : m_connection(connection) {}
    ~Worker() override { delete m_connection; }
    MCOIMAPConnection &connection() { return *m_connection; }

private:
    MCOIMAPConnection *m_connection;
};

} // namespace

bool MCOIMAPFolder::isSelectable() const
{
    for (const QString &flag : flags) {
        if (flag.compare(QLatin1String("\\Noselect"), Qt::CaseInsensitive) == 0 ||
            flag.compare(QLatin1String("\\NonExistent"), Qt::CaseInsensitive) == 0)
            return false;
    }
    return true;
}

// --- Operations ---------------------------------------------------------------------------

// A child of its session: operations not yet delivered go with it.
MCOIMAPOperation::MCOIMAPOperation(MCOIMAPSession *session, Work work)
    : QObject(session), m_session(session), m_work(std::move(work))
{
}

void MCOIMAPOperation::start(Handler handler)
{
    if (m_started)
        return;
    m_started = true;
    m_handler = std::move(handler);
    if (!m_session) {
        MCOIMAPResult result;
        result.error.code = MCOIMAPError::ErrorConnection;
        result.error.description = QStringLiteral("the IMAP session is gone");
        QPointer<MCOIMAPOperation> self(this);
        QMetaObject::invokeMethod(
            this, [self, result] { if (self) self->deliver(result); }, Qt::QueuedConnection);
        return;
    }
    m_session->enqueue(this);
}

void MCOIMAPOperation::cancel()
{
    m_cancelled = true;
    m_handler = nullptr;
    deleteLater();
}

void MCOIMAPOperation::deliver(const MCOIMAPResult &result)
{
    if (m_cancelled)
        return;
    // Once: the handler may start further operations, or cancel this one.
    Handler handler = std::exchange(m_handler, nullptr);
    m_cancelled = true;
    deleteLater();
    if (handler)
        handler(result);
}

// --- Session ------------------------------------------------------------------------------

MCOIMAPSession::MCOIMAPSession(QObject *parent) : QObject(parent), m_shared(std::make_shared<Shared>())
{
    std::weak_ptr<Shared> weakShared = m_shared;
    QPointer<MCOIMAPSession> self(this);
    auto *connection = new MCOIMAPConnection(
        [weakShared] {
            const auto shared = weakShared.lock();
            if (!shared)
                return Settings();
            QMutexLocker lock(&shared->mutex);
            return shared->settings;
        },
        [weakShared, self](const QString &sha256, bool verified) {
            if (const auto shared = weakShared.lock()) {
                QMutexLocker lock(&shared->mutex);
                shared->settings.pinnedCertificateSHA256 = sha256;
            }
            QMetaObject::invokeMethod(
                qApp,
                [self, sha256, verified] {
                    if (self)
                        emit self->certificateAccepted(sha256, verified);
                },
                Qt::QueuedConnection);
        },
        m_shared->socketFd);
    m_thread = new QThread;
    m_thread->setObjectName(QStringLiteral("IMAP worker"));
    m_worker = new Worker(connection);
    m_worker->moveToThread(m_thread);
    QObject::connect(m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    QObject::connect(m_thread, &QThread::finished, m_thread, &QObject::deleteLater);
    m_thread->start();
}

MCOIMAPSession::~MCOIMAPSession()
{
    m_shared->closing = true;
    // A worker blocked in a read would otherwise hold its thread until the timeout: cut
    // the socket under it. The worker and its thread then end and delete themselves;
    // nothing here waits for them.
    const int fd = m_shared->socketFd->load();
    if (fd >= 0)
        ::shutdown(fd, SHUT_RDWR);
    m_thread->quit();
}

MCOIMAPSession::Settings MCOIMAPSession::settings() const
{
    QMutexLocker lock(&m_shared->mutex);
    return m_shared->settings;
}

void MCOIMAPSession::withSettings(const std::function<void(Settings &)> &change)
{
    QMutexLocker lock(&m_shared->mutex);
    change(m_shared->settings);
}

QString MCOIMAPSession::fingerprintOf(const QByteArray &der)
{
    const QByteArray hex = QCryptographicHash::hash(der, QCryptographicHash::Sha256).toHex(':').toUpper();
    return QString::fromLatin1(hex);
}

MCOIMAPOperation *MCOIMAPSession::makeOperation(MCOIMAPOperation::Work work)
{
    return new MCOIMAPOperation(this, std::move(work));
}

void MCOIMAPSession::enqueue(MCOIMAPOperation *operation)
{
    QPointer<MCOIMAPOperation> op(operation);
    auto *worker = static_cast<Worker *>(m_worker);
    const std::shared_ptr<Shared> shared = m_shared;
    MCOIMAPOperation::Work work = operation->m_work;
    QMetaObject::invokeMethod(
        worker,
        [worker, shared, op, work] {
            if (shared->closing)
                return;
            MCOIMAPResult result = work(worker->connection());
            QMetaObject::invokeMethod(
                qApp,
                [op, shared, result = std::move(result)] {
                    if (op && !shared->closing)
                        op->deliver(result);
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void MCOIMAPSession::disconnectOperation()
{
    auto *worker = static_cast<Worker *>(m_worker);
    QMetaObject::invokeMethod(worker, [worker] { worker->connection().disconnect(); }, Qt::QueuedConnection);
}

MCOIMAPOperation *MCOIMAPSession::fetchAllFoldersOperation()
{
    return makeOperation([](MCOIMAPConnection &c) { return c.listFolders(); });
}

MCOIMAPOperation *MCOIMAPSession::folderInfoOperation(const QString &folder)
{
    return makeOperation([folder](MCOIMAPConnection &c) { return c.folderInfo(folder); });
}

MCOIMAPOperation *MCOIMAPSession::fetchMessagesByNumberOperation(const QString &folder, quint32 first, quint32 last)
{
    return makeOperation([=](MCOIMAPConnection &c) { return c.messagesByNumber(folder, first, last); });
}

MCOIMAPOperation *MCOIMAPSession::fetchMessageOperation(const QString &folder, quint32 uid)
{
    return makeOperation([=](MCOIMAPConnection &c) { return c.messageByUID(folder, uid); });
}

MCOIMAPOperation *MCOIMAPSession::fetchMessageAttachmentOperation(const QString &folder, quint32 uid,
                                                                  const QString &partID,
                                                                  MCOAbstractPart::Encoding encoding)
{
    return makeOperation([=](MCOIMAPConnection &c) { return c.partByUID(folder, uid, partID, encoding); });
}

MCOIMAPOperation *MCOIMAPSession::checkAccountOperation()
{
    return makeOperation([](MCOIMAPConnection &c) {
        MCOIMAPResult result;
        result.error = c.ensureConnected();
        return result;
    });
}

MCOIMAPOperation *MCOIMAPSession::fetchCertificateOperation()
{
    return makeOperation([](MCOIMAPConnection &c) { return c.certificateOnly(); });
}
