// The settings view on the offscreen platform: the sources list as the user clicks it,
// the folder pane and the general pane.
#include "AppSandbox/FolderAccess.h"
#include "ArchiveView/ArchiveScheduler.h"
#include "MailCoreGTM/FXKeychain.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "SettingsView/EmailSettings.h"
#include "SettingsView/FolderSettings.h"
#include "SettingsView/GeneralSettings.h"
#include "SettingsView/SettingsSourceViewController.h"
#include "SettingsView/SettingsViewController.h"
#include "SecretServiceSession.h"
#include "TestSupport.h"

#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

namespace {

class SettingsView : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Preferences &prefs = Preferences::shared();
    FXKeychain keychain{QStringLiteral("org.tarnwick.Tests"), QString()};
    std::unique_ptr<ArchiveScheduler> scheduler;
    std::unique_ptr<SettingsViewController> view;
    QStringList chooserPrompts;
    QString chosen;

    void SetUp() override
    {
        // Account panes read passwords: from a keyring of the test's own, or from none,
        // never from the user's.
        QString whyNot, failure;
        if (!SecretServiceSession::shared(&whyNot, &failure))
            qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tarnwick-test-bus");
        prefs.removePersistentDomain();
        QDir().mkpath(dir.filePath("Archive"));
        ASSERT_TRUE(FolderAccess::setDestinationDirectory(dir.filePath("Archive"), prefs));
    }
    void TearDown() override
    {
        view.reset();
        prefs.removePersistentDomain();
    }
    void open()
    {
        scheduler = std::make_unique<ArchiveScheduler>(prefs, keychain);
        view = std::make_unique<SettingsViewController>(prefs, keychain, *scheduler);
        view->setFolderChooser([this](QWidget *, const QString &prompt, const QString &) {
            chooserPrompts << prompt;
            return chosen;
        });
        view->resize(900, 600);
        view->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(view.get()));
        WAIT_EXPECT_EQ(list()->selectedRow(), 1, 5000); // the "Settings" row, 0.5 s after set-up
    }
    SettingsSourceViewController *list() const { return view->sourcesList(); }
    void click(int row)
    {
        QListWidget *w = list()->listWidget();
        const QRect rect = w->visualItemRect(w->item(row));
        QTest::mouseClick(w->viewport(), Qt::LeftButton, {}, rect.center());
    }
    QString folder(const QString &name)
    {
        QDir().mkpath(dir.filePath(name));
        return QDir(dir.filePath(name)).canonicalPath();
    }
};

} // namespace

TEST_F(SettingsView, TheListHasItsFixedRowsAndHeadingsCannotBeSelected)
{
    open();
    EXPECT_EQ(list()->rowCount(), 7);
    EXPECT_EQ(list()->listWidget()->count(), 7);
    EXPECT_EQ(view->currentPane(), view->generalPane());
    for (int heading : {0, 2, 4}) {
        click(heading);
        EXPECT_EQ(list()->selectedRow(), 1) << heading;
    }
    // Keyboard: Down from "Settings" skips the accounts heading.
    list()->listWidget()->setFocus();
    QTest::keyClick(list()->listWidget(), Qt::Key_Down);
    EXPECT_EQ(list()->listWidget()->currentRow(), 3);
    // Requests past the end and below 0 are clamped to the row count - 3: a heading here.
    for (int request : {99, -2}) {
        list()->setSelectedRow(request);
        EXPECT_EQ(list()->selectedRow(), -1) << request;
    }
}

