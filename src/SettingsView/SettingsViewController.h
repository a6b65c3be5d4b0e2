#pragma once
// SettingsViewController: the settings view of the main window. The sources list on the
// left (SettingsSourceViewController); on the right one of three panes: the general
// settings, the account pane, the folder pane (made once, shown or hidden). It runs what
// the panes ask of the rest of the program: starting a source's job, opening the path
// format editor, and selecting the row above a source that was removed.

#include "SettingsView/FolderChooser.h"

#include <QWidget>

class ArchiveScheduler;
class CustomPathController;
class EmailSettings;
class FXKeychain;
class FolderSettings;
class GeneralSettings;
class Preferences;
class QStackedWidget;
class SettingsSourceViewController;

class SettingsViewController : public QWidget {
    Q_OBJECT
public:
    SettingsViewController(Preferences &prefs, FXKeychain &keychain, ArchiveScheduler &scheduler,
                           QWidget *parent = nullptr);

    SettingsSourceViewController *sourcesList() const { return m_list; }
    GeneralSettings *generalPane() const { return m_general; }
    EmailSettings *emailPane() const { return m_email; }
    FolderSettings *folderPane() const { return m_folder; }
    /// The pane on show: the general pane, the account pane, the folder pane, or none.
    QWidget *currentPane() const;
    /// The path format editor open now, or null.
    CustomPathController *formatEditor() const;

    /// Shows the account pane for `email`, or a blank one for a new account.
    void switchViewToEmailEdit(const QString &email);
    /// Shows the folder pane for `path`.
    void switchViewToFolderEdit(const QString &path);
    void showGeneralPane();

    /// Opens the path format editor for a level ("General" or a source key), unless one
    /// is open.
    void editFormats(const QString &accountKey);
    /// Selects the sources-list row of `id` (a source key or a fixed row's id) and shows
    /// its pane; false when there is no such row.
    bool selectRowWithId(const QString &id);

    /// Every folder chooser of the view; a test or a script may answer instead.
    void setFolderChooser(const FolderChooser &chooser);

signals:
    /// A source's job was started from its pane.
    void archivingStarted(const QString &sourceKey);

private:
    void startArchivingJob(const QString &sourceKey);
    void selectRowAboveRemoved();

    Preferences &m_prefs;
    ArchiveScheduler &m_scheduler;
    SettingsSourceViewController *m_list = nullptr;
    QStackedWidget *m_panes = nullptr;
    QWidget *m_empty = nullptr;
    GeneralSettings *m_general = nullptr;
    EmailSettings *m_email = nullptr;
    FolderSettings *m_folder = nullptr;
};
