#include "Utils/DistributedNotificationCenter.h"

#include "Utils/Log.h"

#include <QDBusConnection>
#include <QDBusMessage>

namespace {

const QString kPath = QStringLiteral("/org/tarnwick/Notifications");
const QString kInterface = QStringLiteral("org.tarnwick.Notifications");
const QString kMember = QStringLiteral("Notify");

} // namespace

DistributedNotificationCenter &DistributedNotificationCenter::defaultCenter()
{
    // Never destroyed: observers may be removed from destructors that run at exit.
    static auto *center = new DistributedNotificationCenter();
    return *center;
}

DistributedNotificationCenter::DistributedNotificationCenter()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_connected = bus.isConnected() &&
                  bus.connect(QString(), kPath, kInterface, kMember, this, SLOT(handleSignal(QString, QString)));
    if (!m_connected)
        TLog(QStringLiteral("No D-Bus session bus: notifications between processes are off (%1)")
                 .arg(bus.lastError().message()));
}

void DistributedNotificationCenter::postNotificationName(const QString &name, const QString &object)
{
    if (!m_connected)
        return;
    QDBusMessage signal = QDBusMessage::createSignal(kPath, kInterface, kMember);
    signal << name << object;
    QDBusConnection::sessionBus().send(signal);
}

int DistributedNotificationCenter::addObserver(const QString &name, const QString &object, QObject *context,
                                               Handler handler)
{
    const int token = m_nextToken++;
    m_observers.insert(token, Observer{name, object, context, std::move(handler)});
    if (context)
        connect(context, &QObject::destroyed, this, [this, token] { m_observers.remove(token); });
    return token;
}

void DistributedNotificationCenter::removeObserver(int token) { m_observers.remove(token); }

void DistributedNotificationCenter::handleSignal(const QString &name, const QString &object)
{
    // Handlers may add or remove observers: call a snapshot, skipping the removed ones.
    QList<int> matching;
    for (auto it = m_observers.cbegin(); it != m_observers.cend(); ++it) {
        if (it->name == name && (it->object.isNull() || it->object == object))
            matching.append(it.key());
    }
    for (int token : matching) {
        const auto it = m_observers.constFind(token);
        if (it == m_observers.constEnd())
            continue;
        const Handler handler = it->handler;
        handler(name, object);
    }
}
