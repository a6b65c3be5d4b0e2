#include "Utils/Log.h"

#include <QDebug>
#include <QMutex>
#include <QStringList>
#include <QtGlobal>

#include <atomic>
#include <cstdio>
#include <syslog.h>
#include <unistd.h>

namespace {

std::atomic<bool> g_installed{false};
// 0: never, 1: when standard error is a terminal, 2: always.
std::atomic<int> g_echo{1};
QMutex g_captureLock;
bool g_capturing = false;
QStringList g_captured;
QByteArray g_ident; // syslog keeps the pointer: must outlive openlog

QString flatten(QString text)
{
    text.replace(QLatin1String("\r\n"), QLatin1String(" | "));
    text.replace(QLatin1Char('\n'), QLatin1String(" | "));
    text.replace(QLatin1Char('\r'), QLatin1String(" | "));
    return text;
}

int priorityFor(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg: return LOG_DEBUG;
    case QtInfoMsg: return LOG_INFO;
    case QtWarningMsg: return LOG_WARNING;
    case QtCriticalMsg: return LOG_ERR;
    case QtFatalMsg: return LOG_CRIT;
    }
    return LOG_INFO;
}

void handler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    const QString line = flatten(message);
    const QByteArray utf8 = line.toUtf8();
    syslog(priorityFor(type), "%s", utf8.constData());
    const int echo = g_echo.load();
    if (echo == 2 || (echo == 1 && isatty(STDERR_FILENO))) {
        std::fprintf(stderr, "%s\n", utf8.constData());
    }
    {
        QMutexLocker lock(&g_captureLock);
        if (g_capturing)
            g_captured.append(line);
    }
    if (type == QtFatalMsg)
        abort();
}

} // namespace

namespace Log {

void install(const char *ident)
{
    if (g_installed.exchange(true))
        return;
    g_ident = QByteArray(ident);
    openlog(g_ident.constData(), LOG_PID, LOG_USER);
    qInstallMessageHandler(handler);
}

void setEchoToStderr(bool on) { g_echo = on ? 1 : 0; }

void setEchoAlways() { g_echo = 2; }

void captureStart()
{
    QMutexLocker lock(&g_captureLock);
    g_capturing = true;
    g_captured.clear();
}

QStringList captureTake()
{
    QMutexLocker lock(&g_captureLock);
    QStringList out;
    out.swap(g_captured);
    return out;
}

} // namespace Log

void TLog(const QString &line)
{
    if (!g_installed.load())
        Log::install("tarnwick");
    qInfo().noquote() << line;
}
