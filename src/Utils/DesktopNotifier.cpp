#include "Utils/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QFileInfo>
#include <QVariantMap>

DesktopNotifier::DesktopNotifier(const QString &busAddress)
    : m_connectionName(QStringLiteral("tarnwick-notifications"))
{
    if (busAddress.isEmpty())
        return;
    m_connected = QDBusConnection::connectToBus(busAddress, m_connectionName).isConnected();
}

DesktopNotifier::~DesktopNotifier() { QDBusConnection::disconnectFromBus(m_connectionName); }

QPair<QString, QString> DesktopNotifier::texts(const QString &jobName, bool failed, qint64 pdfsAdded,
                                               const QString &reason)
{
    const QString name = jobName.startsWith(QLatin1Char('/')) ? QFileInfo(jobName).fileName() : jobName;
    if (failed)
        return {QStringLiteral("Tarnwick: %1 not archived").arg(name), reason};
    return {QStringLiteral("Tarnwick: %1 archived").arg(name),
            pdfsAdded == 1 ? QStringLiteral("1 PDF added") : QStringLiteral("%1 PDFs added").arg(pdfsAdded)};
}

void DesktopNotifier::jobEnded(const QString &jobName, bool failed, qint64 pdfsAdded, const QString &reason)
{
    if (!m_connected)
        return;
    const auto [summary, body] = texts(jobName, failed, pdfsAdded, reason);
    QDBusMessage notify = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    notify << QStringLiteral("Tarnwick") << uint(0) << QStringLiteral("tarnwick") << summary << body << QStringList()
           << QVariantMap() << int(-1);
    // Fire and forget: no desktop, no notice.
    QDBusConnection(m_connectionName).asyncCall(notify);
}
