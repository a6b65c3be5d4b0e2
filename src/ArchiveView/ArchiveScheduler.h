#pragma once
// ArchiveScheduler: the jobs of the running application and the rules that start them,
// the part of the archive view that needs no window, so that the window and `tarnwick
// archive --all` run the same code. It turns a source into a job (its options built from
// the preference and password stores), runs at most "maxNumRenderJobs" jobs at a time
// (clamped to 1 … 10), starts every source on the automatic timer ("hoursBetweenUpdates",
// 60 s … 30 days, none at 0) and at launch when asked, removes jobs as they end, and
// records each source's last finished run ("__LastFinished") and its PDF count
// ("__LastNumDone", counted from "rb_anotherPDFMade").
//
// Main thread only. Jobs are owned here; a view polls rows() (every 2 s) and listens to
// jobsChanged().

#include "RenderEngine/RenderTool.h"
#include "Utils/SleepInhibitor.h"

#include <QHash>
#include <QSet>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

class FXKeychain;
class Preferences;

class ArchiveScheduler : public QObject {
    Q_OBJECT
public:
    // The preference and password stores, and how jobs post notifications between
    // processes ("rb_anotherPDFMade"); the default posts nothing.
    ArchiveScheduler(Preferences &prefs, FXKeychain &keychain, QObject *parent = nullptr);
    ~ArchiveScheduler() override;
    void setNotificationPoster(MessageToHTMLToPDF::NotificationPoster poster) { m_poster = std::move(poster); }

    // Accounts, then folder sources; empty names left out.
    QStringList sources() const;
    const QList<RenderTool *> &renderJobs() const { return m_renderJobs; }
    RenderTool *renderToolForjobName(const QString &name) const;

    // Starts every source (each once: a source whose job exists is left alone).
    void startArchiving();
    // Starts one source; false with the reason (shown in its row) when no job can be made.
    bool startArchiving(const QString &name);
    // Cancels and removes every job, or the first one named `name`.
    void stopArchiving();
    void stopArchiving(const QString &name);
    // A job over files and folders (dropped or opened files); its name is "%d EML files to
    // %@" when none is given. Null when there is no destination.
    RenderTool *startEMLJob(const QStringList &paths, const QString &destOverride, const QString &jobName);

    // "maxNumRenderJobs" clamped to 1 … 10.
    int maxRunningJobs() const;
    static int clampedMaxJobs(qint64 value);
    // The automatic run's interval in seconds (0: none), from "hoursBetweenUpdates".
    qint64 autoJobIntervalSecs() const;
    // (Re)starts the automatic timer when its interval changed.
    void startAutoJobTimer();
    bool autoJobTimerActive() const { return m_autoJobTimer.isActive(); }
    int autoJobTimerIntervalMs() const { return m_autoJobTimer.interval(); }
    // After launch: the automatic timer (restarted 0.2 s after preference changes settle),
    // the sleep check, and every source 3 s later when "StartArchivingOnLaunch" is set.
    void startUp();

    // One row of the archive view: the sources in order, then the one-off jobs.
    struct Row {
        QString name;
        QPointer<RenderTool> job; // null: no job (start button, last-archived line)
        double fraction = 0;
        QString statusLine;
    };
    // The rows as they are drawn; finished jobs are removed first, as drawing does.
    QList<Row> rows();
    // "%@ - %d%%" of the last running job, or "".
    QString toolbarLabel() const;
    // Whether the computer is kept from idle sleep now.
    bool keepingAwake() const { return m_inhibitor.held(); }
    // Why a source's last start made no job ("" when it did).
    QString whyNoJob(const QString &name) const { return m_whyNoJob.value(name); }

    // A PDF was archived by the job `jobName` ("rb_anotherPDFMade").
    void anotherPDFMade(const QString &jobName);
    // Removes the last job named `name`, recording its date when it finished.
    void removeRenderEngine(const QString &name);

signals:
    // Jobs were added, started, removed or ended.
    void jobsChanged();
    // A job ended (done, cancelled or failed), before it is removed.
    void jobFinished(const QString &name, const RenderTool::Result &result);

private:
    RenderTool *addJob(const JobOptions &options, const QString &name);
    void startUpSleepPrevention();
    void startRenderingWaitingJobs();
    QString lastArchivedLine(const QString &name) const;
    // A Google account without an access token yet: true while its start waits for one.
    bool waitForGoogleToken(const QString &name);

    Preferences &m_prefs;
    FXKeychain &m_keychain;
    MessageToHTMLToPDF::NotificationPoster m_poster;
    QList<RenderTool *> m_renderJobs; // children of this
    QHash<QString, QString> m_whyNoJob;
    QSet<QString> m_waitingForToken;
    QTimer m_autoJobTimer;
    QTimer m_prefsSettled;
    // Every 2 s: the computer stays awake while any job exists.
    QTimer m_sleepCheck;
    SleepInhibitor m_inhibitor;
    qint64 m_autoJobIntervalSecs = 0;
};
