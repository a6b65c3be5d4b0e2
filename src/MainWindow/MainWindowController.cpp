#include "MainWindow/MainWindowController.h"

#include "ArchiveView/ArchiveScheduler.h"
#include "ArchiveView/ArchiveViewController.h"
#include "AppSandbox/FolderAccess.h"
#include "MainWindow/FirstRunIntroduction.h"
#include "MailCoreGTM/FXKeychain.h"
#include "SearchView/SearchViewController.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "SettingsView/GeneralSettings.h"
#include "SettingsView/SettingsViewController.h"
#include "Utils/CrashReports.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDir>
#include <QUrl>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QMimeData>
#include <QTimer>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QStackedWidget>
#include <QSystemTrayIcon>
#include <QToolBar>

namespace {

const QString kGeometryKey = QStringLiteral("TWMainWindow");
const QString kDraggedFilesDestinationKey = QStringLiteral("DraggedFilesDestination");

} // namespace

MainWindowController::MainWindowController(ArchiveScheduler &scheduler, Preferences &prefs, QWidget *parent)
    : QMainWindow(parent), m_scheduler(scheduler), m_prefs(prefs)
{
    setWindowTitle(QStringLiteral("Tarnwick"));
    setAcceptDrops(true);
    setWindowIcon(QIcon::fromTheme(QStringLiteral("mail-archive"), QIcon::fromTheme(QStringLiteral("folder-mail"))));

    m_views = new QStackedWidget(this);
    m_archiveView = new ArchiveViewController(scheduler, m_views);
    m_views->addWidget(m_archiveView);
    m_searchView = new SearchViewController(prefs, m_views);
    m_views->addWidget(m_searchView);
    // Every job's outputs go into the index as soon as it ends.
    connect(&scheduler, &ArchiveScheduler::jobFinished, m_searchView, &SearchViewController::archiveChanged);
    m_settingsView = new SettingsViewController(prefs, FXKeychain::defaultKeychain(), scheduler, m_views);
    m_views->addWidget(m_settingsView);
    connect(m_settingsView, &SettingsViewController::archivingStarted, this, [this] { showView(0); });
    setCentralWidget(m_views);

    auto *toolbar = addToolBar(tr("Views"));
    toolbar->setObjectName(QStringLiteral("views"));
    toolbar->setMovable(false);
    toolbar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_viewActions = new QActionGroup(this);
    const struct {
        QString text, icon;
        QKeySequence key;
    } views[] = {{tr("&Archive"), QStringLiteral("document-save"), QKeySequence(Qt::CTRL | Qt::Key_1)},
                 {tr("S&earch"), QStringLiteral("edit-find"), QKeySequence(Qt::CTRL | Qt::Key_2)},
                 {tr("Se&ttings"), QStringLiteral("preferences-system"), QKeySequence(Qt::CTRL | Qt::Key_3)}};
    for (int i = 0; i < 3; ++i) {
        QAction *action = toolbar->addAction(QIcon::fromTheme(views[i].icon), views[i].text);
        action->setCheckable(true);
        action->setShortcut(views[i].key);
        action->setData(i);
        m_viewActions->addAction(action);
        connect(action, &QAction::triggered, this, [this, i] { showView(i); });
    }
    m_viewActions->actions().first()->setChecked(true);
    auto *spacer = new QWidget(toolbar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    toolbar->addWidget(spacer);
    m_progressLabel = new QLabel(toolbar);
    toolbar->addWidget(m_progressLabel);
    connect(m_archiveView, &ArchiveViewController::toolbarLabelChanged, m_progressLabel, &QLabel::setText);

    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(tr("&Start All"), QKeySequence(Qt::CTRL | Qt::Key_R), this, [this] { m_scheduler.startArchiving(); });
    file->addAction(tr("S&top All"), QKeySequence(Qt::CTRL | Qt::Key_Period), this,
                    [this] { m_scheduler.stopArchiving(); });
    file->addSeparator();
    QAction *quit = file->addAction(tr("&Quit"), QKeySequence::Quit, qApp, &QApplication::quit);
    quit->setMenuRole(QAction::QuitRole);
    QMenu *edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(tr("&Settings"), QKeySequence::Preferences, this, [this] { showView(2); });
    edit->addSeparator();
    edit->addAction(tr("Reset Preferences\u2026"), this, &MainWindowController::resetAllPrefsAsk);
    QMenu *help = menuBar()->addMenu(tr("&Help"));
    help->addAction(tr("&Crash Reports"), this, [this] {
        // Kept on this computer only; the folder is where to find them to send them.
        const QString folder = CrashReports::folder();
        if (QDir(folder).isEmpty()) {
            QMessageBox::information(this, tr("Crash Reports"),
                                     m_prefs.boolForKey(QStringLiteral("bugsnagCanSendReports"))
                                         ? tr("No crash has been recorded.")
                                         : tr("Crash reports are not kept: you chose not to allow them."));
            return;
        }
        QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
    });
    help->addAction(tr("&About Tarnwick"), this, [this] {
        QMessageBox::about(this, tr("About Tarnwick"),
                           tr("<b>Tarnwick %1</b><p>Archives e-mail from IMAP accounts and local mail "
                              "folders as PDFs, attachments and .eml copies.</p>")
                               .arg(QStringLiteral(TARNWICK_VERSION)));
    });

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(windowIcon(), this);
        m_tray->setToolTip(QStringLiteral("Tarnwick"));
        auto *trayMenu = new QMenu(this);
        trayMenu->addAction(tr("Show Tarnwick"), this, [this] {
            show();
            raise();
            activateWindow();
        });
        trayMenu->addAction(tr("Start All"), this, [this] { m_scheduler.startArchiving(); });
        trayMenu->addSeparator();
        trayMenu->addAction(tr("Quit"), qApp, &QApplication::quit);
        m_tray->setContextMenu(trayMenu);
        connect(m_tray, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger)
                setVisible(!isVisible());
        });
        connect(m_archiveView, &ArchiveViewController::toolbarLabelChanged, m_tray, [this](const QString &text) {
            m_tray->setToolTip(text.isEmpty() ? QStringLiteral("Tarnwick") : QStringLiteral("Tarnwick: ") + text);
        });
        m_tray->show();
    }

    m_introduction = new FirstRunIntroduction(
        {[this] { showView(2); }, [this](const QString &title, const QString &text, std::function<void()> ok) {
             tell(title, text, std::move(ok));
         },
         [this] { chooseDestination(); },
         [this] {
             showView(2);
             if (m_addAccount)
                 m_addAccount();
             else
                 m_settingsView->switchViewToEmailEdit(QString());
         },
         [this] { return !FolderAccess::destinationDirectory(false, m_prefs).isEmpty(); }},
        this);

    const QByteArray geometry = QByteArray::fromBase64(m_prefs.stringForKey(kGeometryKey).toLatin1());
    if (geometry.isEmpty() || !restoreGeometry(geometry))
        resize(760, 520);
}

