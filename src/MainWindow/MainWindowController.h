#pragma once
// MainWindowController: the main window. A toolbar switches between its three views
// (archive, search, settings), with
// the progress of the running job beside them; File, Edit and Help menus; the window's
// place and size are kept under "TWMainWindow". Closing the window hides it where the
// desktop has a tray (its icon brings the window back), or while jobs run (they go on,
// and the application ends with them); otherwise closing quits.

#include <QMainWindow>

#include <functional>

class ArchiveScheduler;
class ArchiveViewController;
class FirstRunIntroduction;
class Preferences;
class QActionGroup;
class QLabel;
class QStackedWidget;
class SettingsViewController;
class SearchViewController;

class MainWindowController : public QMainWindow {
    Q_OBJECT
public:
    MainWindowController(ArchiveScheduler &scheduler, Preferences &prefs, QWidget *parent = nullptr);

    ArchiveViewController *archiveView() const { return m_archiveView; }
    SettingsViewController *settingsView() const { return m_settingsView; }
    SearchViewController *searchView() const { return m_searchView; }
    // Files opened with the application or dropped on the window: asks for the folder
    // to archive them into (opening at the last one chosen, "DraggedFilesDestination",
    // else the Desktop) and starts a job over them there.
    void handleEMLFilesUI(const QStringList &paths);
    // How the folder is asked for; a test or a script may answer instead of the dialog.
    void setFolderChooser(std::function<QString(const QString &startAt)> chooser) { m_chooser = std::move(chooser); }

    // A yes/no question in a sheet on the window; a test or a script may answer instead.
    using Question = std::function<bool(const QString &title, const QString &text)>;
    void setQuestionAnswerer(Question answer) { m_answer = std::move(answer); }
    // Counts this launch ("launchCount") and, from the third launch on, asks once whether
    // crash reports may be kept ("bugsnagHaveAsked", "bugsnagCanSendReports").
    void countLaunchAndAskForCrashReports();
    // "Reset Preferences…": after asking, removes every preference (sources, formats,
    // destinations); the archive's files are left alone.
    void resetAllPrefsAsk();

    // The first-run walk-through; started by the application once the window is shown.
    FirstRunIntroduction *introduction() const { return m_introduction; }
    // What the walk-through's notes lead to; the settings view supplies them. Without
    // them the destination is asked for with a folder dialog, and "Add Account" shows the
    // settings view.
    void setDestinationChooser(std::function<void()> choose) { m_chooseDestination = std::move(choose); }
    void setAddAccountAction(std::function<void()> add) { m_addAccount = std::move(add); }
    // Asks for the main destination folder (the settings view's chooser when set).
    void chooseDestination();
    // How a note with one "OK" is shown; a test or a script may read it instead.
    using Note = std::function<void(const QString &title, const QString &text, std::function<void()> ok)>;
    void setNoteShower(Note show) { m_note = std::move(show); }

    // Shows the view with this index: 0 archive, 1 search, 2 settings.
    void showView(int index);
    int currentView() const;

protected:
    void closeEvent(QCloseEvent *event) override;
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;

private:
    void saveGeometryToPrefs();

    ArchiveScheduler &m_scheduler;
    Preferences &m_prefs;
    ArchiveViewController *m_archiveView = nullptr;
    SettingsViewController *m_settingsView = nullptr;
    SearchViewController *m_searchView = nullptr;
    QStackedWidget *m_views = nullptr;
    QActionGroup *m_viewActions = nullptr;
    QLabel *m_progressLabel = nullptr;
    // Where the desktop has a tray: the way back to a hidden window.
    class QSystemTrayIcon *m_tray = nullptr;
    std::function<QString(const QString &startAt)> m_chooser;
    Question m_answer;
    FirstRunIntroduction *m_introduction = nullptr;
    std::function<void()> m_chooseDestination;
    std::function<void()> m_addAccount;
    Note m_note;
    void tell(const QString &title, const QString &text, std::function<void()> ok);
    bool ask(const QString &title, const QString &text);
};
