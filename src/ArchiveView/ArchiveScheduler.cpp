#include "ArchiveView/ArchiveScheduler.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "RenderEngine/AccountJobOptions.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>
#include <QLocale>

#include <limits>

namespace {

constexpr int kStartOnLaunchDelayMs = 3000;
constexpr int kPrefsSettleMs = 200;
constexpr int kGoogleTokenRetryMs = 3000;

bool isFolderSource(const QString &name) { return name.startsWith(QLatin1Char('/')); }

} // namespace

ArchiveScheduler::ArchiveScheduler(Preferences &prefs, FXKeychain &keychain, QObject *parent)
    : QObject(parent), m_prefs(prefs), m_keychain(keychain)
{
    connect(&m_autoJobTimer, &QTimer::timeout, this, [this] { startArchiving(); });
}

void ArchiveScheduler::startUpSleepPrevention()
{
    connect(&m_sleepCheck, &QTimer::timeout, this, [this] { m_inhibitor.update(!m_renderJobs.isEmpty()); });
    m_sleepCheck.start(2000);
}

ArchiveScheduler::~ArchiveScheduler()
{
    for (RenderTool *job : std::as_const(m_renderJobs))
        job->cancel();
}

QStringList ArchiveScheduler::sources() const { return SourcesList::allSourceKeys(m_prefs); }

RenderTool *ArchiveScheduler::renderToolForjobName(const QString &name) const
{
    for (RenderTool *job : m_renderJobs)
        if (job->jobName() == name)
            return job;
    return nullptr;
}

void ArchiveScheduler::startArchiving()
{
    for (const QString &name : sources())
        startArchiving(name);
}

bool ArchiveScheduler::startArchiving(const QString &name)
{
    if (renderToolForjobName(name))
        return true;
    if (!isFolderSource(name) && waitForGoogleToken(name))
        return false;
    QString error;
    const std::optional<JobOptions> options = isFolderSource(name)
                                                  ? AccountJobOptions::forFolder(name, m_prefs, &error)
                                                  : AccountJobOptions::forAccount(name, m_prefs, m_keychain, &error);
    if (!options) {
        // The design starts nothing here, silently; the row says why instead.
        m_whyNoJob.insert(name, error);
        TLog(QStringLiteral("no job for %1: %2").arg(name, error));
        emit jobsChanged();
        return false;
    }
    m_whyNoJob.remove(name);
    addJob(*options, name);
    return true;
}

RenderTool *ArchiveScheduler::startEMLJob(const QStringList &paths, const QString &destOverride, const QString &jobName)
{
    if (paths.isEmpty())
        return nullptr;
    const QString dest = FolderAccess::destinationDirectory(false, m_prefs);
    if (dest.isEmpty() && destOverride.isEmpty())
        return nullptr;
    JobOptions options;
    options[JobKey::emlFiles] = paths;
    options[JobKey::destFolder] = dest.isEmpty() ? destOverride : dest;
    if (!destOverride.isEmpty())
        options[JobKey::destFolderOverride] = destOverride;
    const QString account = jobName.isEmpty() ? CustomPath::generalAccount() : jobName;
    options[JobKey::pdfFormat] = CustomPath::getPathFormat(account);
    options[JobKey::attachmentFormat] = CustomPath::getAttachmentFormat(account);
    options[JobKey::emlFormat] = CustomPath::getEMLFormat(account);
    options[JobKey::windowsFilenames] = m_prefs.boolForKey(QStringLiteral("useWindowsFriendlyFilenames"));
    options[JobKey::tinyHeaders] = m_prefs.boolForKey(QStringLiteral("includeTinyHeaderText"));
    QString name = jobName;
    if (name.isEmpty()) {
        const QString folder = QFileInfo(destOverride.isEmpty() ? dest : destOverride).fileName();
        name = QStringLiteral("%1 EML files to %2").arg(paths.size()).arg(folder);
    }
    return addJob(options, name);
}

