// The path format editor as the user drives it, on the offscreen platform.
#include "CustomPaths/CustomPath.h"
#include "CustomPathsView/CustomPathController.h"
#include "Settings/Preferences.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <ctime>

namespace {

class FormatEditor : public ::testing::Test {
protected:
    Preferences &prefs = Preferences::shared();
    QWidget parent;
    QPointer<CustomPathController> editor;

    void SetUp() override
    {
        prefs.removePersistentDomain();
        parent.resize(900, 700);
        parent.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&parent));
    }
    void TearDown() override
    {
        delete editor.data();
        prefs.removePersistentDomain();
    }
    void open(const QString &account)
    {
        editor = CustomPathController::showCustomPathControllerForAccount(account, &parent);
        ASSERT_TRUE(QTest::qWaitForWindowExposed(editor.data()));
    }
    void retype(QComboBox *box, const QString &text)
    {
        box->lineEdit()->setFocus();
        box->lineEdit()->selectAll();
        if (text.isEmpty())
            QTest::keyClick(box->lineEdit(), Qt::Key_Delete);
        else
            QTest::keyClicks(box->lineEdit(), text);
    }
};

} // namespace

TEST_F(FormatEditor, OKStoresOnlyWhatDiffersFromWhatTheLevelInherits)
{
    const struct {
        QString pdf, eml; // typed into the boxes; "" leaves the box as it opened
        QString storedPdf, storedEml;
    } rows[] = {
        {"", "", "", "none"}, // no changes: only the empty eml box, as "none"
        {"%Y/__subject__.pdf", "", "%Y/__subject__.pdf", "none"},
    };
    for (const auto &row : rows) {
        prefs.removePersistentDomain();
        open("ann@example.org");
        EXPECT_EQ(editor->pathFormat()->currentText(), CustomPath::defaultFormat("pdf"));
        EXPECT_EQ(editor->pathFormat()->count(), 4);
        EXPECT_EQ(editor->attachmentFormat()->count(), 5);
        if (!row.pdf.isEmpty()) {
            retype(editor->pathFormat(), row.pdf);
            QTest::keyClick(editor->pathFormat()->lineEdit(), Qt::Key_Return); // Enter is OK
        } else {
            QTest::mouseClick(editor->okButton(), Qt::LeftButton);
        }
        EXPECT_TRUE(editor.isNull() || editor->isHidden());
        EXPECT_EQ(prefs.stringForKey("ann@example.orgpdf"), row.storedPdf);
        EXPECT_FALSE(prefs.hasStoredValue("ann@example.orgattachment"));
        EXPECT_EQ(prefs.stringForKey("ann@example.orgeml"), row.storedEml);
    }
}

TEST_F(FormatEditor, PreviewsFollowEveryKeystrokeAndRejectedFormatsKeepOKOff)
{
    open(CustomPath::generalAccount());
    EXPECT_EQ(editor->pathExample()->text(), "2014/01/2014-01-18 08.16.20Z  Typical Email Subject.pdf");
    retype(editor->pathFormat(), "%B");
    EXPECT_EQ(editor->pathExample()->text(), "January");
    QTest::keyClicks(editor->pathFormat()->lineEdit(), "/__fromLast__");
    EXPECT_EQ(editor->pathExample()->text(), "January/Smith");

    retype(editor->attachmentFormat(), "%Y/attachment");
    EXPECT_FALSE(editor->rejection("attachment").isEmpty());
    EXPECT_FALSE(editor->findChild<QLabel *>("attachmentProblem")->isHidden());
    EXPECT_FALSE(editor->okButton()->isEnabled());
    QTest::keyClicks(editor->attachmentFormat()->lineEdit(), "/__filename__");
    EXPECT_TRUE(editor->rejection("attachment").isEmpty());
    EXPECT_TRUE(editor->okButton()->isEnabled());

    // Escape cancels: nothing stored.
    QTest::keyClick(editor->attachmentFormat()->lineEdit(), Qt::Key_Escape);
    EXPECT_TRUE(editor.isNull() || editor->isHidden());
    EXPECT_FALSE(prefs.hasStoredValue("Generalpdf"));
    EXPECT_FALSE(prefs.hasStoredValue("Generalattachment"));
}

TEST_F(FormatEditor, RevertForGeneralShowsTheBuiltInDefaultsAtOnce)
{
    CustomPath::setFormat("pdf", CustomPath::generalAccount(), "%Y/__subject__.pdf");
    CustomPath::setFormat("eml", CustomPath::generalAccount(), "%Y/__subject__.eml");
    open(CustomPath::generalAccount());
    EXPECT_EQ(editor->emlFormat()->currentText(), "%Y/__subject__.eml");
    QTest::mouseClick(editor->revertButton(), Qt::LeftButton);
    EXPECT_FALSE(prefs.hasStoredValue("Generalpdf"));
    EXPECT_FALSE(prefs.hasStoredValue("Generaleml"));
    EXPECT_EQ(editor->pathFormat()->currentText(), CustomPath::defaultFormat("pdf"));
    EXPECT_TRUE(editor->emlFormat()->currentText().isEmpty());
    EXPECT_TRUE(editor->emlExample()->text().isEmpty());
    EXPECT_TRUE(editor->isVisible());
}

TEST_F(FormatEditor, ALocalZoneChoicePreviewsInTheComputersZone)
{
    const QByteArray zone = qgetenv("TZ");
    qputenv("TZ", "Etc/GMT-5"); // UTC+5
    tzset();
    open(CustomPath::generalAccount());
    editor->pathFormat()->setCurrentIndex(3);
    EXPECT_EQ(editor->pathExample()->text(), "2014-01-18_131620 Smith-Doe_Typical Email Subject.pdf");
    qputenv("TZ", zone);
    tzset();
}
