#pragma once
// TarnwickAppDelegate: the desktop application as a whole. It owns the job scheduler, the
// main window and the desktop notices; at launch it counts the launch, shows the window,
// asks for crash-report consent (from the third launch on), starts the first-run
// walk-through when no destination is set and starts the scheduler's timers; at the end it
// stops the jobs and tells every renderbox to quit ("rb_quit_all").
//
// One per process, reachable as gAppD() while it lives. Main thread only. The process
// set-up around it (single instance, the renderboxes' private bus) is the caller's.

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class ArchiveScheduler;
class DesktopNotifier;
class FXKeychain;
class MainWindowController;
class Preferences;

class TarnwickAppDelegate : public QObject {
    Q_OBJECT
public:
    // `userBus`: the user's session bus, for desktop notices ("" for none).
    TarnwickAppDelegate(Preferences &prefs, FXKeychain &keychain, const QString &userBus, QObject *parent = nullptr);
    ~TarnwickAppDelegate() override;

    // The delegate of this process, or null.
    static TarnwickAppDelegate *gAppD();
    // "Tarnwick": the window's title and the name in menu items.
    static QString appName();

    // Shows the window and starts what runs from launch on; `files` are archived as
    // dropped files are. Questions (consent, first run) are left out when `ask` is false.
    void applicationDidFinishLaunching(const QStringList &files, bool ask = true);
    // Stops every job and tells every renderbox to quit.
    void applicationWillTerminate();
    // Brings the window to the front (a second launch, the tray).
    void showTheWindow();
    // Files opened with the application or handed over by a second launch.
    void applicationOpenFiles(const QStringList &files);
    // The main destination folder; "" when none is set (and, with `askIfMissing`, the
    // user chose none when asked).
    QString destinationDirectory(bool askIfMissing);

    ArchiveScheduler &scheduler() const { return *m_scheduler; }
    MainWindowController *mainWindowController() const { return m_window.get(); }

private:
    // The account pane's Google sign-in: the sign-in window, tokens for its tests.
    void connectGoogleSignIn();

    Preferences &m_prefs;
    std::unique_ptr<ArchiveScheduler> m_scheduler;
    std::unique_ptr<DesktopNotifier> m_notifier;
    std::unique_ptr<MainWindowController> m_window;
};
