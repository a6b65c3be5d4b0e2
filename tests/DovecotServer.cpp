#include "DovecotServer.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

int freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool accepts(int port)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, quint16(port));
    return socket.waitForConnected(200);
}

void chownTree(const QString &path, unsigned uid, unsigned gid)
{
    [[maybe_unused]] const int r = ::chown(QFile::encodeName(path).constData(), uid, gid);
}

} // namespace

DovecotServer::DovecotServer() = default;

DovecotServer::~DovecotServer() { stop(); }

bool DovecotServer::canRun(QString *whyNot)
{
    if (QStandardPaths::findExecutable(QStringLiteral("dovecot"), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")})
            .isEmpty() ||
        QStandardPaths::findExecutable(QStringLiteral("openssl")).isEmpty()) {
        *whyNot = QStringLiteral("dovecot or openssl is not installed (scripts/install-deps.sh)");
        return false;
    }
    if (::geteuid() != 0) {
        *whyNot = QStringLiteral("Dovecot's mail and login users need root to be used");
        return false;
    }
    return true;
}

std::unique_ptr<DovecotServer> DovecotServer::startNew(QString *whyNot, QString *failure)
{
    if (!canRun(whyNot))
        return nullptr;
    auto server = std::make_unique<DovecotServer>();
    if (!server->start(failure))
        return nullptr;
    return server;
}

bool DovecotServer::makeCertificate(QString *failure)
{
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=localhost",
                   "-keyout", m_dir.filePath("key.pem"), "-out", m_dir.filePath("cert.pem")});
    if (!openssl.waitForFinished(60000) || openssl.exitCode() != 0) {
        *failure = QStringLiteral("openssl failed: %1").arg(QString::fromUtf8(openssl.readAllStandardError()));
        return false;
    }
    return true;
}

void DovecotServer::writeConfig()
{
    const QString t = m_dir.path();
    QFile f(m_dir.filePath("dovecot.conf"));
    f.open(QIODevice::WriteOnly | QIODevice::Truncate);
    f.write(QStringLiteral(R"(base_dir = %1/run
state_dir = %1/state
log_path = %1/dovecot.log
protocols = imap
listen = 127.0.0.1
ssl = yes
ssl_cert = <%1/cert.pem
ssl_key = <%1/key.pem
disable_plaintext_auth = no
auth_mechanisms = plain login%6
default_login_user = dovenull
default_internal_user = dovecot
first_valid_uid = 1
mail_location = maildir:~/Maildir
mail_plugins = notify mail_log
log_debug = category=imap
%7passdb {
  driver = passwd-file
  args = scheme=PLAIN username_format=%u %1/passwd
}
userdb {
  driver = static
  args = uid=%4 gid=%5 home=%1/home/%u
}
service imap-login {
  chroot =
  inet_listener imap {
    address = 127.0.0.1
    port = %2
  }
  inet_listener imaps {
    address = 127.0.0.1
    port = %3
    ssl = yes
  }
}
service anvil {
  chroot =
}
plugin {
  mail_log_events = delete undelete expunge copy mailbox_delete mailbox_rename flag_change save
  mail_log_fields = uid box msgid flags
}
)")
                .arg(t)
                .arg(m_plainPort)
                .arg(m_tlsPort)
                .arg(m_mailUid)
                .arg(m_mailGid)
                .arg(m_introspectionURL.isEmpty() ? QString() : QStringLiteral(" xoauth2 oauthbearer"))
                .arg(m_introspectionURL.isEmpty()
                         ? QString()
                         : QStringLiteral("passdb {\n  driver = oauth2\n  mechanisms = xoauth2 oauthbearer\n"
                                          "  args = %1/oauth2.conf.ext\n}\n")
                               .arg(t))
                .toUtf8());
    if (!m_introspectionURL.isEmpty()) {
        QFile oauth(m_dir.filePath("oauth2.conf.ext"));
        oauth.open(QIODevice::WriteOnly | QIODevice::Truncate);
        oauth.write(QStringLiteral("introspection_mode = post\nintrospection_url = %1\nforce_introspection = yes\n"
                                   "username_attribute = email\nactive_attribute = active\nactive_value = true\n")
                        .arg(m_introspectionURL)
                        .toUtf8());
    }
}

