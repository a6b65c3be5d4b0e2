#pragma once
// FolderSettings: the pane of one local-folder source: its path, where its outputs go
// (its own destination, or "Default (%@)" with the main one), buttons to set ("Set
// Custom"/"Change") or drop its own destination, to start archiving it and to remove it.

#include "SettingsView/FolderChooser.h"

#include <QWidget>

class Preferences;
class QLabel;
class QPushButton;

class FolderSettings : public QWidget {
    Q_OBJECT
public:
    explicit FolderSettings(Preferences &prefs, QWidget *parent = nullptr);

    /// Fills the pane for the folder source `path` (the empty string clears it).
    void populateFolderSettings(const QString &path);
    QString path() const { return m_path; }
    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }

    /// Asks for the folder's own destination and stores it.
    void changeFolderDestination();
    /// Drops the folder's own destination: its outputs go to the main one again.
    void removeCustomPathClicked();
    /// Removes the folder source (its other settings stay in the store).
    void removeFolderClicked();
    void startArchivingAction();

    QLabel *destinationLabel() const { return m_destination; }
    QPushButton *destinationButton() const { return m_destButton; }
    QPushButton *removeDestinationButton() const { return m_removeDestButton; }
    QPushButton *removeButton() const { return m_removeButton; }

signals:
    void startArchivingJob(const QString &sourceKey);
    /// The folder was removed from the sources.
    void folderRemoved();

private:
    Preferences &m_prefs;
    QString m_path;
    FolderChooser m_chooser;
    QLabel *m_pathLabel = nullptr;
    QLabel *m_destination = nullptr;
    QPushButton *m_destButton = nullptr;
    QPushButton *m_removeDestButton = nullptr;
    QPushButton *m_startButton = nullptr;
    QPushButton *m_removeButton = nullptr;
};
