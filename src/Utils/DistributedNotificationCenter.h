#pragma once
// DistributedNotificationCenter: notifications between the processes of one front end
// (the front end and its renderboxes), each a name and a short string object.
//
// They travel as one D-Bus signal on the session bus, so every process connected to the
// same bus sees every notification and filters by name and object itself. A front end
// that must not meet another one's renderboxes gives itself its own bus (see
// PrivateSessionBus): the bus is the scope of "rb_quit_all" and of the PDF counts.
//
// Posting never blocks; without a reachable bus, posts and observers do nothing (logged
// once), which keeps tests and tools that need no other process working.

#include <QHash>
#include <QObject>
#include <QString>

#include <functional>

class DistributedNotificationCenter : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const QString &name, const QString &object)>;

    // The process's center, on the session bus of DBUS_SESSION_BUS_ADDRESS as it is when
    // first used. Main thread only.
    static DistributedNotificationCenter &defaultCenter();

    // Sends at once; delivered to every observer of every process on the bus, this one
    // included.
    void postNotificationName(const QString &name, const QString &object);

    // Calls `handler` for notifications named `name` whose object equals `object`, or
    // any object when `object` is null. The observation ends with removeObserver or when
    // `context` is destroyed. Returns a token for removeObserver.
    int addObserver(const QString &name, const QString &object, QObject *context, Handler handler);
    void removeObserver(int token);

    // Whether the bus could be reached.
    bool isConnected() const { return m_connected; }

private slots:
    void handleSignal(const QString &name, const QString &object);

private:
    DistributedNotificationCenter();

    struct Observer {
        QString name;
        QString object;
        QObject *context = nullptr;
        Handler handler;
    };
    QHash<int, Observer> m_observers;
    int m_nextToken = 1;
    bool m_connected = false;
};