bool DovecotServer::start(QString *failure)
{
    if (!m_dir.isValid()) {
        *failure = QStringLiteral("no temporary folder");
        return false;
    }
    // Dovecot's processes run as its own users; they must reach the folder.
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                            QFileDevice::ReadOther | QFileDevice::ExeOther |
                                            QFileDevice::ReadGroup | QFileDevice::ExeGroup);
    if (const passwd *pw = ::getpwnam("dovecot")) {
        m_mailUid = pw->pw_uid;
        m_mailGid = pw->pw_gid;
    }
    QDir(m_dir.path()).mkpath(QStringLiteral("home"));
    chownTree(m_dir.filePath("home"), m_mailUid, m_mailGid);
    if (!QFile::exists(m_dir.filePath("cert.pem")) && !makeCertificate(failure))
        return false;
    if (!QFile::exists(m_dir.filePath("passwd"))) {
        QFile passwd(m_dir.filePath("passwd"));
        passwd.open(QIODevice::WriteOnly);
    }
    if (m_plainPort == 0) {
        m_plainPort = freePort();
        m_tlsPort = freePort();
    }
    writeConfig();
    m_master = std::make_unique<QProcess>();
    m_master->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_master->start(QStringLiteral("dovecot"), {"-F", "-c", m_dir.filePath("dovecot.conf")});
    if (!m_master->waitForStarted(10000)) {
        *failure = QStringLiteral("dovecot did not start");
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if (accepts(m_plainPort) && accepts(m_tlsPort))
            return true;
        if (m_master->state() == QProcess::NotRunning)
            break;
        QThread::msleep(100);
    }
    *failure = QStringLiteral("dovecot does not listen: %1").arg(log());
    return false;
}

void DovecotServer::stop()
{
    if (!m_master)
        return;
    m_master->terminate();
    if (!m_master->waitForFinished(10000))
        m_master->kill();
    m_master->waitForFinished(5000);
    m_master.reset();
    // The master is gone when its ports close; its children follow it.
    for (int i = 0; i < 50 && (accepts(m_plainPort) || accepts(m_tlsPort)); ++i)
        QThread::msleep(100);
}

bool DovecotServer::isRunning() const { return m_master && m_master->state() == QProcess::Running; }

bool DovecotServer::renewCertificate(QString *failure)
{
    stop();
    return makeCertificate(failure) && start(failure);
}

void DovecotServer::addUser(const QString &email, const QString &password)
{
    QFile passwd(m_dir.filePath("passwd"));
    passwd.open(QIODevice::Append);
    passwd.write((email + QStringLiteral(":{PLAIN}") + password + QLatin1Char('\n')).toUtf8());
    createMailbox(email, QStringLiteral("INBOX"));
}

QString DovecotServer::maildir(const QString &email, const QString &mailbox) const
{
    const QString root = m_dir.filePath(QStringLiteral("home/%1/Maildir").arg(email));
    return mailbox == QLatin1String("INBOX") ? root : root + QStringLiteral("/.") + mailbox;
}

void DovecotServer::createMailbox(const QString &email, const QString &mailbox)
{
    const QString dir = maildir(email, mailbox);
    for (const char *sub : {"cur", "new", "tmp"})
        QDir().mkpath(dir + QLatin1Char('/') + QLatin1String(sub));
    if (mailbox != QLatin1String("INBOX")) {
        QFile marker(dir + QStringLiteral("/maildirfolder"));
        marker.open(QIODevice::WriteOnly);
    }
    // Every level from the user's home down belongs to the mail user.
    for (QString p = dir; p.startsWith(m_dir.filePath("home/")); p = QFileInfo(p).path()) {
        chownTree(p, m_mailUid, m_mailGid);
        for (const char *sub : {"cur", "new", "tmp", "maildirfolder"})
            chownTree(p + QLatin1Char('/') + QLatin1String(sub), m_mailUid, m_mailGid);
    }
}

void DovecotServer::writeMessage(const QString &email, const QString &mailbox, const QByteArray &rfc822)
{
    const QString path = maildir(email, mailbox) + QStringLiteral("/new/%1.M%2P%3.test").arg(1700000000 + m_counter).arg(m_counter).arg(::getpid());
    ++m_counter;
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(rfc822);
    f.close();
    chownTree(path, m_mailUid, m_mailGid);
}

bool DovecotServer::kickUser(const QString &email)
{
    QProcess doveadm;
    doveadm.start(QStringLiteral("doveadm"), {"-c", m_dir.filePath("dovecot.conf"), "kick", email});
    return doveadm.waitForFinished(10000) && doveadm.exitCode() == 0;
}

QString DovecotServer::log() const
{
    QFile f(m_dir.filePath("dovecot.log"));
    f.open(QIODevice::ReadOnly);
    return QString::fromUtf8(f.readAll());
}

int DovecotServer::countLogLines(const QString &text) const
{
    int n = 0;
    for (const QString &line : log().split(QLatin1Char('\n')))
        n += line.contains(text) ? 1 : 0;
    return n;
}
