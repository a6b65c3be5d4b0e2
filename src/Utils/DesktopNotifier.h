#pragma once
// DesktopNotifier: a desktop notification (org.freedesktop.Notifications) when a job ends,
// with its PDF count or its error. Sent on the user's own session bus, which the caller
// names before anything points this process's session bus elsewhere; without a bus or a
// notification service the notice is dropped quietly.

#include <QDBusConnection>
#include <QString>

class DesktopNotifier {
public:
    // `busAddress`: the user's session bus; empty means none.
    explicit DesktopNotifier(const QString &busAddress);
    ~DesktopNotifier();

    // "Tarnwick: NAME archived" with "N PDFs added", or the failure's reason.
    void jobEnded(const QString &jobName, bool failed, qint64 pdfsAdded, const QString &reason);
    // The notice as sent: summary and body.
    static QPair<QString, QString> texts(const QString &jobName, bool failed, qint64 pdfsAdded, const QString &reason);

private:
    QString m_connectionName;
    bool m_connected = false;
};
