#include "MainWindow/TarnwickAppDelegate.h"

#include "AppSandbox/FolderAccess.h"
#include "ArchiveView/ArchiveScheduler.h"
#include "MailCoreGTM/GTMOAuth2WindowController.h"
#include "MainWindow/FirstRunIntroduction.h"
#include "MainWindow/MainWindowController.h"
#include "Settings/AccountOAuth.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "SettingsView/EmailSettings.h"
#include "SettingsView/SettingsViewController.h"
#include "Utils/CrashReports.h"
#include "Utils/DesktopNotifier.h"
#include "Utils/DistributedNotificationCenter.h"

#include <QApplication>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {

TarnwickAppDelegate *g_delegate = nullptr;

} // namespace

TarnwickAppDelegate::TarnwickAppDelegate(Preferences &prefs, FXKeychain &keychain, const QString &userBus,
                                         QObject *parent)
    : QObject(parent),
      m_prefs(prefs),
      m_scheduler(std::make_unique<ArchiveScheduler>(prefs, keychain)),
      m_notifier(std::make_unique<DesktopNotifier>(userBus))
{
    g_delegate = this;
    auto &center = DistributedNotificationCenter::defaultCenter();
    m_scheduler->setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });
    center.addObserver(QStringLiteral("rb_anotherPDFMade"), QString(), m_scheduler.get(),
                       [this](const QString &, const QString &jobName) { m_scheduler->anotherPDFMade(jobName); });
    connect(m_scheduler.get(), &ArchiveScheduler::jobFinished, this,
            [this](const QString &name, const RenderTool::Result &result) {
                if (result.outcome == RenderTool::Result::Outcome::Cancelled)
                    return; // the user stopped it: nothing to tell
                m_notifier->jobEnded(name, result.outcome == RenderTool::Result::Outcome::Failed,
                                     m_prefs.integerForKey(PreferenceRegister::lastNumDoneKey(name)), result.reason);
            });
    m_window = std::make_unique<MainWindowController>(*m_scheduler, prefs);
    m_window->setWindowTitle(appName());
    connectGoogleSignIn();
    // A window closed while jobs ran, with no tray to come back by: the application ends
    // with the last of them.
    connect(m_scheduler.get(), &ArchiveScheduler::jobsChanged, this, [this] {
        if (m_window->isHidden() && m_scheduler->renderJobs().isEmpty() && !QSystemTrayIcon::isSystemTrayAvailable())
            QApplication::quit();
    });
}

void TarnwickAppDelegate::connectGoogleSignIn()
{
    // A Google account whose saved sign-in cannot be renewed asks the user, over the window.
    GTMOAuth2WindowController::installInteractiveSignIn(m_window.get());
    EmailSettings *pane = m_window->settingsView()->emailPane();
    AccountOAuth &oauth = AccountOAuth::shared();
    pane->setAccessTokenProvider([&oauth](const QString &email) { return oauth.accessTokenFromOAuth(email); });
    pane->setGoogleSignInHandler([this, &oauth](EmailSettings *pane, const QString &email) {
        if (!email.isEmpty() && SourcesList::isAccount(email, m_prefs)) {
            oauth.launchOauthWorkflowForEmail(email, true); // "Sign In Again…"
            return;
        }
        QPointer<EmailSettings> guard(pane);
        const QString tokenName = pane->addingTokenName();
        GTMOAuth2WindowController::addGoogleAccount(
            m_window.get(),
            [guard, tokenName](const QString &added, const QString &error) {
                if (!guard)
                    return;
                if (added.isEmpty())
                    guard->showSignInError(error);
                else
                    guard->googleSignInGranted(added, tokenName);
            },
            tokenName);
    });
}

TarnwickAppDelegate::~TarnwickAppDelegate()
{
    m_window.reset();
    m_scheduler.reset();
    if (g_delegate == this)
        g_delegate = nullptr;
}

TarnwickAppDelegate *TarnwickAppDelegate::gAppD() { return g_delegate; }

QString TarnwickAppDelegate::appName() { return QStringLiteral("Tarnwick"); }

void TarnwickAppDelegate::applicationDidFinishLaunching(const QStringList &files, bool ask)
{
    // Crash reports only with the user's consent, and only into a local folder.
    if (m_prefs.boolForKey(QStringLiteral("bugsnagCanSendReports")))
        CrashReports::install(CrashReports::folder(), CrashReports::kMainApplication);
    m_window->show();
    if (ask) {
        QTimer::singleShot(0, m_window.get(), [this] { m_window->countLaunchAndAskForCrashReports(); });
        m_window->introduction()->startIfNeeded();
    }
    if (!files.isEmpty())
        QTimer::singleShot(0, m_window.get(), [this, files] { m_window->handleEMLFilesUI(files); });
    m_scheduler->startUp();
}

void TarnwickAppDelegate::applicationWillTerminate()
{
    m_scheduler->stopArchiving();
    DistributedNotificationCenter::defaultCenter().postNotificationName(QStringLiteral("rb_quit_all"),
                                                                        QStringLiteral("all"));
}

void TarnwickAppDelegate::showTheWindow()
{
    m_window->show();
    m_window->raise();
    m_window->activateWindow();
}

void TarnwickAppDelegate::applicationOpenFiles(const QStringList &files)
{
    showTheWindow();
    m_window->handleEMLFilesUI(files);
}

QString TarnwickAppDelegate::destinationDirectory(bool askIfMissing)
{
    const QString dest = FolderAccess::destinationDirectory(false, m_prefs);
    if (!dest.isEmpty() || !askIfMissing)
        return dest;
    m_window->chooseDestination();
    return FolderAccess::destinationDirectory(false, m_prefs);
}
