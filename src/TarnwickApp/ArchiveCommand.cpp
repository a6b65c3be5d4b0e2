#include "TarnwickApp/ArchiveCommand.h"
#include "TarnwickApp/ArchiveProgress.h"
#include "TarnwickApp/ConsoleOutput.h"

#include "ArchiveView/ArchiveScheduler.h"
#include "MailCoreGTM/FXKeychain.h"
#include "RenderEngine/AccountJobOptions.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RemoteRender.h"
#include "RenderEngine/RenderTool.h"
#include "TarnwickApp/JobArguments.h"
#include "Utils/DistributedNotificationCenter.h"
#include "Utils/Log.h"
#include "Utils/MainThreadWatch.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
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
    "       tarnwick archive --source KEY [--verbose]\n"
    "       tarnwick archive --all [--verbose]\n"
    "Archives the messages of the .eml, .emlx and mbox files, Maildirs and folders given into DIR\n"
    "(default: the configured destination): a PDF per message, attachments, .eml copies.\n"
    "--source archives one configured source (an IMAP account's address or a folder\n"
    "source's path) with its own settings; --all every source, \"maxNumRenderJobs\" at a time\n"
    "(`tarnwick config`), as the window's timer does.\n"
    "Messages already archived are skipped. On a terminal a progress line shows the job's\n"
    "status; --verbose shows the log lines instead. Exit status: 0 done, 1 cancelled,\n"
    "2 cannot start, 3 failed (the server refused or the listing was incomplete),\n"
    "130 interrupted.\n";

constexpr int kExitCannotStart = 2;
constexpr int kProgressMs = 500;
constexpr int kLateNotificationsMs = 300;


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

// Runs one job to its end with the progress line and the summary; its exit status.
int runJob(const JobOptions &options, const QString &jobName, bool verbose, int *signalled)
{
    auto &center = DistributedNotificationCenter::defaultCenter();
    qint64 pdfsMade = 0;
    RenderTool job(options);
    job.setJobName(jobName);
    job.setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });
    center.addObserver(QStringLiteral("rb_anotherPDFMade"), jobName, &job,
                       [&pdfsMade](const QString &, const QString &) { ++pdfsMade; });

    // The progress line and the log's echo would write over each other: one or the other.
    const bool terminal = !verbose && ::isatty(STDERR_FILENO) == 1;
    QElapsedTimer sinceStart;
    sinceStart.start();
    const auto statusLine = [&] {
        return RenderTool::statusText(job.operationDescription(),
                                      {job.numEmailsArchived(), job.totalEmailCount(), pdfsMade});
    };
    // On a terminal, what a job of hours needs besides its status: a bar, the share done,
    // the rate and the time left.
    const auto progressLine = [&] {
        return statusLine() + QLatin1String("  ") +
               ArchiveProgress::progressGauge(job.fractionDone(), job.numEmailsArchived(), job.totalEmailCount(),
                             sinceStart.elapsed() / 1000.0);
    };
    QEventLoop loop;
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &loop, [&] {
        unsigned char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) == 1)
            *signalled = *signalled ? *signalled : byte;
        job.cancel();
    });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &loop, [&] {
        if (terminal)
            printErr(QStringLiteral("\r\033[K%1").arg(progressLine()));
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
    if (!job.allFinished())
        loop.exec();
    progress.stop();
    if (reportStalls)
        printErr(QStringLiteral("longest main-thread stall: %1 ms\n").arg(watch.longestStallMs()));

    ArchiveProgress::endRenderboxes();

    if (terminal)
        printErr(QStringLiteral("\r\033[K%1\n").arg(statusLine()));
    const int status = ArchiveProgress::reportJobEnd(job, pdfsMade, double(clock.elapsed()) / 1000.0, QString());
    return *signalled ? 128 + *signalled : status;
}

// The stored source a command-line argument names (its key, or a folder source's path
// given relative); "" when none.
QString sourceKeyFor(const QString &given)
{
    const QStringList keys = SourcesList::allSourceKeys(Preferences::shared());
    if (keys.contains(given))
        return given;
    const QString path = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
    return keys.contains(path) ? path : QString();
}

