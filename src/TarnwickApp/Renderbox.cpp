#include "TarnwickApp/Renderbox.h"

#include "RenderEngine/MCOMessageView.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RemoteRender.h"
#include "TarnwickApp/RenderCommand.h"
#include "Utils/DistributedNotificationCenter.h"
#include "Utils/Log.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTimer>

#include <csignal>
#include <cstdio>
#include <execinfo.h>
#include <sys/prctl.h>
#include <unistd.h>

bool gRenderBoxApp = false;
QVariantMap gRenderBoxOptions;
QString gRenderboxID;
QString gRenderboxFolder;
MessageToHTMLToPDF *gEngine = nullptr;
bool gGotJob = false;
QString gJSONPath;
QString gEmlPath;
QString gPathToAttachments;
QString gCurrentFile;

namespace {

constexpr int kDoneCheckMs = 100;
constexpr int kIdleQuitMs = 100 * 1000;
// While idle, the folder is looked at this often for a job file whose "rb_render_"
// went out before this process was listening.
constexpr int kIdleJobLookTicks = 5;

bool gQuitting = false;

// A crash costs only this process, but its stack is worth having: written to standard
// error (seen with TARNWICK_RENDERBOX_STDERR=1), then the signal takes its course.
void crashed(int signo)
{
    void *frames[64];
    const int n = ::backtrace(frames, 64);
    static const char header[] = "renderbox crashed; stack:\n";
    [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, header, sizeof header - 1);
    ::backtrace_symbols_fd(frames, n, STDERR_FILENO);
    ::signal(signo, SIG_DFL);
    ::raise(signo);
}

// Who stopped us, when it was not our own quit.
void terminated(int signo, siginfo_t *info, void *)
{
    char line[96];
    const int n = std::snprintf(line, sizeof line, "renderbox got signal %d from process %ld\n", signo,
                                long(info ? info->si_pid : 0));
    [[maybe_unused]] const ssize_t w = ::write(STDERR_FILENO, line, size_t(n > 0 ? n : 0));
    ::signal(signo, SIG_DFL);
    ::raise(signo);
}

void quitNow()
{
    gQuitting = true;
    QCoreApplication::quit();
}

void renderboxRender()
{
    if (gQuitting)
        return;
    gGotJob = true;
    const QString jsonPath = Renderbox::findNextJob(gRenderboxFolder);
    if (jsonPath.isEmpty())
        return; // finished already, or taken up by the idle look
    const std::optional<QVariantMap> job = RemoteRender::dictFromJSONFile(jsonPath);
    const QString currentFile = job ? job->value(QStringLiteral("current_file")).toString() : QString();
    const bool busy = gEngine && gEngine->busyDoingSomething();
    if (busy && !currentFile.isEmpty() && currentFile == gCurrentFile)
        return; // the request in progress, announced again
    if (busy)
        TLog(QStringLiteral("renderboxRender: called to start a render on a busy box %1").arg(jsonPath));
    gJSONPath = jsonPath;
    const QVariantMap options = job.value_or(QVariantMap());
    gEmlPath = options.value(QStringLiteral("eml_path")).toString();
    gPathToAttachments = options.value(QStringLiteral("pathToAttachments")).toString();
    gCurrentFile = currentFile;
    const QString mainFolder = options.value(QStringLiteral("main_folder")).toString();
    const QString mailFolder = options.value(QStringLiteral("mail_folder")).toString();
    const QString jobName = options.value(QStringLiteral("job_name")).toString();
    QByteArray data;
    if (!gEmlPath.isEmpty()) {
        QFile file(gEmlPath);
        if (file.open(QIODevice::ReadOnly))
            data = file.readAll();
    }
    if (!gEngine) {
        // Later requests reuse the engine with the first request's options: a renderbox
        // serves one job only.
        gEngine = new MessageToHTMLToPDF(options, false, qApp);
        gEngine->setUpLocalRendering();
    }
    if (data.isEmpty() && gCurrentFile.isEmpty())
        return; // nothing to render and nobody to tell: the parent sees us quit when idle
    // Per request: the engine keeps the first request's options otherwise.
    gEngine->setOutputIndex(options.value(JobKey::outputIndex).toInt());
    gEngine->renderSingleEMLMessage(data, mainFolder, mailFolder, jobName, gPathToAttachments);
}

void checkForCurrentRenderDone()
{
    static int idleTicks = 0;
    if (gQuitting)
        return;
    if (!gCurrentFile.isEmpty()) {
        if (gEngine && gEngine->busyDoingSomething())
            return;
        if (!gEmlPath.isEmpty())
            QFile::remove(gEmlPath);
        if (!gJSONPath.isEmpty())
            QFile::remove(gJSONPath);
        const QString finished = std::exchange(gCurrentFile, QString());
        DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_done_") + gRenderboxID,
                                                                            finished);
        idleTicks = 0;
        return;
    }
    if (++idleTicks >= kIdleJobLookTicks) {
        idleTicks = 0;
        if (!Renderbox::findNextJob(gRenderboxFolder).isEmpty())
            renderboxRender();
    }
}

} // namespace

