#include "TarnwickApp/Renderbox.h"

#include "Settings/Preferences.h"
#include "Utils/CrashReports.h"

#include "RenderEngine/HTMLEngine/LocalMessageToHTMLToPDF.h"
#include "RenderEngine/HTMLEngine/MCOMessageView.h"
#include "RenderEngine/RemoteRender.h"
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

namespace {

constexpr int kDoneCheckMs = 100;
constexpr int kIdleQuitMs = 100 * 1000;
// While idle, the folder is looked at this often for a job file whose "rb_render_"
// went out before this process was listening.
constexpr int kIdleJobLookTicks = 5;

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

// With the user's consent a crash leaves a report beside the application's; without it,
// the stack goes to standard error only.
void installCrashHandlers()
{
    static const bool consent = Preferences::shared().boolForKey(QStringLiteral("bugsnagCanSendReports"));
    if (consent && CrashReports::install(CrashReports::folder(), CrashReports::kRenderbox))
        return;
    for (int signo : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL})
        ::signal(signo, crashed);
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

} // namespace

// --- The renderbox's state ----------------------------------------------------------

RenderboxProcess::RenderboxProcess(const QVariantMap &options, QObject *parent)
    : QObject(parent),
      m_options(options),
      m_renderboxID(options.value(QStringLiteral("renderboxID")).toString()),
      m_renderboxFolder(options.value(QStringLiteral("renderboxFolder")).toString())
{
}

RenderboxProcess::~RenderboxProcess() = default;

void RenderboxProcess::quitNow()
{
    m_quitting = true;
    QCoreApplication::quit();
}

void RenderboxProcess::startListening()
{
    // The engine's own files go where the parent cleans up, even after a hard stop.
    MCOMessageView::setEngineStorageBase(m_renderboxFolder);
    auto &center = DistributedNotificationCenter::defaultCenter();
    center.addObserver(QStringLiteral("rb_quit_"), m_renderboxID, this,
                       [this](const QString &, const QString &) { quitNow(); });
    center.addObserver(QStringLiteral("rb_quit_all"), QStringLiteral("all"), this,
                       [this](const QString &, const QString &) { quitNow(); });
    center.addObserver(QStringLiteral("rb_render_"), m_renderboxID, this,
                       [this](const QString &, const QString &) { renderboxRender(); });

    auto *doneCheck = new QTimer(this);
    connect(doneCheck, &QTimer::timeout, this, &RenderboxProcess::checkForCurrentRenderDone);
    doneCheck->start(kDoneCheckMs);
    auto *idle = new QTimer(this);
    connect(idle, &QTimer::timeout, this, [this] {
        if (!m_gotJob)
            quitNow();
        m_gotJob = false;
    });
    idle->start(kIdleQuitMs);
    m_gotJob = true;
    // A request may have been announced before this process was listening.
    QTimer::singleShot(0, this, [this] {
        if (!Renderbox::findNextJob(m_renderboxFolder).isEmpty())
            renderboxRender();
    });
}

void RenderboxProcess::renderboxRender()
{
    if (m_quitting)
        return;
    m_gotJob = true;
    const QString jsonPath = Renderbox::findNextJob(m_renderboxFolder);
    if (jsonPath.isEmpty())
        return; // finished already, or taken up by the idle look
    const std::optional<QVariantMap> job = RemoteRender::dictFromJSONFile(jsonPath);
    const QString currentFile = job ? job->value(QStringLiteral("current_file")).toString() : QString();
    const bool busy = m_engine && m_engine->busyDoingSomething();
    if (busy && !currentFile.isEmpty() && currentFile == m_currentFile)
        return; // the request in progress, announced again
    if (busy)
        TLog(QStringLiteral("renderboxRender: called to start a render on a busy box %1").arg(jsonPath));
    m_jsonPath = jsonPath;
    const QVariantMap options = job.value_or(QVariantMap());
    m_emlPath = options.value(QStringLiteral("eml_path")).toString();
    m_pathToAttachments = options.value(QStringLiteral("pathToAttachments")).toString();
    m_currentFile = currentFile;
    const QString mainFolder = options.value(QStringLiteral("main_folder")).toString();
    const QString mailFolder = options.value(QStringLiteral("mail_folder")).toString();
    const QString jobName = options.value(QStringLiteral("job_name")).toString();
    QByteArray data;
    if (!m_emlPath.isEmpty()) {
        QFile file(m_emlPath);
        if (file.open(QIODevice::ReadOnly))
            data = file.readAll();
    }
    if (!m_engine) {
        // Later requests reuse the engine with the first request's options: a renderbox
        // serves one job only.
        m_engine = std::make_unique<LocalMessageToHTMLToPDF>(options);
        m_engine->setNotificationPoster([](const QString &name, const QString &object) {
            DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
        });
        m_engine->setPrivateFolder(m_renderboxFolder);
        // The end of a request is reported as soon as the engine ends it; the 0.1 s poll
        // stays for work that ends later (resources still loading).
        connect(m_engine.get(), &MessageToHTMLToPDF::messageFinished, this,
                &RenderboxProcess::checkForCurrentRenderDone, Qt::QueuedConnection);
        m_engine->setUpLocalRendering();
        // The HTML engine puts crash handlers of its own in place as it starts; ours go
        // back on top, so that a crash still leaves its report.
        installCrashHandlers();
    }
    if (data.isEmpty() && m_currentFile.isEmpty())
        return; // nothing to render and nobody to tell: the parent sees us quit when idle
    // Per request: the engine keeps the first request's options otherwise.
    m_engine->setOutputIndex(options.value(JobKey::outputIndex).toInt());
    m_engine->setExtraTags(options.value(JobKey::extraTags).toStringList());
    m_engine->renderSingleEMLMessage(data, mainFolder, mailFolder, jobName, m_pathToAttachments);
}

void RenderboxProcess::checkForCurrentRenderDone()
{
    if (m_quitting)
        return;
    if (!m_currentFile.isEmpty()) {
        if (m_engine && m_engine->busyDoingSomething())
            return;
        if (!m_emlPath.isEmpty())
            QFile::remove(m_emlPath);
        if (!m_jsonPath.isEmpty())
            QFile::remove(m_jsonPath);
        const QString finished = std::exchange(m_currentFile, QString());
        DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_done_") + m_renderboxID,
                                                                            finished);
        m_idleTicks = 0;
        return;
    }
    if (++m_idleTicks >= kIdleJobLookTicks) {
        m_idleTicks = 0;
        if (!Renderbox::findNextJob(m_renderboxFolder).isEmpty())
            renderboxRender();
    }
}

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

int run(int argc, char **argv, const QString &json)
{
    Log::install("tarnwick-renderbox");
    // A renderbox lives for its parent only: when the front end goes, so does it, even
    // when the front end was killed and sent no "rb_quit_all".
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    struct sigaction action {};
    action.sa_sigaction = terminated;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    for (int signo : {SIGTERM, SIGHUP, SIGINT, SIGPIPE})
        ::sigaction(signo, &action, nullptr);
    if (::getppid() == 1)
        return 0;
    const QVariantMap options = RemoteRender::dictFromJSONString(json);
    if (options.value(QStringLiteral("renderboxID")).toString().isEmpty() ||
        options.value(QStringLiteral("renderboxFolder")).toString().isEmpty()) {
        TLog(QStringLiteral("renderbox started without renderboxID and renderboxFolder"));
        return 2;
    }
    installCrashHandlers();
    LocalMessageToHTMLToPDF::prepareProcess();
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
    RenderboxProcess renderbox(options);
    renderbox.startListening();
    return app.exec();
}

} // namespace Renderbox