// Runs stored sources as the window's scheduler does ("maxNumRenderJobs" at a time, the
// others waiting), with a progress line per job on a terminal and a summary as each ends.
// The worst exit status of them all: 2 for a source that got no job (its reason printed).
int runSources(const QStringList &keys, bool verbose, int *signalled)
{
    Preferences &prefs = Preferences::shared();
    auto &center = DistributedNotificationCenter::defaultCenter();
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    scheduler.setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });
    center.addObserver(QStringLiteral("rb_anotherPDFMade"), QString(), &scheduler,
                       [&scheduler](const QString &, const QString &jobName) { scheduler.anotherPDFMade(jobName); });

    const bool terminal = !verbose && ::isatty(STDERR_FILENO) == 1;
    ArchiveProgress::LineBlock block;
    QHash<QString, QElapsedTimer> runningSince;
    int status = 0;
    QEventLoop loop;
    const auto quitWhenNoneLeft = [&] {
        if (scheduler.renderJobs().isEmpty())
            loop.quit();
    };
    QObject::connect(&scheduler, &ArchiveScheduler::jobFinished, &loop, [&](const QString &name) {
        // The engines' last "rb_anotherPDFMade" are still on their way over the bus: the
        // summary and the slot wait a moment for them.
        QTimer::singleShot(kLateNotificationsMs, &loop, [&, name] {
            RenderTool *job = scheduler.renderToolForjobName(name);
            if (!job)
                return;
            if (terminal)
                block.clear();
            const QElapsedTimer since = runningSince.value(name);
            status = qMax(status, ArchiveProgress::reportJobEnd(
                                      *job, prefs.integerForKey(PreferenceRegister::lastNumDoneKey(name)),
                                      since.isValid() ? since.elapsed() / 1000.0 : 0.0, name));
            scheduler.removeRenderEngine(name);
            quitWhenNoneLeft();
        });
    });
    QTimer progress;
    QObject::connect(&progress, &QTimer::timeout, &loop, [&] {
        QStringList lines;
        for (RenderTool *job : scheduler.renderJobs()) {
            const QString name = job->jobName();
            if (!job->waiting() && !runningSince.contains(name))
                runningSince[name].start();
            const qint64 made = prefs.integerForKey(PreferenceRegister::lastNumDoneKey(name));
            QString line = name + QLatin1String(": ") +
                           RenderTool::statusText(job->operationDescription(),
                                                  {job->numEmailsArchived(), job->totalEmailCount(), made});
            if (!job->waiting() && !job->allFinished())
                line += QLatin1String("  ") +
                        ArchiveProgress::progressGauge(job->fractionDone(), job->numEmailsArchived(),
                                                       job->totalEmailCount(), runningSince[name].elapsed() / 1000.0);
            lines.append(line);
        }
        if (terminal)
            block.draw(lines);
    });
    progress.start(kProgressMs);
    QSocketNotifier signalNotifier(gSignalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &loop, [&] {
        unsigned char byte = 0;
        while (::read(gSignalPipe[0], &byte, 1) == 1)
            *signalled = *signalled ? *signalled : byte;
        // Waiting jobs end at once, so none starts in a freed slot.
        const QList<RenderTool *> jobs = scheduler.renderJobs();
        for (auto it = jobs.rbegin(); it != jobs.rend(); ++it)
            (*it)->cancel();
    });

    for (const QString &key : keys) {
        // A Google account's job starts with an access token: its saved sign-in is renewed
        // first. A refused renewal means signing in again, which this run cannot do.
        if (AccountSetup::authSystem(key, prefs) == AccountSetup::kauthGoogleOAuth()) {
            QString error;
            if (AccountOAuth::shared().waitForAccessToken(key, &error).isEmpty()) {
                printErr(QStringLiteral("tarnwick archive: %1: %2\n").arg(key, error));
                status = qMax(status, kExitCannotStart);
                continue;
            }
        }
        if (!scheduler.startArchiving(key)) {
            QString why = scheduler.whyNoJob(key);
            if (why == AccountJobOptions::noPasswordText())
                why += QStringLiteral(", or store it with `tarnwick sources add-account %1`").arg(key);
            printErr(QStringLiteral("tarnwick archive: %1: %2\n").arg(key, why));
            status = qMax(status, kExitCannotStart);
        }
        emit progress.timeout({}); // start times of the jobs that began at once
    }
    if (!scheduler.renderJobs().isEmpty())
        loop.exec();
    progress.stop();
    ArchiveProgress::endRenderboxes();
    return *signalled ? 128 + *signalled : status;
}

} // namespace

namespace ArchiveCommand {

int run(const QStringList &argsIn)
{
    if (argsIn.contains(QStringLiteral("--help"))) {
        printOut(QString::fromLatin1(kUsage));
        return 0;
    }
    QStringList args = argsIn;
    const bool verbose = args.removeAll(QStringLiteral("--verbose")) > 0;
    QString error;
    QStringList sourceKeys;
    const qsizetype sourceAt = args.indexOf(QStringLiteral("--source"));
    if (sourceAt >= 0 || args.contains(QStringLiteral("--all"))) {
        if (args == QStringList{QStringLiteral("--all")}) {
            sourceKeys = SourcesList::allSourceKeys(Preferences::shared());
            if (sourceKeys.isEmpty()) {
                printErr(QStringLiteral("tarnwick archive: no sources configured\n"));
                return kExitCannotStart;
            }
        } else if (sourceAt == 0 && args.size() == 2) {
            const QString key = sourceKeyFor(args[1]);
            if (key.isEmpty()) {
                printErr(QStringLiteral("tarnwick archive: %1 is not a source (see `tarnwick sources list`)\n")
                             .arg(args[1]));
                return kExitCannotStart;
            }
            sourceKeys = {key};
        } else {
            printErr(QStringLiteral("tarnwick archive: --source takes one source and --all none, without other "
                                    "options\n") + QString::fromLatin1(kUsage));
            return kExitCannotStart;
        }
    }
    JobOptions options;
    if (sourceKeys.isEmpty()) {
        JobArguments arguments;
        if (!arguments.parse(args, {}, error)) {
            printErr(QStringLiteral("tarnwick archive: %1\n").arg(error) + QString::fromLatin1(kUsage));
            return kExitCannotStart;
        }
        options = arguments.jobOptions();
        if (!checkJob(options, error)) {
            printErr(QStringLiteral("tarnwick archive: %1\n").arg(error));
            return kExitCannotStart;
        }
    }
    // Passwords stay on the user's bus when the run moves to its own.
    FXKeychain::keepUsersSessionBus();
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
    if (verbose)
        Log::setEchoAlways();
    else
        Log::setEchoToStderr(false);
    int signalled = 0;
    if (!sourceKeys.isEmpty())
        return runSources(sourceKeys, verbose, &signalled);
    return runJob(options, JobArguments::jobNameFor(options), verbose, &signalled);
}

} // namespace ArchiveCommand
