#include "SecretServiceSession.h"

#pragma push_macro("signals")
#undef signals
#include <gio/gio.h>
#pragma pop_macro("signals")

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

#include <csignal>
#include <sys/prctl.h>

namespace {

// Readiness waits only: a service that needs longer than this is broken, not slow.
constexpr int kStartDeadlineMs = 60000;

const char *kBusConfig = R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=%1</listen>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

SecretServiceSession *gSession = nullptr;

// The services end with the test process even when it dies without cleaning up.
void endWithParent(QProcess &process)
{
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
}

class StopAtTheEnd : public ::testing::Environment {
public:
    void TearDown() override
    {
        delete gSession;
        gSession = nullptr;
    }
};

[[maybe_unused]] ::testing::Environment *const gStopper = ::testing::AddGlobalTestEnvironment(new StopAtTheEnd);

} // namespace

PrivateTestBus::PrivateTestBus() = default;

PrivateTestBus::~PrivateTestBus()
{
    if (m_daemon) {
        m_daemon->kill();
        m_daemon->waitForFinished(5000);
    }
}

bool PrivateTestBus::start(QString *error)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty() || !m_dir.isValid()) {
        *error = QStringLiteral("dbus-daemon is not installed");
        return false;
    }
    // No service folder with anything in it: nothing is started on this bus by activation,
    // in particular no Secret Service that the test did not start itself.
    QDir(m_dir.path()).mkpath(QStringLiteral("services"));
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    config.open(QIODevice::WriteOnly);
    config.write(QString::fromLatin1(kBusConfig).arg(m_dir.path(), m_dir.filePath(QStringLiteral("services"))).toUtf8());
    config.close();
    m_daemon = std::make_unique<QProcess>();
    endWithParent(*m_daemon);
    m_daemon->start(program, {QStringLiteral("--config-file=") + config.fileName(), QStringLiteral("--nofork"),
                              QStringLiteral("--print-address=1")});
    QDeadlineTimer deadline(kStartDeadlineMs);
    while (!m_daemon->canReadLine() && !deadline.hasExpired())
        if (!m_daemon->waitForReadyRead(1000) && m_daemon->state() != QProcess::Running)
            break;
    m_address = QString::fromUtf8(m_daemon->readLine()).trimmed();
    if (m_address.isEmpty()) {
        *error = QStringLiteral("dbus-daemon did not start: %1").arg(QString::fromUtf8(m_daemon->readAllStandardError()));
        return false;
    }
    return true;
}

SecretServiceSession *SecretServiceSession::shared(QString *whyNot, QString *failure)
{
    static bool tried = false;
    static QString skipReason, failed;
    if (!tried) {
        tried = true;
        if (QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")).isEmpty())
            skipReason = QStringLiteral("gnome-keyring-daemon is not installed (Debian package gnome-keyring)");
        else if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
            skipReason = QStringLiteral("dbus-daemon is not installed (Debian package dbus-daemon)");
        else {
            auto *session = new SecretServiceSession;
            if (session->start(&failed, true))
                gSession = session;
            else
                delete session;
        }
    }
    *whyNot = skipReason;
    *failure = failed;
    return gSession;
}

std::unique_ptr<SecretServiceSession> SecretServiceSession::startPrivate(QString *failure)
{
    std::unique_ptr<SecretServiceSession> session(new SecretServiceSession);
    if (!session->start(failure, false))
        return nullptr;
    return session;
}

bool SecretServiceSession::lockDefaultKeyring() const
{
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress(), QStringLiteral("tarnwick-test ") + busAddress());
    const auto call = [&](const QString &method, const QVariant &argument) {
        QDBusMessage m = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
                                                        QStringLiteral("/org/freedesktop/secrets"),
                                                        QStringLiteral("org.freedesktop.Secret.Service"), method);
        m << argument;
        return bus.call(m);
    };
    const QDBusMessage alias = call(QStringLiteral("ReadAlias"), QStringLiteral("default"));
    if (alias.type() != QDBusMessage::ReplyMessage || alias.arguments().isEmpty())
        return false;
    const QDBusObjectPath collection = alias.arguments().first().value<QDBusObjectPath>();
    const QDBusMessage locked = call(QStringLiteral("Lock"), QVariant::fromValue(QList<QDBusObjectPath>{collection}));
    if (locked.type() != QDBusMessage::ReplyMessage || locked.arguments().isEmpty())
        return false;
    QList<QDBusObjectPath> paths;
    const QVariant first = locked.arguments().first();
    if (first.canConvert<QDBusArgument>())
        first.value<QDBusArgument>() >> paths;
    else
        paths = first.value<QList<QDBusObjectPath>>();
    return paths.contains(collection);
}

