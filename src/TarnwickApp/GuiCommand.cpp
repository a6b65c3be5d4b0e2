#include "TarnwickApp/GuiCommand.h"

#include "ArchiveView/ArchiveScheduler.h"
#include "ArchiveView/ArchiveViewController.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2WindowController.h"
#include "MainWindow/MainWindowController.h"
#include "MainWindow/SingleInstance.h"
#include "Settings/Preferences.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "Utils/CrashReports.h"
#include "Utils/DesktopNotifier.h"
#include "Utils/DistributedNotificationCenter.h"
#include "Utils/PrivateSessionBus.h"

#include <QApplication>
#include <QFileInfo>
#include <QSystemTrayIcon>
#include <QTimer>

namespace GuiCommand {

int run(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));

    // The renderboxes of this application talk to it over a bus of its own, so that
    // they never meet another run's; passwords stay on the user's bus.
    // Files given on the command line (the file manager's "Open with") are archived as
    // dropped files are.
    QStringList files;
    for (const QString &arg : app.arguments().mid(2))
        if (!arg.startsWith(QLatin1String("-")))
            files.append(QFileInfo(arg).absoluteFilePath());

    const QString userBus = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
    // One application per user: a second launch hands its files to the first and ends.
    SingleInstance instance(userBus);
    bool noBus = false;
    if (!instance.claimOrHandOver(files, &noBus))
        return 0;
    FXKeychain::keepUsersSessionBus();
    DesktopNotifier notifier(userBus);
    PrivateSessionBus bus;
    QString error;
    if (!bus.start(&error)) {
        printErr(QStringLiteral("tarnwick: %1\n").arg(error));
        return 2;
    }
    auto &center = DistributedNotificationCenter::defaultCenter();
    Preferences &prefs = Preferences::shared();
    // Crash reports only with the user's consent, and only into a local folder.
    if (prefs.boolForKey(QStringLiteral("bugsnagCanSendReports")))
        CrashReports::install(CrashReports::folder());
    ArchiveScheduler scheduler(prefs, FXKeychain::defaultKeychain());
    scheduler.setNotificationPoster([](const QString &name, const QString &object) {
        DistributedNotificationCenter::defaultCenter().postNotificationName(name, object);
    });
    center.addObserver(QStringLiteral("rb_anotherPDFMade"), QString(), &scheduler,
                       [&scheduler](const QString &, const QString &jobName) { scheduler.anotherPDFMade(jobName); });

    QObject::connect(&scheduler, &ArchiveScheduler::jobFinished, &app,
                     [&](const QString &name, const RenderTool::Result &result) {
                         if (result.outcome == RenderTool::Result::Outcome::Cancelled)
                             return; // the user stopped it: nothing to tell
                         notifier.jobEnded(name, result.outcome == RenderTool::Result::Outcome::Failed,
                                           prefs.integerForKey(name + QStringLiteral("__LastNumDone")), result.reason);
                     });
    MainWindowController window(scheduler, prefs);
    // A Google account whose saved sign-in cannot be renewed asks the user, over the window.
    GTMOAuth2WindowController::installInteractiveSignIn(&window);
    window.show();
    instance.setHandlers(
        [&window] {
            window.show();
            window.raise();
            window.activateWindow();
        },
        [&window](const QStringList &paths) {
            window.show();
            window.raise();
            window.handleEMLFilesUI(paths);
        });
    if (!qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT"))
        QTimer::singleShot(0, &window, [&window] { window.countLaunchAndAskForCrashReports(); });
    if (!files.isEmpty())
        QTimer::singleShot(0, &window, [&window, files] { window.handleEMLFilesUI(files); });
    // A window closed while jobs ran, with no tray to come back by: the application ends
    // with the last of them.
    QObject::connect(&scheduler, &ArchiveScheduler::jobsChanged, &app, [&] {
        if (window.isHidden() && scheduler.renderJobs().isEmpty() && !QSystemTrayIcon::isSystemTrayAvailable())
            QApplication::quit();
    });
    scheduler.startUp();

    // For README's screenshots (scripts/screenshots.sh): the running window, as drawn.
    const QString screenshot = qEnvironmentVariable("TARNWICK_SCREENSHOT");
    if (!screenshot.isEmpty()) {
        if (qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT_START_ALL"))
            QTimer::singleShot(500, &scheduler, [&] { scheduler.startArchiving(); });
        const int after = qEnvironmentVariableIntValue("TARNWICK_SCREENSHOT_AFTER_MS");
        QTimer::singleShot(after > 0 ? after : 3000, &window, [&] {
            window.archiveView()->reloadRows();
            window.grab().save(screenshot);
            scheduler.stopArchiving();
            QApplication::quit();
        });
    }
    const int status = app.exec();
    scheduler.stopArchiving();
    center.postNotificationName(QStringLiteral("rb_quit_all"), QStringLiteral("all"));
    return status;
}

} // namespace GuiCommand
