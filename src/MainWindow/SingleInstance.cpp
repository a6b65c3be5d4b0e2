#include "MainWindow/SingleInstance.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

namespace {
const QString kService = QStringLiteral("org.tarnwick.Tarnwick");
const QString kPath = QStringLiteral("/org/tarnwick/Tarnwick");
} // namespace

SingleInstance::SingleInstance(const QString &userBusAddress, QObject *parent)
    : QObject(parent), m_connectionName(QStringLiteral("tarnwick-single-instance"))
{
    if (!userBusAddress.isEmpty())
        m_connected = QDBusConnection::connectToBus(userBusAddress, m_connectionName).isConnected();
}

SingleInstance::~SingleInstance() { QDBusConnection::disconnectFromBus(m_connectionName); }

bool SingleInstance::claimOrHandOver(const QStringList &paths, bool *noBus)
{
    *noBus = !m_connected;
    if (!m_connected)
        return true;
    QDBusConnection bus(m_connectionName);
    if (bus.registerService(kService)) {
        bus.registerObject(kPath, this, QDBusConnection::ExportScriptableSlots);
        return true;
    }
    const QDBusMessage call =
        paths.isEmpty()
            ? QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Activate"))
            : QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Open")) << paths;
    const QDBusMessage reply = bus.call(call, QDBus::Block, 5000);
    // The other instance did not answer (hung, or ending): this one runs after all.
    return reply.type() == QDBusMessage::ErrorMessage;
}

void SingleInstance::Activate()
{
    if (m_activate)
        m_activate();
}

void SingleInstance::Open(const QStringList &paths)
{
    if (m_open)
        m_open(paths);
    else if (m_activate)
        m_activate();
}