void MainWindowController::handleEMLFilesUI(const QStringList &paths)
{
    if (paths.isEmpty())
        return;
    const QString remembered = m_prefs.stringForKey(kDraggedFilesDestinationKey);
    const QString startAt = !remembered.isEmpty() ? remembered : QDir::homePath() + QStringLiteral("/Desktop");
    const QString chosen = m_chooser ? m_chooser(startAt)
                                     : QFileDialog::getExistingDirectory(this, tr("Choose"), startAt,
                                                                         QFileDialog::ShowDirsOnly);
    if (chosen.isEmpty())
        return;
    m_prefs.setValue(kDraggedFilesDestinationKey, chosen);
    m_scheduler.startEMLJob(paths, chosen, QString());
    showView(0);
}

void MainWindowController::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindowController::dropEvent(QDropEvent *event)
{
    QStringList paths;
    for (const QUrl &url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    event->acceptProposedAction();
    // After the drop has ended: the chooser is modal.
    QTimer::singleShot(0, this, [this, paths] { handleEMLFilesUI(paths); });
}

void MainWindowController::tell(const QString &title, const QString &text, std::function<void()> ok)
{
    if (m_note) {
        m_note(title, text, std::move(ok));
        return;
    }
    auto *box = new QMessageBox(QMessageBox::Information, title, text, QMessageBox::Ok, this);
    box->setWindowModality(Qt::WindowModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    connect(box, &QMessageBox::finished, this, [ok = std::move(ok)] { ok(); });
    box->open();
}

void MainWindowController::chooseDestination()
{
    if (m_chooseDestination) {
        m_chooseDestination();
        return;
    }
    showView(2);
    m_settingsView->selectRowWithId(SourcesList::settingsItemId());
    m_settingsView->generalPane()->chooseDestinationDirectory();
}

bool MainWindowController::ask(const QString &title, const QString &text)
{
    if (m_answer)
        return m_answer(title, text);
    QMessageBox box(QMessageBox::Question, title, text, QMessageBox::Yes | QMessageBox::No, this);
    box.setWindowModality(Qt::WindowModal);
    return box.exec() == QMessageBox::Yes;
}

void MainWindowController::countLaunchAndAskForCrashReports()
{
    const qint64 launches = m_prefs.integerForKey(QStringLiteral("launchCount")) + 1;
    m_prefs.setValue(QStringLiteral("launchCount"), launches);
    // Not before the third launch, and once.
    if (launches <= 2 || m_prefs.boolForKey(QStringLiteral("bugsnagHaveAsked")) ||
        m_prefs.boolForKey(QStringLiteral("bugsnagCanSendReports")))
        return;
    // Reports are only ever kept on this computer, for the user to send if they wish.
    const bool yes = ask(tr("Crash Reports"),
                         tr("Despite our best efforts and testing, sometimes a bug makes it's way to you. Please help "
                            "us out by sending us crash reports. \nYour confidentiality is assured.\n\nAllow crash "
                            "reporting?"));
    m_prefs.setValue(QStringLiteral("bugsnagHaveAsked"), true);
    m_prefs.setValue(QStringLiteral("bugsnagCanSendReports"), yes);
    if (yes)
        CrashReports::install(CrashReports::folder(), CrashReports::kMainApplication);
}

void MainWindowController::resetAllPrefsAsk()
{
    if (!ask(tr("Reset Tarnwick?"), tr("Removing all preferences will reset Tarnwick, but will not erase any PDFs")))
        return;
    m_scheduler.stopArchiving();
    m_prefs.removePersistentDomain();
    m_archiveView->reloadRows();
}

void MainWindowController::showView(int index)
{
    const bool appearing = index == 1 && m_views->currentIndex() != 1;
    m_views->setCurrentIndex(index);
    if (appearing)
        m_searchView->viewWillAppear();
    for (QAction *action : m_viewActions->actions())
        action->setChecked(action->data().toInt() == index);
}

int MainWindowController::currentView() const { return m_views->currentIndex(); }

void MainWindowController::saveGeometryToPrefs()
{
    m_prefs.setValue(kGeometryKey, QString::fromLatin1(saveGeometry().toBase64()));
}

void MainWindowController::closeEvent(QCloseEvent *event)
{
    saveGeometryToPrefs();
    // Jobs go on with the window closed; with none running and no tray icon to come back
    // by, closing quits instead of leaving a process nobody can see.
    if (m_tray || !m_scheduler.renderJobs().isEmpty()) {
        hide();
        event->ignore();
        return;
    }
    event->accept();
    qApp->quit();
}
