#include "TarnwickApp/ArchiveCommand.h"
#include "TarnwickApp/ConsoleOutput.h"

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
    "source's path) with its own settings; --all every source in turn.\n"
    "Messages already archived are skipped. On a terminal a progress line shows the job's\n"
    "status; --verbose shows the log lines instead. Exit status: 0 done, 1 cancelled,\n"
    "2 cannot start, 3 failed (the server refused or the listing was incomplete),\n"
    "130 interrupted.\n";

constexpr int kExitCannotStart = 2;
constexpr int kExitFailed = 3;
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

// "[#######.............]  35%  12.4 msg/s, 3 min left": the gauge of a progress line.
QString progressGauge(double fraction, qint64 handedOut, qint64 total, double seconds)
{
    constexpr int kWidth = 20;
    const double f = qBound(0.0, fraction, 1.0);
    const int filled = int(f * kWidth);
    QString gauge = QLatin1Char('[') + QString(filled, QLatin1Char('#')) + QString(kWidth - filled, QLatin1Char('.')) +
                    QStringLiteral("] %1%").arg(int(f * 100), 3);
    if (seconds < 2 || handedOut <= 0)
        return gauge;
    const double rate = handedOut / seconds;
    gauge += QStringLiteral("  %1 msg/s").arg(rate, 0, 'f', 1);
    if (total > handedOut && rate > 0) {
        const qint64 left = qint64((total - handedOut) / rate);
        gauge += left >= 3600 ? QStringLiteral(", %1 h %2 min left").arg(left / 3600).arg(left % 3600 / 60)
                 : left >= 60 ? QStringLiteral(", %1 min left").arg(left / 60)
                              : QStringLiteral(", %1 s left").arg(left);
    }
    return gauge;
}

// One job to run: its options and name, and for a stored source its key.
struct PlannedJob {
    JobOptions options;
    QString jobName;
    QString sourceKey;
};

