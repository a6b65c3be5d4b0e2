#include "TarnwickApp/PasswordInput.h"

#include <QByteArray>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <termios.h>
#include <unistd.h>

namespace {

constexpr qsizetype kMaxPasswordBytes = 4096;

// The terminal state to restore from a signal handler; only async-signal-safe calls
// touch it there.
termios gSavedTerminal;
volatile sig_atomic_t gEchoOff = 0;

void restoreAndReraise(int sig)
{
    if (gEchoOff)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
    (void)!::write(STDERR_FILENO, "\n", 1);
    std::signal(sig, SIG_DFL);
    std::raise(sig);
}

// Reads up to a line break or the end of input; the buffer is wiped as it is copied.
std::optional<QByteArray> readLine(int fd)
{
    QByteArray line;
    char c = 0;
    bool any = false;
    for (;;) {
        const ssize_t n = ::read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        any = true;
        if (c == '\n')
            break;
        if (line.size() < kMaxPasswordBytes)
            line.append(c);
    }
    c = 0;
    if (!any)
        return std::nullopt;
    if (line.endsWith('\r'))
        line.chop(1);
    return line;
}

QString takeString(QByteArray &bytes)
{
    QString text = QString::fromUtf8(bytes);
    bytes.fill('\0');
    return text;
}

} // namespace

namespace PasswordInput {

bool standardInputIsTerminal() { return ::isatty(STDIN_FILENO) == 1; }

std::optional<QString> promptOnTerminal(const QString &prompt)
{
    if (!standardInputIsTerminal() || ::tcgetattr(STDIN_FILENO, &gSavedTerminal) != 0)
        return std::nullopt;
    termios quiet = gSavedTerminal;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ECHONL;
    const auto oldInt = std::signal(SIGINT, restoreAndReraise);
    const auto oldTerm = std::signal(SIGTERM, restoreAndReraise);
    const auto oldHup = std::signal(SIGHUP, restoreAndReraise);
    gEchoOff = 1;
    // Echo goes off before the prompt shows: the terminal echoes keys as they are typed,
    // so a quick typist would otherwise see the first characters.
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    const QByteArray text = prompt.toUtf8();
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
    auto line = readLine(STDIN_FILENO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &gSavedTerminal);
    gEchoOff = 0;
    std::signal(SIGINT, oldInt);
    std::signal(SIGTERM, oldTerm);
    std::signal(SIGHUP, oldHup);
    if (!line)
        return std::nullopt;
    return takeString(*line);
}

std::optional<QString> readStandardInput()
{
    auto line = readLine(STDIN_FILENO);
    if (!line)
        return std::nullopt;
    return takeString(*line);
}

} // namespace PasswordInput