RenderTool *ArchiveScheduler::addJob(const JobOptions &options, const QString &name)
{
    auto *job = new RenderTool(options, this);
    job->setJobName(name);
    if (m_poster)
        job->setNotificationPoster(m_poster);
    connect(job, &RenderTool::finished, this, [this, job](const RenderTool::Result &result) {
        emit jobFinished(job->jobName(), result);
        emit jobsChanged();
    });
    m_renderJobs.append(job);
    startRenderingWaitingJobs();
    emit jobsChanged();
    return job;
}

int ArchiveScheduler::clampedMaxJobs(qint64 value) { return int(qBound(qint64(1), value, qint64(10))); }

int ArchiveScheduler::maxRunningJobs() const
{
    return clampedMaxJobs(m_prefs.integerForKey(QStringLiteral("maxNumRenderJobs")));
}

void ArchiveScheduler::startRenderingWaitingJobs()
{
    int running = 0;
    for (RenderTool *job : std::as_const(m_renderJobs))
        running += job->waiting() ? 0 : 1;
    const int limit = maxRunningJobs();
    for (RenderTool *job : std::as_const(m_renderJobs)) {
        if (running >= limit)
            break;
        if (!job->waiting())
            continue;
        m_prefs.setValue(PreferenceRegister::lastNumDoneKey(job->jobName()), 0);
        job->renderPDFs();
        ++running;
    }
}

void ArchiveScheduler::stopArchiving()
{
    const QList<RenderTool *> jobs = m_renderJobs;
    for (RenderTool *job : jobs)
        stopArchiving(job->jobName());
}

bool ArchiveScheduler::waitForGoogleToken(const QString &name)
{
    if (AccountSetup::authSystem(name, m_prefs) != AccountSetup::kauthGoogleOAuth())
        return false;
    AccountOAuth &oauth = AccountOAuth::shared();
    if (!oauth.accessTokenFromOAuth(name).isEmpty())
        return false;
    // The renewal (or the sign-in) is under way: look again every 3 s until a token
    // exists. A failed sign-in ends the wait, so that no loop asks the server for ever.
    m_whyNoJob.insert(name, QStringLiteral("waiting for the Google sign-in"));
    emit jobsChanged();
    if (m_waitingForToken.contains(name))
        return true;
    m_waitingForToken.insert(name);
    auto *failed = new QMetaObject::Connection;
    *failed = connect(&oauth, &AccountOAuth::OAuthFailed, this, [this, name, failed](const QString &email) {
        if (email != name)
            return;
        QObject::disconnect(*failed);
        m_waitingForToken.remove(name);
        m_whyNoJob.insert(name, QStringLiteral("the Google sign-in failed: sign in again in the account settings"));
        emit jobsChanged();
    });
    const auto retry = [this, name, failed] {
        if (!m_waitingForToken.contains(name))
            return;
        if (!AccountOAuth::shared().accessTokenFromOAuth(name).isEmpty()) {
            QObject::disconnect(*failed);
            m_waitingForToken.remove(name);
            startArchiving(name);
        }
    };
    auto *timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, [timer, retry, this, name, failed] {
        if (!m_waitingForToken.contains(name)) {
            timer->deleteLater();
            delete failed;
            return;
        }
        retry();
    });
    timer->start(kGoogleTokenRetryMs);
    return true;
}

void ArchiveScheduler::stopArchiving(const QString &name)
{
    m_waitingForToken.remove(name);
    if (RenderTool *job = renderToolForjobName(name)) {
        job->cancel();
        removeRenderEngine(name);
    }
}

void ArchiveScheduler::removeRenderEngine(const QString &name)
{
    RenderTool *last = nullptr;
    for (RenderTool *job : std::as_const(m_renderJobs))
        if (job->jobName() == name)
            last = job;
    if (!last)
        return;
    // Only a run that got through counts as archived: a cancelled or failed run keeps the
    // date of the last complete one.
    if (last->allFinished() && !last->wasCancelled() && last->result().outcome == RenderTool::Result::Outcome::Done)
        m_prefs.setValue(PreferenceRegister::lastFinishedKey(name), QDateTime::currentDateTime());
    if (last->result().outcome == RenderTool::Result::Outcome::Failed)
        m_whyNoJob.insert(name, last->result().reason);
    m_renderJobs.removeOne(last);
    last->deleteLater();
    startRenderingWaitingJobs();
    emit jobsChanged();
}

