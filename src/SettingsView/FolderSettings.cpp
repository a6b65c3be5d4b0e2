#include "SettingsView/FolderSettings.h"

#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

FolderSettings::FolderSettings(Preferences &prefs, QWidget *parent)
    : QWidget(parent), m_prefs(prefs), m_chooser(chooseFolderWithDialog)
{
    auto *title = new QLabel(tr("<b>Folder Source</b>"), this);
    m_pathLabel = new QLabel(this);
    m_pathLabel->setObjectName(QStringLiteral("folderPath"));
    m_pathLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_pathLabel->setWordWrap(true);
    m_destination = new QLabel(this);
    m_destination->setObjectName(QStringLiteral("folderDestination"));
    m_destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_destination->setWordWrap(true);
    m_destButton = new QPushButton(tr("Set Custom"), this);
    m_destButton->setObjectName(QStringLiteral("folderDestinationButton"));
    m_removeDestButton = new QPushButton(tr("Use Default"), this);
    m_removeDestButton->setObjectName(QStringLiteral("folderRemoveDestinationButton"));
    m_removeDestButton->setToolTip(tr("Archive this folder into the main destination folder again"));
    m_startButton = new QPushButton(QIcon::fromTheme(QStringLiteral("media-playback-start")), tr("Start Archiving"), this);
    m_removeButton = new QPushButton(QIcon::fromTheme(QStringLiteral("list-remove")), tr("Remove Folder"), this);
    m_removeButton->setObjectName(QStringLiteral("folderRemoveButton"));

    auto *destRow = new QHBoxLayout;
    destRow->addWidget(m_destButton);
    destRow->addWidget(m_removeDestButton);
    destRow->addStretch();
    auto *form = new QFormLayout;
    form->addRow(tr("Source folder:"), m_pathLabel);
    form->addRow(tr("Saved to:"), m_destination);
    form->addRow(QString(), destRow);
    auto *actions = new QHBoxLayout;
    actions->addWidget(m_startButton);
    actions->addStretch();
    actions->addWidget(m_removeButton);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addStretch();
    layout->addLayout(actions);

    connect(m_destButton, &QPushButton::clicked, this, &FolderSettings::changeFolderDestination);
    connect(m_removeDestButton, &QPushButton::clicked, this, &FolderSettings::removeCustomPathClicked);
    connect(m_startButton, &QPushButton::clicked, this, &FolderSettings::startArchivingAction);
    connect(m_removeButton, &QPushButton::clicked, this, &FolderSettings::removeFolderClicked);
    populateFolderSettings(QString());
}

void FolderSettings::populateFolderSettings(const QString &path)
{
    m_path = path;
    m_pathLabel->setText(path);
    const bool any = !path.isEmpty();
    for (QWidget *w : {static_cast<QWidget *>(m_destButton), static_cast<QWidget *>(m_startButton),
                       static_cast<QWidget *>(m_removeButton)})
        w->setEnabled(any);
    if (!any) {
        m_destination->clear();
        m_removeDestButton->hide();
        m_destButton->setText(tr("Set Custom"));
        return;
    }
    const SourcesList::DestinationDisplay display = SourcesList::destinationDisplay(path, m_prefs);
    m_removeDestButton->setVisible(display.own);
    m_destButton->setText(display.own ? tr("Change") : tr("Set Custom"));
    m_destination->setText(display.own ? display.path : tr("Default (%1)").arg(display.path));
}

void FolderSettings::changeFolderDestination()
{
    if (m_path.isEmpty())
        return;
    // Where a desktop keeps the users' home folders.
    const QString folder = m_chooser(window(), tr("Choose Destination Folder"), QStringLiteral("/home"));
    if (folder.isEmpty())
        return;
    if (!SourcesList::setOwnDestination(m_path, folder, m_prefs))
        QMessageBox::warning(window(), tr("Choose Destination Folder"),
                             tr("The folder %1 cannot be used: it cannot be reached.").arg(folder));
    populateFolderSettings(m_path);
}

void FolderSettings::removeCustomPathClicked()
{
    if (m_path.isEmpty())
        return;
    SourcesList::removeOwnDestination(m_path, m_prefs);
    populateFolderSettings(m_path);
}

void FolderSettings::removeFolderClicked()
{
    if (!SourcesList::removeSourcePathFromPrefs(m_path, m_prefs))
        return;
    populateFolderSettings(QString());
    emit folderRemoved();
}

void FolderSettings::startArchivingAction()
{
    if (!m_path.isEmpty())
        emit startArchivingJob(m_path);
}