bool SecretServiceSession::start(QString *failure, bool forThisProcess)
{
    if (!m_home.isValid() || !m_bus.start(failure))
        return false;
    for (const char *sub : {"data", "config", "cache", "runtime"})
        QDir(m_home.path()).mkpath(QString::fromLatin1(sub));
    QFile::setPermissions(m_home.filePath(QStringLiteral("runtime")),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);

    m_keyring = std::make_unique<QProcess>();
    m_keyring->setProcessEnvironment(environmentFor(m_home.filePath(QStringLiteral("config"))));
    m_keyring->setProcessChannelMode(QProcess::MergedChannels);
    endWithParent(*m_keyring);
    m_keyring->start(QStandardPaths::findExecutable(QStringLiteral("gnome-keyring-daemon")),
                     {QStringLiteral("--foreground"), QStringLiteral("--unlock"), QStringLiteral("--components=secrets")});
    if (!m_keyring->waitForStarted(kStartDeadlineMs)) {
        *failure = QStringLiteral("gnome-keyring-daemon did not start");
        return false;
    }
    // --unlock reads the login keyring's password from standard input; the keyring is made
    // with it and unlocked.
    // (No event loop runs here: the write is pushed out before the channel is closed.)
    m_keyring->write("test-keyring-password");
    m_keyring->waitForBytesWritten(kStartDeadlineMs);
    m_keyring->closeWriteChannel();

    QDBusConnection bus = QDBusConnection::connectToBus(busAddress(), QStringLiteral("tarnwick-test ") + busAddress());
    QDeadlineTimer deadline(kStartDeadlineMs);
    bool ready = false;

    while (!ready && !deadline.hasExpired() && m_keyring->state() == QProcess::Running) {
        if (bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.secrets"))) {
            QDBusMessage call = QDBusMessage::createMethodCall(
                QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
                QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("ReadAlias"));
            call << QStringLiteral("default");
            const QDBusReply<QDBusObjectPath> alias = bus.call(call);
            ready = alias.isValid() && alias.value().path() != QLatin1String("/");

        }
        if (!ready)
            QThread::msleep(50);

    }
    if (!ready) {
        m_keyring->waitForReadyRead(100);
        *failure = QStringLiteral("gnome-keyring-daemon did not offer an unlocked default keyring: %1")
                       .arg(QString::fromUtf8(m_keyring->readAll()));
        return false;
    }

    if (!forThisProcess)
        return true;
    qputenv("DBUS_SESSION_BUS_ADDRESS", busAddress().toUtf8());
    // The process-wide GDBus connection that libsecret uses ends the process when its bus
    // goes away; the bus goes at the end of the tests, which must still report.
    GError *error = nullptr;
    if (GDBusConnection *conn = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error)) {
        g_dbus_connection_set_exit_on_close(conn, FALSE);
        g_object_unref(conn);
    } else {
        *failure = QStringLiteral("cannot connect to the test bus: %1").arg(QString::fromUtf8(error->message));
        g_error_free(error);
        return false;
    }
    return true;
}

QProcessEnvironment SecretServiceSession::environmentFor(const QString &configHome) const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), busAddress());
    env.insert(QStringLiteral("HOME"), m_home.path());
    env.insert(QStringLiteral("XDG_DATA_HOME"), m_home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), m_home.filePath(QStringLiteral("cache")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_home.filePath(QStringLiteral("runtime")));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.remove(QStringLiteral("DISPLAY")); // no unlock prompt may pop up anywhere
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("TZ"), QStringLiteral("UTC"));
    return env;
}

int SecretServiceSession::countItems(const QString &service, const QString &account) const
{
    QDBusConnection bus = QDBusConnection::connectToBus(busAddress(), QStringLiteral("tarnwick-test ") + busAddress());
    QDBusMessage call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.secrets"),
                                                       QStringLiteral("/org/freedesktop/secrets"),
                                                       QStringLiteral("org.freedesktop.Secret.Service"),
                                                       QStringLiteral("SearchItems"));
    qDBusRegisterMetaType<QMap<QString, QString>>();
    QMap<QString, QString> attributes{{QStringLiteral("account"), account}};
    if (!service.isEmpty())
        attributes.insert(QStringLiteral("service"), service);
    call << QVariant::fromValue(attributes);
    const QDBusMessage reply = bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 2)
        return -1;
    int count = 0;
    for (const QVariant &list : reply.arguments()) {
        QList<QDBusObjectPath> paths;
        if (list.canConvert<QDBusArgument>())
            list.value<QDBusArgument>() >> paths;
        else
            paths = list.value<QList<QDBusObjectPath>>();
        count += int(paths.size());
    }
    return count;
}

void SecretServiceSession::stop()
{
    if (m_keyring) {
        m_keyring->terminate();
        if (!m_keyring->waitForFinished(10000))
            m_keyring->kill();
        m_keyring->waitForFinished(5000);
        m_keyring.reset();
    }
}

SecretServiceSession::~SecretServiceSession() { stop(); }
