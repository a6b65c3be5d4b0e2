#pragma once
// SettingsSourceViewController: the sources list on the left of the settings view. It
// draws the rows of the core's SourcesList model (headings, "Settings", the accounts,
// "Add Account", the folders, "Add Folder", the mail folder row), rebuilds them 0.2 s
// after the last change of the preference store, selects the "Settings" row 0.5 s after it
// is set up, and tells the settings view which pane a selection asks for.
//
// Heading rows cannot be selected. A source row shows its pane as soon as it becomes
// current (mouse or arrow keys); an add row runs its action when it is clicked or
// activated with Enter, not when the arrow keys pass over it (a chooser opening under the
// cursor would trap a keyboard user), and is deselected 0.3 s later.

#include "Settings/SourcesList.h"
#include "SettingsView/FolderChooser.h"

#include <QTimer>
#include <QWidget>

class Preferences;
class QListWidget;
class QListWidgetItem;

class SettingsSourceViewController : public QWidget {
    Q_OBJECT
public:
    explicit SettingsSourceViewController(Preferences &prefs, QWidget *parent = nullptr);

    /// Rebuilds the rows from the store and reselects the remembered row.
    void reloadTheData();
    /// Selects a row by number, clamped as the model clamps; shows its pane.
    void setSelectedRow(int row);
    int selectedRow() const { return m_model.selectedRow(); }
    /// Marks the row of `id` selected (after a rebuild from the store) without showing
    /// its pane again: for a source the pane on show has just added.
    void markSelected(const QString &id);
    int rowCount() const { return int(m_model.rows().size()); }
    const SourcesList &model() const { return m_model; }
    QListWidget *listWidget() const { return m_list; }

    /// Adds a folder source through the chooser, opened at the home folder or at the
    /// mail folder; on OK the folder is stored (once), its pane shown and its row selected.
    void addFolderItemFromHomeDir();
    void addFolderItemFromMailDir();
    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }

signals:
    void generalPaneRequested();
    /// The account pane for `email`; the empty string asks for a new account.
    void accountPaneRequested(const QString &email);
    /// The folder pane for `path`; the empty string clears it.
    void folderPaneRequested(const QString &path);

private:
    void redraw();
    void rowBecameCurrent(int row);
    void rowActivated(QListWidgetItem *item);
    void showPaneFor(SourcesList::Selection selection, int row);
    void addFolderItem(const QString &startAt);

    Preferences &m_prefs;
    SourcesList m_model;
    QListWidget *m_list = nullptr;
    QTimer m_reloadTimer;   // 0.2 s after the last change of the store
    QTimer m_deselectTimer; // 0.3 s after an add row ran
    FolderChooser m_chooser;
    bool m_redrawing = false;
};
