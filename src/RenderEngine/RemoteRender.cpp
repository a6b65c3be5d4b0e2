#include "RenderEngine/RemoteRender.h"

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "Utils/DistributedNotificationCenter.h"
#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSaveFile>
#include <QSet>
#include <QTimer>
#include <QUuid>

#include <cerrno>
#include <cstring>

#include <sys/stat.h>

namespace {

// A child serves at most this many requests before it is replaced: whatever the HTML
// engine leaks or wedges goes with it.
int gMaxRequestsPerChild = 31;
constexpr int kMaxChildLifetimeMs = 3000 * 1000;
constexpr int kTerminationCheckMs = 1000;
// A new child needs this long to start listening before it is told about a request
// (it also picks a waiting job file up by itself, so this is no correctness matter).
constexpr qint64 kLaunchSettleMs = 1000;
constexpr int kQuitToTerminateMs = 100;
constexpr int kTerminateToKillMs = 300;

QString &programOverride()
{
    static QString program;
    return program;
}

QSet<QProcess *> &liveProcesses()
{
    static QSet<QProcess *> set;
    return set;
}

bool writePrivateFile(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    return true;
}

} // namespace

RemoteRender::RemoteRender(const JobOptions &options, QObject *parent)
    : QObject(parent), m_options(options),
      m_renderboxID(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper())
{
    m_renderboxFolder = LocalMailFiles::temporaryDirectory() + QLatin1Char('/') + m_renderboxID;
    // The folder holds private mail while a request is out: owner-only.
    if (::mkdir(QFile::encodeName(m_renderboxFolder).constData(), 0700) != 0 && errno != EEXIST)
        TLog(QStringLiteral("Could not create the renderbox folder %1: %2")
                 .arg(m_renderboxFolder, QString::fromLocal8Bit(std::strerror(errno))));
    m_doneObserver = DistributedNotificationCenter::defaultCenter().addObserver(
        QStringLiteral("rb_done_") + m_renderboxID, QString(), this,
        [this](const QString &name, const QString &object) { renderboxDone(name, object); });
}

RemoteRender::~RemoteRender()
{
    DistributedNotificationCenter::defaultCenter().removeObserver(m_doneObserver);
    quitRenderbox();
    const QPointer<QProcess> child = m_quittingTask;
    // A child still on its way out may write into the folder until it has ended: the
    // folder goes after it.
    const QString folder = m_renderboxFolder;
    if (child && child->state() != QProcess::NotRunning)
        QObject::connect(child, &QProcess::finished, child, [folder] { QDir(folder).removeRecursively(); });
    else
        QDir(folder).removeRecursively();
}

QString RemoteRender::messageFilePath() const
{
    return m_currentFile.isEmpty() ? QString() : m_renderboxFolder + QLatin1Char('/') + m_currentFile;
}

QString RemoteRender::jobFilePath() const
{
    return m_currentFile.isEmpty() ? QString() : messageFilePath() + QStringLiteral(".json");
}

qint64 RemoteRender::childProcessId() const
{
    return m_task && m_task->state() != QProcess::NotRunning ? m_task->processId() : 0;
}

void RemoteRender::setRenderboxProgram(const QString &path) { programOverride() = path; }

QString RemoteRender::renderboxProgram()
{
    return programOverride().isEmpty() ? QCoreApplication::applicationFilePath() : programOverride();
}

int RemoteRender::liveRenderboxCount() { return int(liveProcesses().size()); }

void RemoteRender::setMaxRequestsPerChild(int count) { gMaxRequestsPerChild = count; }

QStringList RemoteRender::launchArguments(const QString &renderboxID, const QString &renderboxFolder)
{
    const QVariantMap argument{{QStringLiteral("renderboxID"), renderboxID},
                               {QStringLiteral("renderboxFolder"), renderboxFolder}};
    return {QStringLiteral("--jsonArgs"), jsonStringWithPrettyPrint(argument)};
}

QVariantMap RemoteRender::jobFileContent(const JobOptions &options, const QString &jobName, const QString &mainFolder,
                                         const QString &mailFolder, const QString &emlPath,
                                         const QString &mailappAttachments, const QString &currentFile)
{
    QVariantMap job = options;
    const auto setIfGiven = [&job](const QString &key, const QString &value) {
        if (!value.isEmpty())
            job.insert(key, value);
    };
    setIfGiven(QStringLiteral("job_name"), jobName);
    setIfGiven(QStringLiteral("main_folder"), mainFolder);
    setIfGiven(QStringLiteral("mail_folder"), mailFolder);
    setIfGiven(QStringLiteral("eml_path"), emlPath);
    setIfGiven(QStringLiteral("pathToAttachments"), mailappAttachments);
    job.insert(QStringLiteral("current_file"), currentFile);
    // The renderbox renders bytes it is given and never logs in anywhere: no secret
    // has any business in its files.
    job.remove(QStringLiteral("password"));
    job.remove(QStringLiteral("access_token"));
    return job;
}

