#include "SettingsView/SettingsViewController.h"

#include "AppSandbox/FolderAccess.h"
#include "ArchiveView/ArchiveScheduler.h"
#include "CustomPathsView/CustomPathController.h"
#include "SettingsView/EmailSettings.h"
#include "SettingsView/FolderSettings.h"
#include "SettingsView/GeneralSettings.h"
#include "SettingsView/SettingsSourceViewController.h"

#include <QHBoxLayout>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>

SettingsViewController::SettingsViewController(Preferences &prefs, FXKeychain &keychain, ArchiveScheduler &scheduler,
                                               QWidget *parent)
    : QWidget(parent), m_prefs(prefs), m_scheduler(scheduler)
{
    m_list = new SettingsSourceViewController(prefs, this);
    m_panes = new QStackedWidget(this);
    m_empty = new QWidget(m_panes);
    m_general = new GeneralSettings(prefs, m_panes);
    m_email = new EmailSettings(prefs, keychain, m_panes);
    m_folder = new FolderSettings(prefs, m_panes);
    for (QWidget *pane : {m_empty, static_cast<QWidget *>(m_general), static_cast<QWidget *>(m_email),
                          static_cast<QWidget *>(m_folder)})
        m_panes->addWidget(pane);
    auto *splitter = new QSplitter(this);
    splitter->addWidget(m_list);
    splitter->addWidget(m_panes);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({220, 540});
    splitter->setChildrenCollapsible(false);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(splitter);

    connect(m_list, &SettingsSourceViewController::generalPaneRequested, this, &SettingsViewController::showGeneralPane);
    connect(m_list, &SettingsSourceViewController::accountPaneRequested, this,
            &SettingsViewController::switchViewToEmailEdit);
    connect(m_list, &SettingsSourceViewController::folderPaneRequested, this,
            &SettingsViewController::switchViewToFolderEdit);
    connect(m_general, &GeneralSettings::editFormatsRequested, this, &SettingsViewController::editFormats);
    connect(m_email, &EmailSettings::editFormatsRequested, this, &SettingsViewController::editFormats);
    connect(m_email, &EmailSettings::startArchivingJob, this, &SettingsViewController::startArchivingJob);
    connect(m_folder, &FolderSettings::startArchivingJob, this, &SettingsViewController::startArchivingJob);
    connect(m_email, &EmailSettings::accountRemoved, this, &SettingsViewController::selectRowAboveRemoved);
    connect(m_email, &EmailSettings::accountAdded, m_list, &SettingsSourceViewController::markSelected);
    connect(m_folder, &FolderSettings::folderRemoved, this, [this] {
        selectRowAboveRemoved();
        m_folder->populateFolderSettings(QString());
    });

    // A job that cannot list its account's folders says so in the account's pane too.
    connect(&m_scheduler, &ArchiveScheduler::jobsChanged, this, [this] {
        for (RenderTool *job : m_scheduler.renderJobs()) {
            if (job->property("settingsViewWatches").toBool())
                continue; // once per job
            job->setProperty("settingsViewWatches", true);
            connect(job, &RenderTool::errorFolderNames, m_email,
                    [this, job](const QString &error) { m_email->errorFolderNames(job->jobName(), error); });
        }
    });

    // The main destination is asked for from here when a job finds none.
    QPointer<GeneralSettings> general = m_general;
    FolderAccess::setDestinationChooser([general] {
        if (general)
            QTimer::singleShot(0, general, [general] { general->chooseDestinationDirectory(); });
    });
}

QWidget *SettingsViewController::currentPane() const
{
    QWidget *pane = m_panes->currentWidget();
    return pane == m_empty ? nullptr : pane;
}

CustomPathController *SettingsViewController::formatEditor() const
{
    return window()->findChild<CustomPathController *>();
}

void SettingsViewController::showGeneralPane()
{
    m_general->refresh();
    m_panes->setCurrentWidget(m_general);
}

void SettingsViewController::switchViewToEmailEdit(const QString &email)
{
    m_email->populateEmailSettings(email);
    m_panes->setCurrentWidget(m_email);
    if (email.isEmpty())
        m_email->emailField()->setFocus();
}

void SettingsViewController::switchViewToFolderEdit(const QString &path)
{
    m_folder->populateFolderSettings(path);
    m_panes->setCurrentWidget(m_folder);
}

void SettingsViewController::setFolderChooser(const FolderChooser &chooser)
{
    m_list->setFolderChooser(chooser);
    m_general->setFolderChooser(chooser);
    m_email->setFolderChooser(chooser);
    m_folder->setFolderChooser(chooser);
}

void SettingsViewController::startArchivingJob(const QString &sourceKey)
{
    if (m_scheduler.startArchiving(sourceKey)) {
        emit archivingStarted(sourceKey);
        return;
    }
    QMessageBox::warning(window(), tr("Start Archiving"),
                         tr("%1 cannot be archived now: %2").arg(sourceKey, m_scheduler.whyNoJob(sourceKey)));
}

void SettingsViewController::editFormats(const QString &accountKey)
{
    if (formatEditor())
        return;
    CustomPathController::showCustomPathControllerForAccount(accountKey, window());
}

bool SettingsViewController::selectRowWithId(const QString &id)
{
    m_list->reloadTheData();
    const QList<QVariantMap> &rows = m_list->model().rows();
    for (int i = 0; i < rows.size(); ++i) {
        if (rows[i].value(QStringLiteral("id")).toString() == id) {
            m_list->setSelectedRow(i);
            return true;
        }
    }
    return false;
}

void SettingsViewController::selectRowAboveRemoved()
{
    const int remembered = m_list->selectedRow();
    m_list->reloadTheData();
    QTimer::singleShot(20, m_list, [this, remembered] { m_list->setSelectedRow(remembered - 1); });
}
