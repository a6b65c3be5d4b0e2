#pragma once
// SleepInhibitor: keeps the computer from sleeping when idle while jobs run, through
// systemd-logind's "sleep:idle" inhibitor lock on the system bus (what the original
// platform's power assertion does). The lock is a file descriptor that logind watches:
// closing it, or the process ending, releases it. Where no logind answers (containers,
// other init systems), the first failure is logged once and no further attempt is made.

#include <QDBusUnixFileDescriptor>
#include <QString>

class SleepInhibitor {
public:
    SleepInhibitor() = default;
    ~SleepInhibitor() { release(); }
    SleepInhibitor(const SleepInhibitor &) = delete;
    SleepInhibitor &operator=(const SleepInhibitor &) = delete;

    // Takes the lock when `busy` and none is held; releases it when not `busy`.
    void update(bool busy);
    bool held() const { return m_lock.isValid(); }
    void release() { m_lock = QDBusUnixFileDescriptor(); }

private:
    QDBusUnixFileDescriptor m_lock;
    bool m_failed = false;
};
