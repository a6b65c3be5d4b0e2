#include "TarnwickApp/ArchiveCommand.h"
#include "TarnwickApp/ConsoleOutput.h"

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RemoteRender.h"
#include "RenderEngine/RenderTool.h"
#include "TarnwickApp/JobArguments.h"
#include "Utils/DistributedNotificationCenter.h"
#include "Utils/Log.h"
#include "Utils/MainThreadWatch.h"
#include "Utils/PrivateSessionBus.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace {

const char *kUsage =
    "Usage: tarnwick archive [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] [--engines N]\n"
    "                        [--verbose] PATH...\n"
    "Archives the messages of the .eml, .emlx and mbox files, Maildirs and folders given into DIR\n"
    "(default: the configured destination): a PDF per message, attachments, .eml copies.\n"
    "Messages already archived are skipped. On a terminal a progress line shows the job's\n"
    "status; --verbose shows the log lines instead. Exit status: 0 done, 2 cannot start,\n"
    "130 interrupted.\n";

constexpr int kExitCannotStart = 2;
constexpr int kProgressMs = 500;
constexpr int kChildrenGoneWaitMs = 3000;


// Signals arrive on a pipe so that the job is cancelled from the event loop, not from
// the handler.
int gSignalPipe[2] = {-1, -1};

void onSignal(int signo)
{
    const unsigned char byte = static_cast<unsigned char>(signo);
    [[maybe_unused]] const ssize_t n = ::write(gSignalPipe[1], &byte, 1);
}

bool installSignalHandlers()
{
    if (::pipe2(gSignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
    return true;
}

// Checks the inputs and the destination before anything is started; false with the
// message to print when the job cannot start.
bool checkJob(const JobOptions &options, QString &error)
{
    for (const QString &path : options.value(JobKey::emlFiles).toStringList()) {
        if (!QFileInfo::exists(path)) {
            error = QStringLiteral("%1: no such file or folder").arg(path);
            return false;
        }
    }
    const QString dest = options.value(JobKey::destFolder).toString();
    if (dest.isEmpty()) {
        error = QStringLiteral("no destination folder: give --dest DIR or choose one in the settings");
        return false;
    }
    if (!QDir().mkpath(dest) || !QFileInfo(dest).isWritable()) {
        error = QStringLiteral("%1: the destination folder cannot be created or written").arg(dest);
        return false;
    }
    return true;
}

} // namespace

namespace ArchiveCommand {

int run(const QStringList &args)
{
    if (args.contains(QStringLiteral("--help"))) {
        printOut(QString::fromLatin1(kUsage));
        return 0;
    }
    JobArguments arguments;
    QString error;
    if (!arguments.parse(args, {QStringLiteral("--verbose")}, error)) {
        printErr(QStringLiteral("tarnwick archive: %1\n").arg(error) + QString::fromLatin1(kUsage));
        return kExitCannotStart;
    }
    const JobOptions options = arguments.jobOptions();
    if (!checkJob(options, error)) {
        printErr(QStringLiteral("tarnwick archive: %1\n").arg(error));
        return kExitCannotStart;
    }
    // This run and its renderboxes get a bus of their own (see PrivateSessionBus).
    PrivateSessionBus bus;
    if (!bus.start(&error)) {
        printErr(QStringLiteral("tarnwick archive: %1\n").arg(error));
        return kExitCannotStart;
    }
    auto &center = DistributedNotificationCenter::defaultCenter();
    if (!center.isConnected()) {
        printErr(QStringLiteral("tarnwick archive: cannot connect to the private D-Bus session bus\n"));
        return kExitCannotStart;
    }
    installSignalHandlers();

    const QString jobName = JobArguments::jobNameFor(options);
    qint64 pdfsMade = 0;
    RenderTool job(options);
    job.setJobName(jobName);
    job.setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });
    center.addObserver(QStringLiteral("rb_anotherPDFMade"), jobName, &job,
                       [&pdfsMade](const QString &, const QString &) { ++pdfsMade; });

    // The progress line and the log's echo would write over each other: one or the other.
    const bool verbose = arguments.flags.contains(QStringLiteral("--verbose"));
    const bool terminal = !verbose && ::isatty(STDERR_FILENO) == 1;
    if (verbose)
        Log::setEchoAlways();
    else
        Log::setEchoToStderr(false);
    const auto statusLine = [&] {
        return RenderTool::statusText(job.operationDescription(),
                                      {job.numEmailsArchived(), job.totalEmailCount(), pdfsMade});
    };
    QEventLoop loop;
    int signalled = 0;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &loop, [&] {
        unsigned char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) == 1)
            signalled = signalled ? signalled : byte;
        job.cancel();
    });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &loop, [&] {
        if (terminal)
            printErr(QStringLiteral("\r\033[K%1").arg(statusLine()));
    });
    progress.start(kProgressMs);
    QObject::connect(&job, &RenderTool::finished, &loop, &QEventLoop::quit);
    // For the benchmarks: how long the main thread (where a window would live) stalls.
    MainThreadWatch watch;
    const bool reportStalls = qEnvironmentVariableIsSet("TARNWICK_REPORT_STALLS");
    if (reportStalls) {
        watch.start();
        QObject::connect(&job, &RenderTool::finished, &watch, &MainThreadWatch::sample);
    }
    QElapsedTimer clock;
    clock.start();
    job.renderPDFs();
    loop.exec();
    progress.stop();
    if (reportStalls)
        printErr(QStringLiteral("longest main-thread stall: %1 ms\n").arg(watch.longestStallMs()));

    // The job has told its renderboxes to quit; this front end ends too, so every
    // renderbox on its bus goes. Give them a moment to leave before the bus does.
    center.postNotificationName(QStringLiteral("rb_quit_all"), QStringLiteral("all"));
    QElapsedTimer waiting;
    waiting.start();
    while (RemoteRender::liveRenderboxCount() > 0 && waiting.elapsed() < kChildrenGoneWaitMs)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    // Late "rb_anotherPDFMade" notifications of the last renders are in by now.
    QCoreApplication::processEvents();

    if (terminal)
        printErr(QStringLiteral("\r\033[K%1\n").arg(statusLine()));
    const double seconds = double(clock.elapsed()) / 1000.0;
    printOut(QStringLiteral("%1: %2 of %3 messages handed out, %4 PDFs written in this run, %5 renderbox failures "
                            "(emergency .eml copies), %6 abandoned after a retry, %7 s\n")
                 .arg(job.wasCancelled() ? QStringLiteral("Cancelled") : QStringLiteral("Done"))
                 .arg(job.numEmailsArchived())
                 .arg(job.totalEmailCount())
                 .arg(pdfsMade)
                 .arg(job.renderboxFailureCount())
                 .arg(job.abandonedCount())
                 .arg(seconds, 0, 'f', 1));
    if (job.abandonedCount() > 0)
        printOut(QStringLiteral("Abandoned messages are listed in %1\n").arg(job.errorsFilePath()));
    if (signalled)
        return 128 + signalled;
    return job.wasCancelled() ? 1 : 0;
}

} // namespace ArchiveCommand