TEST_F(SettingsView, AFolderIsAddedShownGivenItsOwnDestinationAndRemoved)
{
    open();
    chosen = folder("Mail/Archive 2015");
    click(5); // "Add Folder"
    ASSERT_EQ(chooserPrompts, QStringList{"Choose Source Folder containing mBox or eml files"});
    EXPECT_EQ(prefs.stringListForKey("FolderItems"), QStringList{chosen});
    WAIT_EXPECT_EQ(list()->selectedRow(), 5, 5000); // the new folder, row count - 3
    QTest::qWait(400);                      // the add row's own deselection has passed
    EXPECT_EQ(list()->selectedRow(), 5);
    EXPECT_EQ(list()->listWidget()->item(5)->text(), "Archive 2015");
    FolderSettings *pane = view->folderPane();
    EXPECT_EQ(view->currentPane(), pane);
    EXPECT_EQ(pane->destinationLabel()->text(), "Default (" + dir.filePath("Archive") + "/Archive 2015)");
    EXPECT_EQ(pane->destinationButton()->text(), "Set Custom");
    EXPECT_TRUE(pane->removeDestinationButton()->isHidden());

    chosen = folder("Elsewhere");
    QTest::mouseClick(pane->destinationButton(), Qt::LeftButton);
    EXPECT_EQ(chooserPrompts.last(), "Choose Destination Folder");
    EXPECT_EQ(pane->destinationLabel()->text(), chosen + "/Archive 2015");
    EXPECT_EQ(pane->destinationButton()->text(), "Change");
    QTest::mouseClick(pane->removeDestinationButton(), Qt::LeftButton);
    EXPECT_EQ(pane->destinationButton()->text(), "Set Custom");
    EXPECT_TRUE(prefs.value(PreferenceRegister::destKey(pane->path()) + "_bookmark").isNull());

    // The only folder goes: the row above is the folders heading, so nothing is selected,
    // and the pane is cleared.
    QTest::mouseClick(pane->removeButton(), Qt::LeftButton);
    EXPECT_TRUE(prefs.stringListForKey("FolderItems").isEmpty());
    WAIT_EXPECT_EQ(list()->rowCount(), 7, 5000);
    QTest::qWait(50);
    EXPECT_EQ(list()->selectedRow(), -1);
    EXPECT_TRUE(pane->path().isEmpty());
    EXPECT_TRUE(pane->destinationLabel()->text().isEmpty());
}

TEST_F(SettingsView, RowsFollowTheStoreAndShowTheirPanes)
{
    prefs.setValue("EmailAccounts", QStringList{"a@x.org", "b@y.org"});
    prefs.setValue("FolderItems", QStringList{folder("Inbox")});
    open();
    ASSERT_EQ(list()->rowCount(), 10);
    click(4);
    EXPECT_EQ(view->currentPane(), view->emailPane());
    EXPECT_EQ(view->emailPane()->emailField()->text(), "b@y.org");
    EXPECT_EQ(view->emailPane()->saveButton()->text(), "Save");
    click(7);
    EXPECT_EQ(view->currentPane(), view->folderPane());
    EXPECT_EQ(view->folderPane()->path(), folder("Inbox"));
    // "Add Account" shows a blank form and does not stay selected.
    click(5);
    EXPECT_EQ(view->currentPane(), view->emailPane());
    EXPECT_TRUE(view->emailPane()->emailField()->text().isEmpty());
    EXPECT_EQ(view->emailPane()->saveButton()->text(), "Add");
    WAIT_EXPECT_EQ(list()->selectedRow(), -1, 5000);
    // A change of the store reaches the list after its short delay.
    prefs.setValue("EmailAccounts", QStringList{"a@x.org"});
    WAIT_EXPECT_EQ(list()->rowCount(), 9, 5000);
}

TEST_F(SettingsView, TheGeneralPaneWritesItsKeys)
{
    open();
    GeneralSettings *pane = view->generalPane();
    EXPECT_EQ(pane->destinationLabel()->text(), dir.filePath("Archive"));
    QLineEdit *hours = pane->hoursField();
    EXPECT_EQ(hours->text(), "24");
    hours->setFocus();
    hours->selectAll();
    QTest::keyClicks(hours, "1a2");
    EXPECT_EQ(hours->text(), "12");
    EXPECT_EQ(prefs.stringForKey("hoursBetweenUpdates"), "12");
    // The displayed destination follows the store 1.0 s after its last change.
    const QString other = folder("Other");
    chosen = other;
    QTest::mouseClick(pane->findChild<QPushButton *>("chooseDestinationButton"), Qt::LeftButton);
    EXPECT_EQ(FolderAccess::destinationDirectory(false, prefs), other);
    ASSERT_TRUE(FolderAccess::setDestinationDirectory(dir.filePath("Archive"), prefs));
    QTest::qWait(300);
    EXPECT_EQ(pane->destinationLabel()->text(), other);
    WAIT_EXPECT_EQ(pane->destinationLabel()->text(), dir.filePath("Archive"), 5000);
}
