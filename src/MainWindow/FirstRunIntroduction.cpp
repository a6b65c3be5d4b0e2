#include "MainWindow/FirstRunIntroduction.h"

FirstRunIntroduction::FirstRunIntroduction(Hooks hooks, QObject *parent) : QObject(parent), m_hooks(std::move(hooks)) {}

void FirstRunIntroduction::after(double seconds, std::function<void()> then)
{
    QTimer::singleShot(int(seconds * 1000 * m_scale), this, std::move(then));
}

void FirstRunIntroduction::startIfNeeded()
{
    if (m_step != 0 || m_hooks.hasDestination())
        return;
    after(0.5, [this] { askForDestination(); });
}

void FirstRunIntroduction::askForDestination()
{
    m_step = 1;
    m_hooks.showSettings();
    after(1.0, [this] {
        m_hooks.tell(tr("Please choose a destination directory for your archive."),
                     tr("This will be the default location for your PDFs to be created, and can be changed later at "
                        "any time."),
                     [this] {
                         m_hooks.chooseDestination();
                         after(2.0, [this] { waitForDestination(); });
                     });
    });
}

void FirstRunIntroduction::waitForDestination()
{
    m_step = 2;
    if (!m_hooks.hasDestination()) {
        after(2.0, [this] { waitForDestination(); });
        return;
    }
    askForAccounts();
}

void FirstRunIntroduction::askForAccounts()
{
    m_step = 3;
    m_hooks.showSettings();
    m_hooks.tell(tr("Add an Email Account (or a few)"),
                 tr("Press the 'Add Account' button to get started. Tarnwick does not alter the state of your IMAP "
                    "account. Only IMAP accounts are supported at this time.\n\nWhen you get the correct information "
                    "entered, you will see a listing of all the folders in that email account.\n\nYou can also add "
                    "folders of eml files or mbox files by clicking 'Add Folder'."),
                 [this] {
                     m_hooks.addAccount();
                     after(30.0, [this] { sayStartArchiving(); });
                 });
}

void FirstRunIntroduction::sayStartArchiving()
{
    if (!m_hooks.hasDestination())
        return;
    m_step = 4;
    m_hooks.showSettings();
    m_hooks.tell(tr("Next task: start archiving"),
                 tr("Once the correct information has been entered, you will see a listing of all the folders in that "
                    "email account."),
                 [] {});
}