qint64 ArchiveScheduler::autoJobIntervalSecs() const
{
    return PreferenceRegister::automaticRunInterval(m_prefs.value(QStringLiteral("hoursBetweenUpdates"))).value_or(0);
}

void ArchiveScheduler::startAutoJobTimer()
{
    const qint64 secs = autoJobIntervalSecs();
    if (secs == 0 || secs == m_autoJobIntervalSecs)
        return;
    m_autoJobIntervalSecs = secs;
    m_autoJobTimer.start(int(qMin<qint64>(secs * 1000, std::numeric_limits<int>::max())));
}

void ArchiveScheduler::startUp()
{
    // A burst of preference changes (typing an interval) restarts the timer once, after
    // the last of them.
    m_prefsSettled.setSingleShot(true);
    m_prefsSettled.setInterval(kPrefsSettleMs);
    connect(&m_prefsSettled, &QTimer::timeout, this, &ArchiveScheduler::startAutoJobTimer);
    connect(&m_prefs, &Preferences::changed, &m_prefsSettled, qOverload<>(&QTimer::start));
    startAutoJobTimer();
    startUpSleepPrevention();
    if (m_prefs.boolForKey(QStringLiteral("StartArchivingOnLaunch")))
        QTimer::singleShot(kStartOnLaunchDelayMs, this, [this] { startArchiving(); });
}

void ArchiveScheduler::anotherPDFMade(const QString &jobName)
{
    const QString key = PreferenceRegister::lastNumDoneKey(jobName);
    m_prefs.setValue(key, m_prefs.integerForKey(key) + 1);
}

QString ArchiveScheduler::lastArchivedLine(const QString &name) const
{
    const QDateTime last = m_prefs.dateForKey(PreferenceRegister::lastFinishedKey(name));
    if (!last.isValid())
        return QStringLiteral("Not Archived");
    const QString when = QLocale().toString(last, QLocale::ShortFormat);
    const qint64 done = m_prefs.integerForKey(PreferenceRegister::lastNumDoneKey(name));
    return done > 0 ? QStringLiteral("Last Archived: %1  (%2 PDFs added)").arg(when).arg(done)
                    : QStringLiteral("Last Archived: %1").arg(when);
}

QList<ArchiveScheduler::Row> ArchiveScheduler::rows()
{
    // Finished jobs leave the list as their rows are drawn.
    const QList<RenderTool *> jobs = m_renderJobs;
    for (RenderTool *job : jobs)
        if (job->allFinished())
            removeRenderEngine(job->jobName());

    QList<Row> out;
    QStringList names = sources();
    for (RenderTool *job : std::as_const(m_renderJobs))
        if (!names.contains(job->jobName()))
            names.append(job->jobName());
    for (const QString &name : std::as_const(names)) {
        Row row;
        row.name = name;
        row.job = renderToolForjobName(name);
        if (row.job) {
            row.fraction = row.job->fractionDone();
            row.statusLine = RenderTool::statusText(
                row.job->operationDescription(),
                {row.job->numEmailsArchived(), row.job->totalEmailCount(),
                 m_prefs.integerForKey(PreferenceRegister::lastNumDoneKey(name))});
        } else if (!m_whyNoJob.value(name).isEmpty()) {
            row.statusLine = m_whyNoJob.value(name);
        } else {
            row.statusLine = lastArchivedLine(name);
        }
        out.append(row);
    }
    return out;
}

QString ArchiveScheduler::toolbarLabel() const
{
    QString label;
    for (RenderTool *job : m_renderJobs)
        if (!job->waiting())
            label = QStringLiteral("%1 - %2%").arg(QFileInfo(job->jobName()).fileName()).arg(int(job->fractionDone() * 100));
    return label;
}
