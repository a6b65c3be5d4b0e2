#pragma once
// Real services for the password-store tests: a private D-Bus session bus (dbus-daemon
// with a configuration of our own, so nothing is activated on it by accident) and on it
// an unlocked gnome-keyring with HOME and the XDG folders in a temporary folder. The
// user's own keyring, bus and configuration are never touched.

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

#include <memory>

class QProcess;

// A dbus-daemon of our own; stopped when the object goes.
class PrivateTestBus {
public:
    PrivateTestBus();
    ~PrivateTestBus();
    // Starts the daemon; false with `error` set when it cannot be started.
    bool start(QString *error);
    QString address() const { return m_address; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_daemon;
    QString m_address;
};

class SecretServiceSession {
public:
    // The process-wide session, started on first use and stopped after the last test.
    // Points this process's session bus at it, so that FXKeychain here uses it. Null with
    // `whyNot` set when a needed program is not installed (the caller skips); a program
    // that is installed but fails is reported through `failure` (the caller fails).
    static SecretServiceSession *shared(QString *whyNot, QString *failure);

    QString busAddress() const { return m_bus.address(); }
    // The environment for a child process that should use this keyring, with its
    // configuration in `configHome`.
    QProcessEnvironment environmentFor(const QString &configHome) const;
    // Number of items on the keyring whose attributes include these.
    int countItems(const QString &service, const QString &account) const;

    // A session of its own for child processes only (this process's bus is left alone),
    // for tests that change the keyring's state. Null with `failure` set when it fails.
    static std::unique_ptr<SecretServiceSession> startPrivate(QString *failure);
    // Locks the default keyring, as a screen lock or a timeout does.
    bool lockDefaultKeyring() const;

    void stop();
    ~SecretServiceSession();

private:
    SecretServiceSession() = default;
    bool start(QString *failure, bool forThisProcess);

    QTemporaryDir m_home;
    PrivateTestBus m_bus;
    std::unique_ptr<QProcess> m_keyring;
};

#define REQUIRE_SECRET_SERVICE(session)                                                     \
    SecretServiceSession *session = nullptr;                                                \
    do {                                                                                    \
        QString whyNot_, failure_;                                                          \
        session = SecretServiceSession::shared(&whyNot_, &failure_);                        \
        if (!failure_.isEmpty())                                                            \
            FAIL() << failure_.toStdString();                                               \
        if (!session)                                                                       \
            GTEST_SKIP() << whyNot_.toStdString();                                          \
    } while (0)
