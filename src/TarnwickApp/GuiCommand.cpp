#include "TarnwickApp/GuiCommand.h"

#include "ArchiveView/ArchiveScheduler.h"
#include "ArchiveView/ArchiveViewController.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MainWindow/MainWindowController.h"
#include "MainWindow/SingleInstance.h"
#include "MainWindow/TarnwickAppDelegate.h"
#include "CustomPathsView/CustomPathController.h"
#include "SettingsView/SettingsViewController.h"
#include "SearchView/SearchViewController.h"
#include "Settings/Preferences.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "Utils/PrivateSessionBus.h"

#include <QApplication>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QTimer>

namespace GuiCommand {

int run(int argc, char **argv)
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("tarnwick"));

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
    // The renderboxes of this application talk to it over a bus of its own, so that
    // they never meet another run's; passwords and notices stay on the user's bus.
    FXKeychain::keepUsersSessionBus();
    PrivateSessionBus bus;
    QString error;
    if (!bus.start(&error)) {
        printErr(QStringLiteral("tarnwick: %1\n").arg(error));
        return 2;
    }
    const bool screenshot = qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT");
    TarnwickAppDelegate delegate(Preferences::shared(), FXKeychain::defaultKeychain(), userBus);
    ArchiveScheduler &scheduler = delegate.scheduler();
    MainWindowController &window = *delegate.mainWindowController();
    instance.setHandlers([&delegate] { delegate.showTheWindow(); },
                         [&delegate](const QStringList &paths) { delegate.applicationOpenFiles(paths); });
    delegate.applicationDidFinishLaunching(files, !screenshot);

    // For README's screenshots (scripts/screenshots.sh): the running window, as drawn.
    if (screenshot) {
        if (qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT_START_ALL"))
            QTimer::singleShot(500, &scheduler, [&] { scheduler.startArchiving(); });
        // The settings view with one source's row selected, and its path format editor.
        const QString settingsRow = qEnvironmentVariable("TARNWICK_SCREENSHOT_SETTINGS");
        if (!settingsRow.isEmpty()) {
            window.showView(2);
            QTimer::singleShot(800, &window, [&window, settingsRow] {
                window.settingsView()->selectRowWithId(settingsRow);
                if (qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT_FORMATS"))
                    window.settingsView()->editFormats(settingsRow);
            });
        }
        // The search view with a query typed into its everywhere field, first result selected.
        if (qEnvironmentVariableIsSet("TARNWICK_SCREENSHOT_SEARCH")) {
            QTimer::singleShot(300, &window, [&window] {
                window.resize(1000, 680);
                window.showView(1);
                window.searchView()->everywhereField()->setText(qEnvironmentVariable("TARNWICK_SCREENSHOT_SEARCH"));
                QObject::connect(window.searchView(), &SearchViewController::searchFinished, &window, [&window] {
                    QListView *grid = window.searchView()->grid();
                    if (grid->model()->rowCount() > 0 && !grid->currentIndex().isValid())
                        grid->setCurrentIndex(grid->model()->index(0, 0));
                });
            });
        }
        const int after = qEnvironmentVariableIntValue("TARNWICK_SCREENSHOT_AFTER_MS");
        QTimer::singleShot(after > 0 ? after : 3000, &window, [&] {
            if (window.currentView() == 0)
                window.archiveView()->reloadRows();
            if (QWidget *editor = window.settingsView()->formatEditor())
                editor->grab().save(qEnvironmentVariable("TARNWICK_SCREENSHOT"));
            else
                window.grab().save(qEnvironmentVariable("TARNWICK_SCREENSHOT"));
            scheduler.stopArchiving();
            QApplication::quit();
        });
    }
    const int status = app.exec();
    delegate.applicationWillTerminate();
    return status;
}

} // namespace GuiCommand