namespace Renderbox {

QString jsonArgument(int argc, char **argv)
{
    for (int i = 1; i + 1 < argc; ++i) {
        if (qstrcmp(argv[i], "--jsonArgs") == 0)
            return QString::fromUtf8(argv[i + 1]);
    }
    return QString();
}

QString findNextJob(const QString &folder)
{
    const QStringList jobs =
        QDir(folder).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    if (jobs.size() >= 2)
        TLog(QStringLiteral("findNextJob: someone wrote two files into an engine, likely on a restart: %1")
                 .arg(jobs.join(QStringLiteral(", "))));
    return jobs.isEmpty() ? QString() : QDir(folder).filePath(jobs.first());
}

void startListeningAsRenderbox(const QVariantMap &options)
{
    gRenderboxID = options.value(QStringLiteral("renderboxID")).toString();
    gRenderboxFolder = options.value(QStringLiteral("renderboxFolder")).toString();
    // The engine's own files go where the parent cleans up, even after a hard stop.
    MCOMessageView::setEngineStorageBase(gRenderboxFolder);
    auto &center = DistributedNotificationCenter::defaultCenter();
    center.addObserver(QStringLiteral("rb_quit_"), gRenderboxID, qApp, [](const QString &, const QString &) { quitNow(); });
    center.addObserver(QStringLiteral("rb_quit_all"), QStringLiteral("all"), qApp,
                       [](const QString &, const QString &) { quitNow(); });
    center.addObserver(QStringLiteral("rb_render_"), gRenderboxID, qApp,
                       [](const QString &, const QString &) { renderboxRender(); });
    MessageToHTMLToPDF::setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });

    auto *doneCheck = new QTimer(qApp);
    QObject::connect(doneCheck, &QTimer::timeout, qApp, &checkForCurrentRenderDone);
    doneCheck->start(kDoneCheckMs);
    auto *idle = new QTimer(qApp);
    QObject::connect(idle, &QTimer::timeout, qApp, [] {
        if (!gGotJob)
            quitNow();
        gGotJob = false;
    });
    idle->start(kIdleQuitMs);
    gGotJob = true;
    // A request may have been announced before this process was listening.
    QTimer::singleShot(0, qApp, [] {
        if (!findNextJob(gRenderboxFolder).isEmpty())
            renderboxRender();
    });
}

int run(int argc, char **argv, const QString &json)
{
    Log::install("tarnwick-renderbox");
    // A renderbox lives for its parent only: when the front end goes, so does it, even
    // when the front end was killed and sent no "rb_quit_all".
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    for (int signo : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        ::signal(signo, crashed);
    struct sigaction action {};
    action.sa_sigaction = terminated;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGTERM, SIGHUP, SIGINT, SIGPIPE})
        ::sigaction(signo, &action, nullptr);
    if (::getppid() == 1)
        return 0;
    gRenderBoxApp = true;
    gRenderBoxOptions = RemoteRender::dictFromJSONString(json);
    if (gRenderBoxOptions.value(QStringLiteral("renderboxID")).toString().isEmpty() ||
        gRenderBoxOptions.value(QStringLiteral("renderboxFolder")).toString().isEmpty()) {
        TLog(QStringLiteral("renderbox started without renderboxID and renderboxFolder"));
        return 2;
    }
    RenderCommand::prepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
    startListeningAsRenderbox(gRenderBoxOptions);
    const int status = app.exec();
    delete gEngine;
    gEngine = nullptr;
    return status;
}

} // namespace Renderbox
