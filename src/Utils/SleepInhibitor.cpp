#include "Utils/SleepInhibitor.h"

#include "Utils/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>

void SleepInhibitor::update(bool busy)
{
    if (!busy) {
        release();
        return;
    }
    if (held() || m_failed)
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
        QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("Inhibit"));
    call << QStringLiteral("sleep:idle") << QStringLiteral("Tarnwick") << QStringLiteral("Tarnwick busy archiving Email")
         << QStringLiteral("block");
    // A short wait on the system bus, once per busy spell.
    const QDBusReply<QDBusUnixFileDescriptor> reply = QDBusConnection::systemBus().call(call, QDBus::Block, 2000);
    if (reply.isValid() && reply.value().isValid()) {
        m_lock = reply.value();
        return;
    }
    m_failed = true;
    TLog(QStringLiteral("Could not keep the computer awake (no logind inhibitor: %1)").arg(reply.error().message()));
}
