#include "Utils/CrashReports.h"

#include <QDir>
#include <QFile>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// Prepared before any crash: the handler may only use async-signal-safe calls.
char g_reportPath[4096];
char g_user[32];

void writeText(int fd, const char *text) { [[maybe_unused]] const ssize_t n = ::write(fd, text, std::strlen(text)); }

void crashed(int signo)
{
    const int fd = ::open(g_reportPath, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd >= 0) {
        writeText(fd, "Tarnwick crashed: ");
        writeText(fd, signo == SIGSEGV ? "SIGSEGV" : signo == SIGBUS ? "SIGBUS" : signo == SIGABRT ? "SIGABRT"
                      : signo == SIGFPE ? "SIGFPE" : "SIGILL");
        writeText(fd, "\nversion " TARNWICK_VERSION "\nuser ");
        writeText(fd, g_user);
        writeText(fd, "\nstack:\n");
        void *frames[64];
        const int count = ::backtrace(frames, 64);
        ::backtrace_symbols_fd(frames, count, fd);
        ::close(fd);
        // A renderbox's front end logs its standard error: say where the report went.
        writeText(STDERR_FILENO, "crash report written to ");
        writeText(STDERR_FILENO, g_reportPath);
        writeText(STDERR_FILENO, "\n");
    }
    ::signal(signo, SIG_DFL);
    ::raise(signo);
}

} // namespace

QString CrashReports::folder()
{
    QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (state.isEmpty())
        state = QDir::homePath() + QStringLiteral("/.local/state");
    return state + QStringLiteral("/Tarnwick/crashes");
}

bool CrashReports::install(const QString &folderPath, const char *user)
{
    if (std::strlen(user) >= sizeof g_user)
        return false;
    std::memcpy(g_user, user, std::strlen(user) + 1);
    if (!QDir().mkpath(folderPath))
        return false;
    QFile::setPermissions(folderPath, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QByteArray path =
        QFile::encodeName(folderPath + QStringLiteral("/crash-%1-%2.txt").arg(::getpid()).arg(::time(nullptr)));
    if (size_t(path.size()) >= sizeof g_reportPath)
        return false;
    std::memcpy(g_reportPath, path.constData(), size_t(path.size()) + 1);
    for (int signo : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        ::signal(signo, crashed);
    return true;
}