// --- Requests -----------------------------------------------------------------------

bool RemoteRender::renderPDF(const QByteArray &messageData, const QString &mainFolder, const QString &mailFolder,
                             const JobOptions &options, const QString &jobName, const QString &mailappAttachments)
{
    if (m_busyWorking)
        TLog(QStringLiteral("logic problem - we should not be starting a new render as we already have one"));
    m_busyWorking = true;
    launchRenderbox();
    m_failHandled = false;
    m_currentFile = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    m_renderedFiles.append(m_currentFile);

    QString error;
    if (!writePrivateFile(messageFilePath(), messageData, &error)) {
        TLog(QStringLiteral("Could not write the message for the renderbox %1: %2").arg(messageFilePath(), error));
        m_busyWorking = false;
        m_currentFile.clear();
        return false;
    }
    const QVariantMap job =
        jobFileContent(options, jobName, mainFolder, mailFolder, messageFilePath(), mailappAttachments, m_currentFile);
    removeJSONFromFolder(m_renderboxFolder);
    dictToJSONFile(job, jobFilePath());
    ++m_renderCountOnCurrentTask;

    // A child launched just now is given its settle time on a timer, not by blocking.
    const qint64 sinceLaunch = QDateTime::currentMSecsSinceEpoch() - m_launchedAtMs;
    const QString request = m_currentFile;
    if (sinceLaunch >= kLaunchSettleMs)
        postRenderRequest(request);
    else
        QTimer::singleShot(int(kLaunchSettleMs - sinceLaunch), this, [this, request] { postRenderRequest(request); });
    return true;
}

void RemoteRender::postRenderRequest(const QString &requestName)
{
    if (requestName != m_currentFile || !m_busyWorking)
        return;
    DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_render_"), m_renderboxID);
}

void RemoteRender::renderboxDone(const QString &name, const QString &object)
{
    if (object == m_currentFile) {
        m_busyWorking = false;
        emit requestDone();
    } else {
        TLog(QStringLiteral("some logic error got %1 while we should only get %2").arg(object, m_currentFile));
        TLog(QStringLiteral("previous items we STARTED on %1").arg(m_renderedFiles.join(QStringLiteral(", "))));
        TLog(QStringLiteral("previous notifications -  on %1").arg(m_renderedFilesWorked.join(QStringLiteral(", "))));
    }
    Q_UNUSED(name);
    m_renderedFilesWorked.append(object);
}

bool RemoteRender::busyWorkingOnRender()
{
    if (m_taskTerminated)
        m_busyWorking = false;
    return m_busyWorking;
}

bool RemoteRender::failed()
{
    refreshTaskTerminated();
    if (!m_taskTerminated || m_currentFile.isEmpty() || !QFile::exists(messageFilePath()))
        return false;
    if (m_failHandled)
        return true;
    m_failHandled = true;
    TLog(QStringLiteral("renderbox %1 ended (%2) during request %3: writing the emergency copy")
             .arg(m_renderboxID, m_lastEnd, m_currentFile));
    // The child deletes the message file after every request it finishes: the file is
    // still here, so the child died on this message. At least its .eml copy is kept.
    QFile message(messageFilePath());
    const QByteArray data = message.open(QIODevice::ReadOnly) ? message.readAll() : QByteArray();
    const std::optional<QVariantMap> job = dictFromJSONFile(jobFilePath());
    if (job && !job->isEmpty() && job->value(QStringLiteral("eml_path")).toString() == messageFilePath()) {
        MessageToHTMLToPDF::renderSingleEMLMessageAsEmergencyEML(
            data, job->value(QStringLiteral("main_folder")).toString(),
            job->value(QStringLiteral("mail_folder")).toString(), job->value(QStringLiteral("job_name")).toString(),
            *job);
    }
    return true;
}

// --- The child process ----------------------------------------------------------------

void RemoteRender::refreshTaskTerminated()
{
    m_taskTerminated = !m_task || m_task->state() == QProcess::NotRunning;
}

