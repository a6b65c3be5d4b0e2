#include "SettingsView/GeneralSettings.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace {
const QString kHours = QStringLiteral("hoursBetweenUpdates");
const QString kWindowsNames = QStringLiteral("useWindowsFriendlyFilenames");
const QString kTinyHeaders = QStringLiteral("includeTinyHeaderText");
const QString kOnLaunch = QStringLiteral("StartArchivingOnLaunch");
const QString kMaxJobs = QStringLiteral("maxNumRenderJobs");
} // namespace

GeneralSettings::GeneralSettings(Preferences &prefs, QWidget *parent)
    : QWidget(parent), m_prefs(prefs), m_chooser(chooseFolderWithDialog)
{
    auto *title = new QLabel(tr("<b>Settings</b>"), this);
    m_destination = new QLabel(this);
    m_destination->setObjectName(QStringLiteral("mainDestination"));
    m_destination->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_destination->setWordWrap(true);
    m_chooseButton = new QPushButton(tr("Choose\u2026"), this);
    m_chooseButton->setObjectName(QStringLiteral("chooseDestinationButton"));
    m_formatsButton = new QPushButton(tr("Path Formats\u2026"), this);
    m_formatsButton->setObjectName(QStringLiteral("generalFormatsButton"));
    m_hours = new QLineEdit(this);
    m_hours->setObjectName(QStringLiteral("hoursField"));
    m_hours->setMaximumWidth(80);
    m_hours->setToolTip(tr("0: no automatic runs"));
    m_windowsNames = new QCheckBox(tr("Windows-friendly file names"), this);
    m_tinyHeaders = new QCheckBox(tr("Small header text at the top of each PDF"), this);
    m_onLaunch = new QCheckBox(tr("Start archiving when Tarnwick starts"), this);
    m_maxJobs = new QSpinBox(this);
    m_maxJobs->setRange(1, 10);

    auto *destRow = new QHBoxLayout;
    destRow->addWidget(m_destination, 1);
    destRow->addWidget(m_chooseButton);
    auto *hoursRow = new QHBoxLayout;
    hoursRow->addWidget(m_hours);
    hoursRow->addWidget(new QLabel(tr("hours"), this));
    hoursRow->addStretch();
    auto *formatsRow = new QHBoxLayout;
    formatsRow->addWidget(m_formatsButton);
    formatsRow->addStretch();
    auto *jobsRow = new QHBoxLayout;
    jobsRow->addWidget(m_maxJobs);
    jobsRow->addStretch();
    auto *form = new QFormLayout;
    form->addRow(tr("Archive folder:"), destRow);
    form->addRow(tr("File names:"), formatsRow);
    form->addRow(tr("Archive every:"), hoursRow);
    form->addRow(tr("Sources archived at once:"), jobsRow);
    form->addRow(QString(), m_windowsNames);
    form->addRow(QString(), m_tinyHeaders);
    form->addRow(QString(), m_onLaunch);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addStretch();

    connect(m_chooseButton, &QPushButton::clicked, this, &GeneralSettings::chooseDestinationDirectory);
    connect(m_formatsButton, &QPushButton::clicked, this,
            [this] { emit editFormatsRequested(CustomPath::generalAccount()); });
    connect(m_hours, &QLineEdit::textEdited, this, &GeneralSettings::hoursEdited);
    connect(m_windowsNames, &QCheckBox::toggled, this, [this](bool on) { m_prefs.setValue(kWindowsNames, on); });
    connect(m_tinyHeaders, &QCheckBox::toggled, this, [this](bool on) { m_prefs.setValue(kTinyHeaders, on); });
    connect(m_onLaunch, &QCheckBox::toggled, this, [this](bool on) { m_prefs.setValue(kOnLaunch, on); });
    connect(m_maxJobs, &QSpinBox::valueChanged, this, [this](int n) { m_prefs.setValue(kMaxJobs, n); });

    m_refreshTimer.setSingleShot(true);
    m_refreshTimer.setInterval(1000);
    connect(&m_refreshTimer, &QTimer::timeout, this, &GeneralSettings::refresh);
    connect(&m_prefs, &Preferences::changed, this, [this] { m_refreshTimer.start(); });
    refresh();
}

void GeneralSettings::refresh()
{
    m_destination->setText(FolderAccess::destinationDirectory(false, m_prefs));
    if (!m_hours->hasFocus())
        m_hours->setText(m_prefs.stringForKey(kHours));
    const QSignalBlocker b1(m_windowsNames), b2(m_tinyHeaders), b3(m_onLaunch), b4(m_maxJobs);
    m_windowsNames->setChecked(m_prefs.boolForKey(kWindowsNames));
    m_tinyHeaders->setChecked(m_prefs.boolForKey(kTinyHeaders));
    m_onLaunch->setChecked(m_prefs.boolForKey(kOnLaunch));
    m_maxJobs->setValue(int(qBound(qint64(1), m_prefs.integerForKey(kMaxJobs), qint64(10))));
}

void GeneralSettings::hoursEdited(const QString &text)
{
    const QString digits = PreferenceRegister::hoursFieldText(text);
    if (digits != text) {
        const int cursor = m_hours->cursorPosition() - int(text.size() - digits.size());
        m_hours->setText(digits);
        m_hours->setCursorPosition(qMax(0, cursor));
    }
    m_prefs.setValue(kHours, digits);
}

void GeneralSettings::chooseDestinationDirectory()
{
    if (m_choosing)
        return;
    m_choosing = true;
    const QString current = FolderAccess::destinationDirectory(false, m_prefs);
    const QString folder = m_chooser(window(), tr("Choose"), current.isEmpty() ? SourcesList::userHomeFolder() : current);
    m_choosing = false;
    if (folder.isEmpty())
        return;
    FolderAccess::persistPermissionURL(folder);
    if (!FolderAccess::setDestinationDirectory(folder, m_prefs))
        QMessageBox::warning(window(), tr("Choose"), tr("The folder %1 cannot be used: it cannot be reached.").arg(folder));
    refresh();
}
