#pragma once
// GeneralSettings: the general settings pane: the main destination folder (shown, chosen),
// the general path formats, the hours between automatic runs (digits only), and the
// plain switches of the general keys ("useWindowsFriendlyFilenames",
// "includeTinyHeaderText", "StartArchivingOnLaunch", "maxNumRenderJobs"). Each control
// writes its key at once. The displayed destination is refreshed 1.0 s after the last
// change of the store.

#include "SettingsView/FolderChooser.h"

#include <QTimer>
#include <QWidget>

class Preferences;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

class GeneralSettings : public QWidget {
    Q_OBJECT
public:
    explicit GeneralSettings(Preferences &prefs, QWidget *parent = nullptr);

    void setFolderChooser(FolderChooser chooser) { m_chooser = std::move(chooser); }
    /// Opens the chooser for the main destination; a second request while one is open is
    /// ignored.
    void chooseDestinationDirectory();
    /// Reads every control's value from the store again.
    void refresh();

    QLabel *destinationLabel() const { return m_destination; }
    QLineEdit *hoursField() const { return m_hours; }

signals:
    /// The path format editor for the general level.
    void editFormatsRequested(const QString &accountKey);

private:
    void hoursEdited(const QString &text);

    Preferences &m_prefs;
    FolderChooser m_chooser;
    bool m_choosing = false;
    QTimer m_refreshTimer;
    QLabel *m_destination = nullptr;
    QPushButton *m_chooseButton = nullptr;
    QPushButton *m_formatsButton = nullptr;
    QLineEdit *m_hours = nullptr;
    QCheckBox *m_windowsNames = nullptr;
    QCheckBox *m_tinyHeaders = nullptr;
    QCheckBox *m_onLaunch = nullptr;
    QSpinBox *m_maxJobs = nullptr;
};