void RemoteRender::launchRenderbox()
{
    if (m_renderCountOnCurrentTask >= gMaxRequestsPerChild)
        quitRenderbox();
    if (m_task && m_task->state() != QProcess::NotRunning)
        return;
    m_renderCountOnCurrentTask = 0;
    if (!m_taskTerminatedChecker) {
        m_taskTerminatedChecker = new QTimer(this);
        m_taskTerminatedChecker->setInterval(kTerminationCheckMs);
        connect(m_taskTerminatedChecker, &QTimer::timeout, this, &RemoteRender::refreshTaskTerminated);
        m_taskTerminatedChecker->start();
    }

    // Not a child QObject of the handle: a quitting child outlives a handle destroyed
    // in the meantime, and deletes itself once it has ended.
    auto *process = new QProcess();
    process->setProgram(renderboxProgram());
    process->setArguments(launchArguments(m_renderboxID, m_renderboxFolder));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process->setProcessEnvironment(env);
    process->setStandardInputFile(QProcess::nullDevice());
    process->setStandardOutputFile(QProcess::nullDevice());
    // The renderbox logs to the system log; its HTML engine chatters on standard error.
    if (qEnvironmentVariableIsEmpty("TARNWICK_RENDERBOX_STDERR"))
        process->setStandardErrorFile(QProcess::nullDevice());
    else
        process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    liveProcesses().insert(process);
    QObject::connect(process, &QProcess::finished, process, [process] {
        liveProcesses().remove(process);
        process->deleteLater();
    });
    QObject::connect(process, &QProcess::errorOccurred, process, [process](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) {
            TLog(QStringLiteral("Could not start a renderbox %1: %2").arg(process->program(), process->errorString()));
            liveProcesses().remove(process);
            process->deleteLater();
        }
    });
    connect(process, &QProcess::finished, this, [this, process](int code, QProcess::ExitStatus status) {
        if (m_task == process) // not a retired child ending after its successor started
            m_lastEnd = status == QProcess::CrashExit ? QStringLiteral("crashed") : QStringLiteral("exit code %1").arg(code);
    });
    m_lastEnd = QStringLiteral("not seen ending");
    process->start();
    m_task = process;
    m_taskTerminated = false;
    m_launchedAtMs = QDateTime::currentMSecsSinceEpoch();

    if (!m_maxTaskTimer) {
        m_maxTaskTimer = new QTimer(this);
        m_maxTaskTimer->setSingleShot(true);
        m_maxTaskTimer->setInterval(kMaxChildLifetimeMs);
        connect(m_maxTaskTimer, &QTimer::timeout, this, &RemoteRender::quitRenderbox);
    }
    m_maxTaskTimer->start();
}

void RemoteRender::quitRenderbox()
{
    refreshTaskTerminated();
    if (m_taskTerminated)
        return;
    DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_quit_"), m_renderboxID);
    QProcess *process = m_task;
    m_quittingTask = process;
    m_task = nullptr;
    m_taskTerminated = true;
    m_lastEnd = QStringLiteral("told to quit");
    if (m_maxTaskTimer)
        m_maxTaskTimer->stop();
    // The child normally quits on the notification; these are for one that does not.
    QTimer::singleShot(kQuitToTerminateMs, process, [process] {
        process->terminate();
        QTimer::singleShot(kTerminateToKillMs, process, [process] {
            if (process->state() != QProcess::NotRunning)
                process->kill();
        });
    });
}

// --- JSON -------------------------------------------------------------------------------

QString RemoteRender::jsonStringWithPrettyPrint(const QVariantMap &object)
{
    const QJsonObject json = QJsonObject::fromVariantMap(object);
    if (json.isEmpty() && !object.isEmpty()) {
        TLog(QStringLiteral("jsonStringWithPrettyPrint: error: %1").arg(QStringLiteral("not representable as JSON")));
        return QStringLiteral("{}");
    }
    return QString::fromUtf8(QJsonDocument(json).toJson(QJsonDocument::Indented));
}

QVariantMap RemoteRender::dictFromJSONString(const QString &text)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        TLog(QStringLiteral("jsonStringWithPrettyPrint: error: %1")
                 .arg(error.error != QJsonParseError::NoError ? error.errorString() : QStringLiteral("not an object")));
        return {};
    }
    return doc.object().toVariantMap();
}

bool RemoteRender::dictToJSONFile(const QVariantMap &object, const QString &path)
{
    QString error;
    if (!writePrivateFile(path, jsonStringWithPrettyPrint(object).toUtf8(), &error)) {
        TLog(QStringLiteral("jsonStringWithPrettyPrint: error: %1").arg(error));
        return false;
    }
    return true;
}

std::optional<QVariantMap> RemoteRender::dictFromJSONFile(const QString &path)
{
    QFile file(path);
    const QByteArray data = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    if (data.isEmpty()) {
        TLog(QStringLiteral("dictFromJSONFile: cant find file: %1").arg(path));
        return QVariantMap();
    }
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        TLog(QStringLiteral("dictFromJSONFile: error: %1")
                 .arg(error.error != QJsonParseError::NoError ? error.errorString() : QStringLiteral("not an object")));
        return std::nullopt;
    }
    return doc.object().toVariantMap();
}

int RemoteRender::removeJSONFromFolder(const QString &folder)
{
    const QDir dir(folder);
    const QStringList entries = dir.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries)
        QFile::remove(dir.filePath(entry));
    return int(entries.size());
}