// Runs one job to its end with the progress line and the summary; its exit status.
int runJob(const PlannedJob &planned, bool verbose, int *signalled)
{
    const JobOptions &options = planned.options;
    const QString &jobName = planned.jobName;
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
               progressGauge(job.fractionDone(), job.numEmailsArchived(), job.totalEmailCount(),
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
    const RenderTool::Result &result = job.result();
    const bool failed = result.outcome == RenderTool::Result::Outcome::Failed;
    QString outcome = job.wasCancelled() ? QStringLiteral("Cancelled") : failed ? QStringLiteral("Failed")
                                                                                : QStringLiteral("Done");
    if (!planned.sourceKey.isEmpty())
        outcome = QStringLiteral("%1: %2").arg(planned.sourceKey, outcome);
    printOut(QStringLiteral("%1: %2 of %3 messages handed out, %4 PDFs written in this run, %5 renderbox failures "
                            "(emergency .eml copies), %6 abandoned after a retry, %7 not listed, %8 s\n")
                 .arg(outcome)
                 .arg(job.numEmailsArchived())
                 .arg(job.totalEmailCount())
                 .arg(pdfsMade)
                 .arg(job.renderboxFailureCount())
                 .arg(job.abandonedCount())
                 .arg(result.unlisted)
                 .arg(seconds, 0, 'f', 1));
    if (job.abandonedCount() > 0)
        printOut(QStringLiteral("Abandoned messages are listed in %1\n").arg(job.errorsFilePath()));
    if (failed)
        printErr(QStringLiteral("tarnwick archive: %1%2\n")
                     .arg(planned.sourceKey.isEmpty() ? QString() : planned.sourceKey + QStringLiteral(": "),
                          result.reason));
    if (!planned.sourceKey.isEmpty()) {
        Preferences &prefs = Preferences::shared();
        prefs.setValue(PreferenceRegister::lastNumDoneKey(planned.sourceKey), pdfsMade);
        // Only a complete run counts as the source's last finished one.
        if (!failed && !job.wasCancelled())
            prefs.setValue(PreferenceRegister::lastFinishedKey(planned.sourceKey), QDateTime::currentDateTime());
    }
    if (*signalled)
        return 128 + *signalled;
    return job.wasCancelled() ? 1 : failed ? kExitFailed : 0;
}

// A Google account's job starts with an access token: the saved authorization is renewed
// first (asked again every 3 s until a token exists). False with `error` when the
// renewal fails: the account then needs signing in again.
bool waitForGoogleToken(PlannedJob &planned, QString &error)
{
    if (planned.options.value(JobKey::authSystem).toString() != AccountSetup::kauthGoogleOAuth())
        return true;
    // Renewals during the job save rotated refresh tokens: keep the user's password store
    // reachable once this run moves to a bus of its own.
    FXKeychain::keepUsersSessionBus();
    const QString token =
        AccountOAuth::shared().waitForAccessToken(planned.options.value(JobKey::emailUsername).toString(), &error);
    if (token.isEmpty())
        return false;
    planned.options[JobKey::accessToken] = token;
    return true;
}

// The jobs of `--source KEY` or `--all`; false with `error` when one cannot be made.
bool planSources(const QStringList &keys, QList<PlannedJob> &out, QString &error)
{
    Preferences &prefs = Preferences::shared();
    for (const QString &given : keys) {
        QString key = given;
        if (!SourcesList::allSourceKeys(prefs).contains(key))
            key = QDir::cleanPath(QFileInfo(given).absoluteFilePath());
        if (!SourcesList::allSourceKeys(prefs).contains(key)) {
            error = QStringLiteral("%1 is not a source (see `tarnwick sources list`)").arg(given);
            return false;
        }
        QString why;
        const std::optional<JobOptions> options =
            SourcesList::isAccount(key, prefs)
                ? AccountJobOptions::forAccount(key, prefs, FXKeychain::defaultKeychain(), &why)
                : AccountJobOptions::forFolder(key, prefs, &why);
        if (!options) {
            error = QStringLiteral("%1: %2").arg(key, why);
            return false;
        }
        out.append({*options, key, key});
    }
    return true;
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
    QList<PlannedJob> jobs;
    QString error;
    const qsizetype sourceAt = args.indexOf(QStringLiteral("--source"));
    if (sourceAt >= 0 || args.contains(QStringLiteral("--all"))) {
        QStringList keys;
        if (args == QStringList{QStringLiteral("--all")}) {
            keys = SourcesList::allSourceKeys(Preferences::shared());
            if (keys.isEmpty()) {
                printErr(QStringLiteral("tarnwick archive: no sources configured\n"));
                return kExitCannotStart;
            }
        } else if (sourceAt == 0 && args.size() == 2) {
            keys = {args[1]};
        } else {
            printErr(QStringLiteral("tarnwick archive: --source takes one source and --all none, without other "
                                    "options\n") + QString::fromLatin1(kUsage));
            return kExitCannotStart;
        }
        if (!planSources(keys, jobs, error)) {
            printErr(QStringLiteral("tarnwick archive: %1\n").arg(error));
            return kExitCannotStart;
        }
    } else {
        JobArguments arguments;
        if (!arguments.parse(args, {}, error)) {
            printErr(QStringLiteral("tarnwick archive: %1\n").arg(error) + QString::fromLatin1(kUsage));
            return kExitCannotStart;
        }
        const JobOptions options = arguments.jobOptions();
        jobs.append({options, JobArguments::jobNameFor(options), QString()});
    }
    for (PlannedJob &job : jobs) {
        if (!checkJob(job.options, error) || !waitForGoogleToken(job, error)) {
            printErr(QStringLiteral("tarnwick archive: %1\n").arg(error));
            return kExitCannotStart;
        }
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
    if (verbose)
        Log::setEchoAlways();
    else
        Log::setEchoToStderr(false);
    int status = 0;
    int signalled = 0;
    for (const PlannedJob &job : std::as_const(jobs)) {
        status = qMax(status, runJob(job, verbose, &signalled));
        if (signalled)
            return 128 + signalled;
    }
    return status;
}

} // namespace ArchiveCommand
