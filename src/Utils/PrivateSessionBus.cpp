#include "Utils/PrivateSessionBus.h"

#include <QProcess>
#include <QStandardPaths>

PrivateSessionBus::PrivateSessionBus() = default;

PrivateSessionBus::~PrivateSessionBus()
{
    if (m_daemon) {
        m_daemon->terminate();
        if (!m_daemon->waitForFinished(2000))
            m_daemon->kill();
        m_daemon->waitForFinished(1000);
    }
    if (m_address.isEmpty())
        return;
    if (m_hadPrevious)
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_previousAddress);
    else
        qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

bool PrivateSessionBus::start(QString *error)
{
    const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (program.isEmpty()) {
        if (error)
            *error = QStringLiteral("dbus-daemon not found (Debian package \"dbus\")");
        return false;
    }
    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProgram(program);
    // The session configuration listens on a private socket under the temporary folder;
    // the address is printed on standard output once the bus is ready.
    m_daemon->setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--nopidfile"),
                            QStringLiteral("--print-address=1")});
    m_daemon->setStandardErrorFile(QProcess::nullDevice());
    m_daemon->start();
    QByteArray line;
    if (m_daemon->waitForStarted(5000)) {
        while (!line.contains('\n') && m_daemon->waitForReadyRead(5000))
            line += m_daemon->readAllStandardOutput();
    }
    line = line.trimmed();
    if (line.isEmpty()) {
        if (error)
            *error = QStringLiteral("dbus-daemon did not start: %1").arg(m_daemon->errorString());
        m_daemon->kill();
        m_daemon->waitForFinished(1000);
        m_daemon.reset();
        return false;
    }
    m_hadPrevious = qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS");
    m_previousAddress = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    m_address = QString::fromUtf8(line);
    qputenv("DBUS_SESSION_BUS_ADDRESS", line);
    return true;
}
