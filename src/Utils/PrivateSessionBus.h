#pragma once
// PrivateSessionBus: a D-Bus session bus of our own, for one command-line run and the
// renderboxes it starts.
//
// A command-line job and a desktop instance may run side by side; on a shared bus the
// desktop's "rb_quit_all" at quit would stop the command line's renderboxes too, and
// each would count the other's PDFs. A bus per run keeps them apart, and gives headless
// runs (SSH, cron, CI) a bus where there is none.

#include <QString>

#include <memory>

class QProcess;

class PrivateSessionBus {
public:
    PrivateSessionBus();
    // Stops the bus daemon and restores the previous DBUS_SESSION_BUS_ADDRESS.
    ~PrivateSessionBus();
    PrivateSessionBus(const PrivateSessionBus &) = delete;
    PrivateSessionBus &operator=(const PrivateSessionBus &) = delete;

    // Starts `dbus-daemon` and points DBUS_SESSION_BUS_ADDRESS of this process (and so
    // of the processes it starts) at it. Must run before the first use of the session
    // bus in this process. False with `error` set when the daemon cannot be started.
    bool start(QString *error);
    QString address() const { return m_address; }

private:
    std::unique_ptr<QProcess> m_daemon;
    QString m_address;
    QByteArray m_previousAddress;
    bool m_hadPrevious = false;
};
