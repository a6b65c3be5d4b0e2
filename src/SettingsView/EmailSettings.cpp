#include "SettingsView/EmailSettings.h"

#include "MailCoreGTM/GTMOAuth2Configuration.h"

#include "MailCoreGTM/FXKeychain.h"
#include "Settings/AccountSetup.h"
#include "Settings/LookupServer.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "Utils/Log.h"
#include "mailadapter/MCOIMAPMailboxName.h"

#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace {

// Space or Enter on a mailbox switches it, as a click does.
class MailboxKeys : public QObject {
public:
    MailboxKeys(QListWidget *list, std::function<void(QListWidgetItem *)> toggle)
        : QObject(list), m_list(list), m_toggle(std::move(toggle))
    {
    }
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const int key = static_cast<QKeyEvent *>(event)->key();
        if ((key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) && m_list->currentItem()) {
            m_toggle(m_list->currentItem());
            return true;
        }
        return false;
    }

private:
    QListWidget *m_list;
    std::function<void(QListWidgetItem *)> m_toggle;
};

} // namespace

EmailSettings::EmailSettings(Preferences &prefs, FXKeychain &keychain, QWidget *parent)
    : QWidget(parent), m_prefs(prefs), m_keychain(keychain), m_chooser(chooseFolderWithDialog)
{
    auto *title = new QLabel(tr("<b>Email Account</b>"), this);

    m_kindBox = new QGroupBox(tr("Add Google or other account?"), this);
    m_otherKind = new QRadioButton(tr("Other Account"), m_kindBox);
    m_googleKind = new QRadioButton(tr("Google or Gmail Account"), m_kindBox);
    m_otherKind->setChecked(true);
    auto *kindInfo = new QLabel(tr("Google apps and GMail accounts are better done with Google authentication."), m_kindBox);
    kindInfo->setWordWrap(true);
    auto *kindLayout = new QVBoxLayout(m_kindBox);
    kindLayout->addWidget(kindInfo);
    auto *kindRow = new QHBoxLayout;
    kindRow->addWidget(m_otherKind);
    kindRow->addWidget(m_googleKind);
    kindRow->addStretch();
    kindLayout->addLayout(kindRow);

    m_email = new QLineEdit(this);
    m_email->setObjectName(QStringLiteral("emailField"));
    m_email->setPlaceholderText(tr("name@example.org"));
    m_server = new QLineEdit(this);
    m_server->setObjectName(QStringLiteral("serverField"));
    m_server->setPlaceholderText(tr("imap.example.org  or  host:143:starttls"));
    m_server->setToolTip(tr("Host name, optionally \":\" and the port (993 when absent), optionally \":\" and "
                            "starttls or clear"));
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("passwordField"));
    m_password->setEchoMode(QLineEdit::Password);

    m_googleView = new QWidget(this);
    m_googleText = new QLabel(m_googleView);
    m_googleText->setWordWrap(true);
    m_googleSignInButton = new QPushButton(tr("Sign in with Google\u2026"), m_googleView);
    m_googleSignInButton->setObjectName(QStringLiteral("googleSignInButton"));
    auto *googleLayout = new QHBoxLayout(m_googleView);
    googleLayout->setContentsMargins(0, 0, 0, 0);
    googleLayout->addWidget(m_googleText, 1);
    googleLayout->addWidget(m_googleSignInButton);

    m_errorText = new QLabel(this);
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorText->setWordWrap(true);
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_errorText->setStyleSheet(QStringLiteral("color: #c01c28;"));
    m_errorText->hide();

    m_mailboxes = new QListWidget(this);
    m_mailboxes->setObjectName(QStringLiteral("mailboxTable"));
    m_mailboxes->setAccessibleName(tr("Mailboxes to archive"));
    m_mailboxes->setSelectionMode(QAbstractItemView::NoSelection);
    m_mailboxes->installEventFilter(new MailboxKeys(m_mailboxes, [this](QListWidgetItem *item) {
        toggleFolderSetting(item->data(Qt::UserRole).toString());
    }));

    m_destLabel = new QLabel(this);
    m_destLabel->setObjectName(QStringLiteral("accountDestination"));
    m_destLabel->setWordWrap(true);
    m_destLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_destButton = new QPushButton(tr("Set Custom"), this);
    m_revertButton = new QPushButton(tr("Use Default"), this);
    m_revertButton->setToolTip(tr("Archive this account into the main destination folder again"));
    m_formatsButton = new QPushButton(tr("Path Formats\u2026"), this);
    m_startButton = new QPushButton(QIcon::fromTheme(QStringLiteral("media-playback-start")), tr("Start Archiving"), this);
    m_removeButton = new QPushButton(QIcon::fromTheme(QStringLiteral("list-remove")), tr("Remove Account"), this);
    m_removeButton->setObjectName(QStringLiteral("accountRemoveButton"));
    m_saveButton = new QPushButton(tr("Add"), this);
    m_saveButton->setObjectName(QStringLiteral("accountSaveButton"));
    m_saveButton->setDefault(true);

    auto *form = new QFormLayout;
    form->addRow(tr("&Email address:"), m_email);
    m_serverLabel = new QLabel(tr("IMAP &server:"), this);
    m_serverLabel->setBuddy(m_server);
    form->addRow(m_serverLabel, m_server);
    m_passwordLabel = new QLabel(tr("&Password:"), this);
    m_passwordLabel->setBuddy(m_password);
    form->addRow(m_passwordLabel, m_password);
    form->addRow(QString(), m_googleView);
    auto *destRow = new QHBoxLayout;
    destRow->addWidget(m_destLabel, 1);
    destRow->addWidget(m_destButton);
    destRow->addWidget(m_revertButton);
    auto *buttons = new QHBoxLayout;
    buttons->addWidget(m_formatsButton);
    buttons->addWidget(m_startButton);
    buttons->addStretch();
    buttons->addWidget(m_removeButton);
    buttons->addWidget(m_saveButton);
    auto *mailboxesLabel = new QLabel(tr("&Mailboxes (switch one off to leave it out):"), this);
    mailboxesLabel->setBuddy(m_mailboxes);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addWidget(m_kindBox);
    layout->addLayout(form);
    layout->addWidget(m_errorText);
    layout->addWidget(mailboxesLabel);
    layout->addWidget(m_mailboxes, 1);
    layout->addLayout(destRow);
    layout->addLayout(buttons);
    // Top to bottom, as the pane reads.
    const QList<QWidget *> order{m_otherKind,    m_googleKind,   m_email,         m_server,      m_password,
                                 m_googleSignInButton, m_mailboxes, m_destButton, m_revertButton, m_formatsButton,
                                 m_startButton,  m_removeButton, m_saveButton};
    for (int i = 1; i < order.size(); ++i)
        setTabOrder(order[i - 1], order[i]);

    connect(m_email, &QLineEdit::textChanged, this, &EmailSettings::fieldsChanged);
    connect(m_server, &QLineEdit::textChanged, this, &EmailSettings::fieldsChanged);
    connect(m_password, &QLineEdit::textChanged, this, &EmailSettings::reloadMailboxTable);
    connect(m_email, &QLineEdit::editingFinished, this, &EmailSettings::emailEditingFinished);
    for (QLineEdit *field : {m_email, m_server, m_password})
        connect(field, &QLineEdit::returnPressed, this, &EmailSettings::tryEmailAccount);
    connect(m_otherKind, &QRadioButton::toggled, this, &EmailSettings::kindChanged);
    connect(m_saveButton, &QPushButton::clicked, this, &EmailSettings::saveAction);
    connect(m_removeButton, &QPushButton::clicked, this, &EmailSettings::removeClicked);
    connect(m_destButton, &QPushButton::clicked, this, &EmailSettings::changeSavePath);
    connect(m_revertButton, &QPushButton::clicked, this, &EmailSettings::revertToDefault);
    connect(m_formatsButton, &QPushButton::clicked, this, &EmailSettings::setFileFormatAction);
    connect(m_startButton, &QPushButton::clicked, this, &EmailSettings::startArchivingAction);
    connect(m_googleSignInButton, &QPushButton::clicked, this, [this] {
        if (!m_googleSignIn) {
            showError(tr("Google sign-in is not available in this build. Add the account as an other account "
                         "with an app password, or use a build with Google sign-in."));
            return;
        }
        if (!SourcesList::isAccount(m_email->text(), m_prefs))
            m_addingTokenName = AccountSetup::newKeyChainID();
        m_googleSignIn(this, m_email->text());
    });
    connect(m_mailboxes, &QListWidget::itemClicked, this,
            [this](QListWidgetItem *item) { toggleFolderSetting(item->data(Qt::UserRole).toString()); });
    m_tableReload.setSingleShot(true);
    m_tableReload.setInterval(200);
    connect(&m_tableReload, &QTimer::timeout, this, &EmailSettings::reloadMailboxTable);
    m_retry.setSingleShot(true);
    m_retry.setInterval(2000);
    connect(&m_retry, &QTimer::timeout, this, &EmailSettings::tryEmailAccount);
    populateEmailSettings(QString());
}

EmailSettings::~EmailSettings() { dropSession(); }

bool EmailSettings::isGoogle() const
{
    if (SourcesList::isAccount(m_email->text(), m_prefs))
        return AccountSetup::authSystem(m_email->text(), m_prefs) == AccountSetup::kauthGoogleOAuth();
    return m_googleKind->isChecked();
}

void EmailSettings::dropSession()
{
    m_retry.stop();
    if (m_fetch)
        m_fetch->cancel();
    m_fetch = nullptr;
    if (m_session) {
        m_session->deleteLater();
        m_session = nullptr;
    }
}

void EmailSettings::showError(const QString &text)
{
    m_errorText->setText(text);
    m_errorText->setVisible(!text.isEmpty());
}

void EmailSettings::populateEmailSettings(const QString &email)
{
    dropSession();
    m_trustedPin.clear();
    if (m_trustBox)
        m_trustBox->reject();
    m_rewriting = true;
    m_email->setText(email);
    showError(QString());
    const bool isNew = !SourcesList::isAccount(email, m_prefs);
    m_newForm = email.isEmpty();
    {
        const QSignalBlocker block(m_otherKind);
        m_otherKind->setChecked(true);
    }
    const bool google = !isNew && AccountSetup::authSystem(email, m_prefs) == AccountSetup::kauthGoogleOAuth();
    if (google) {
        m_server->setText(GTMOAuth2Configuration::fromPreferences(m_prefs).imapServer);
        m_password->clear();
        m_googleText->setText(tr("%1 signs in with Google.").arg(email));
        m_googleSignInButton->setText(tr("Sign In Again\u2026"));
    } else {
        m_server->setText(m_prefs.stringForKey(PreferenceRegister::imapKey(email)));
        m_password->setText(email.isEmpty() ? QString()
                                            : m_keychain.objectForKey(PreferenceRegister::passwordKey(email)).toString());
        m_googleText->clear();
        m_googleSignInButton->setText(tr("Sign in with Google\u2026"));
    }
    m_rewriting = false;
    kindChanged();
    reloadMailboxTable();
    setUIState();
    tryEmailAccount();
}

void EmailSettings::kindChanged()
{
    const bool google = isGoogle();
    m_googleView->setVisible(google);
    m_server->setReadOnly(google);
    // A Google account shows its server once it exists; while one is added there is none.
    const bool showServer = !google || SourcesList::isAccount(m_email->text(), m_prefs);
    m_serverLabel->setVisible(showServer);
    m_server->setVisible(showServer);
    m_passwordLabel->setVisible(!google);
    m_password->setVisible(!google);
    m_saveButton->setVisible(!google);
    if (google && m_googleText->text().isEmpty())
        m_googleText->setText(tr("Sign in with your Google account in your browser; no password is kept here."));
}

void EmailSettings::fieldsChanged()
{
    if (m_rewriting)
        return;
    // Addresses and host names never begin or end with white space; pasted ones often do.
    m_rewriting = true;
    for (QLineEdit *field : {m_email, m_server}) {
        const QString clean = AccountFields::trimmed(field->text());
        if (clean != field->text())
            field->setText(clean);
    }
    m_rewriting = false;
    reloadMailboxTable();
}

void EmailSettings::emailEditingFinished()
{
    if (isGoogle() || !AccountFields::shouldLookUpServer(m_email->text(), m_server->text()))
        return;
    const QString host = LookupServer::lookupServer(m_email->text());
    if (!host.isEmpty())
        m_server->setText(host);
}

QByteArray EmailSettings::currentCacheKey() const
{
    return m_fields.cacheKey(m_email->text(), m_server->text(), m_password->text());
}

void EmailSettings::setUIState()
{
    const QString email = m_email->text();
    const SourcesList::DestinationDisplay display = SourcesList::destinationDisplay(email, m_prefs);
    m_revertButton->setVisible(display.own);
    m_destButton->setText(display.own ? tr("Change") : tr("Set Custom"));
    m_destLabel->setText(display.own ? display.path : tr("Default (%1)").arg(display.path));
    const bool known = SourcesList::isAccount(email, m_prefs);
    m_saveButton->setText(known ? tr("Save") : tr("Add"));
    m_startButton->setVisible(known);
    m_formatsButton->setVisible(known);
    m_removeButton->setVisible(known);
    m_kindBox->setVisible(m_newForm && !known);
    m_destButton->setEnabled(!email.isEmpty());
}

void EmailSettings::tryEmailAccount()
{
    const QString email = m_email->text();
    const bool google = isGoogle();
    if (!AccountFields::isPlausible(email, m_server->text(), m_password->text(), google))
        return;
    QString token;
    if (google) {
        if (!SourcesList::isAccount(email, m_prefs))
            return; // a Google account exists once its sign-in is granted
        if (!m_accessToken) {
            showError(tr("Google sign-in is not available in this build."));
            return;
        }
        token = m_accessToken(email);
        if (token.isEmpty()) {
            m_retry.start();
            return;
        }
    }
    fetchFolderNames(token);
}

void EmailSettings::fetchFolderNames(const QString &token)
{
    dropSession();
    showError(QString());
    const QString email = m_email->text();
    const QString server = isGoogle() ? QString() : m_server->text();
    const QString password = isGoogle() ? QString() : m_password->text();
    const QByteArray key = currentCacheKey();

    m_session = new MCOIMAPSession(this);
    m_session->setUsername(email);
    if (isGoogle()) {
        // The server the account's jobs use: Gmail's, unless the preferences name another.
        const IMAPServer s = AccountSetup::serverFromString(GTMOAuth2Configuration::fromPreferences(m_prefs).imapServer);
        m_session->setHostname(s.host);
        m_session->setPort(s.port);
        m_session->setConnectionType(MCOIMAPSession::ConnectionType(s.connectionType));
        m_session->setAuthType(MCOIMAPSession::AuthTypeXOAuth2);
        m_session->setOAuth2Token(token);
    } else {
        const IMAPServer s = AccountSetup::serverFromString(server);
        m_session->setHostname(s.host);
        m_session->setPort(s.port);
        m_session->setPassword(password);
        m_session->setConnectionType(MCOIMAPSession::ConnectionType(s.connectionType));
    }
    m_session->setPinnedCertificateSHA256(!m_trustedPin.isEmpty()
                                              ? m_trustedPin
                                              : m_prefs.stringForKey(PreferenceRegister::certificatePinKey(email)));
    m_session->setTrustFirstCertificate(false);
    m_session->setTimeout(30);
    ++m_attempts;
    m_lastSettings = m_session->settings();
    m_lastSettings->password.clear();
    m_lastSettings->oauth2Token.clear();
    MCOIMAPSession *session = m_session;
    m_fetch = m_session->fetchAllFoldersOperation();
    m_fetch->start([this, session, email, server, password, key](const MCOIMAPResult &result) {
        m_fetch = nullptr;
        if (result.error.isError()) {
            TLog(QStringLiteral("Error downloading folder names:%1").arg(result.error.description));
            if (result.error.code == MCOIMAPError::ErrorCertificate && !result.error.seenSHA256.isEmpty())
                askToTrust(result.error);
            else
                showError(result.error.localizedDescription());
        } else {
            const bool existed = SourcesList::isAccount(email, m_prefs);
            bool saved = existed;
            if (!password.isEmpty()) {
                long status = 0;
                saved = AccountSetup::setPrefsEmailAddress(email, server, password, m_prefs, m_keychain, &status);
                if (!saved)
                    showError(tr("The password could not be kept in the password store (status %1), so the "
                                 "account was not saved. Is a keyring such as GNOME Keyring or KWallet running?")
                                  .arg(status));
            }
            const QString pin = session->settings().pinnedCertificateSHA256;
            const QString pinKey = PreferenceRegister::certificatePinKey(email);
            if (saved && !pin.isEmpty() && m_prefs.stringForKey(pinKey) != pin)
                m_prefs.setValue(pinKey, pin);
            m_folderCache.insert(key, result.folders);
            if (saved && !existed)
                emit accountAdded(email);
        }
        // The session holds the password: it goes as soon as its one listing is done.
        if (m_session == session) {
            m_session->deleteLater();
            m_session = nullptr;
        }
        setUIState();
        reloadMailboxTable();
    });
}

void EmailSettings::askToTrust(const MCOIMAPError &error)
{
    const QString host = m_session ? m_session->hostname() : m_server->text();
    const bool changed = !error.pinnedSHA256.isEmpty();
    auto *box = new QMessageBox(QMessageBox::Warning, changed ? tr("Certificate Changed") : tr("New Certificate"),
                                changed ? tr("The certificate of %1 has changed since it was trusted.").arg(host)
                                        : tr("The certificate of %1 is not known yet.").arg(host),
                                QMessageBox::NoButton, window());
    box->setObjectName(QStringLiteral("certificateTrust"));
    box->setInformativeText(
        tr("Compare its fingerprint with the one your provider publishes before you trust it. Nothing has been sent "
           "to the server yet.\n\nSHA-256 %1")
            .arg(error.seenSHA256) +
        (changed ? tr("\n\nTrusted before: SHA-256 %1").arg(error.pinnedSHA256) : QString()));
    QPushButton *trust = box->addButton(tr("Trust"), QMessageBox::AcceptRole);
    // Enter must not trust a certificate by accident; Escape cancels.
    box->setDefaultButton(box->addButton(tr("Cancel"), QMessageBox::RejectRole));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    const QString seen = error.seenSHA256;
    const QString description = error.localizedDescription();
    connect(box, &QMessageBox::finished, this, [this, box, trust, seen, description] {
        if (box->clickedButton() == trust) {
            m_trustedPin = seen;
            tryEmailAccount();
        } else {
            showError(description);
        }
    });
    m_trustBox = box;
    box->open();
}

void EmailSettings::errorFolderNames(const QString &username, const QString &error)
{
    if (username.isEmpty() || username == m_email->text())
        showError(error);
}

void EmailSettings::reloadMailboxTable()
{
    m_tableReload.stop();
    m_mailboxes->clear();
    const QString email = m_email->text();
    const QList<MCOIMAPFolder> folders = m_folderCache.value(currentCacheKey());
    for (const MCOIMAPFolder &folder : folders) {
        if (!folder.isSelectable())
            continue; // a parent without mail of its own
        auto *item = new QListWidgetItem(MCOIMAPMailboxName::decodeModifiedUTF7(folder.path), m_mailboxes);
        item->setData(Qt::UserRole, folder.path);
        item->setFlags(Qt::ItemIsEnabled);
        const bool on = AccountFields::isFolderON(email, folder.path, m_prefs);
        item->setData(Qt::CheckStateRole, on ? Qt::Checked : Qt::Unchecked);
        if (!on)
            item->setForeground(palette().brush(QPalette::Disabled, QPalette::Text));
    }
}

void EmailSettings::toggleFolderSetting(const QString &path)
{
    AccountFields::toggleFolderSetting(m_email->text(), path, m_prefs);
    m_tableReload.start();
}

bool EmailSettings::isFolderON(const QString &path) const
{
    return AccountFields::isFolderON(m_email->text(), path, m_prefs);
}

void EmailSettings::removeClicked()
{
    const QString email = m_email->text();
    if (!SourcesList::isAccount(email, m_prefs))
        return;
    long status = 0;
    if (!AccountSetup::removeAccount(email, m_prefs, m_keychain, &status)) {
        showError(tr("The account was kept: its password could not be removed from the password store (status %1).")
                      .arg(status));
        return;
    }
    dropSession();
    m_rewriting = true;
    m_email->clear();
    m_server->clear();
    m_password->clear();
    m_rewriting = false;
    reloadMailboxTable();
    setUIState();
    emit accountRemoved();
}

void EmailSettings::changeSavePath()
{
    const QString email = m_email->text();
    if (email.isEmpty())
        return;
    const QString folder = m_chooser(window(), tr("Choose Destination Folder"), QStringLiteral("/home"));
    if (folder.isEmpty())
        return;
    if (!SourcesList::setOwnDestination(email, folder, m_prefs))
        showError(tr("The folder %1 cannot be used: it cannot be reached.").arg(folder));
    setUIState();
}

void EmailSettings::revertToDefault()
{
    SourcesList::removeOwnDestination(m_email->text(), m_prefs);
    setUIState();
}

void EmailSettings::setFileFormatAction()
{
    if (m_email->text().isEmpty()) {
        TLog(QStringLiteral("They need to set the email address first."));
        return;
    }
    emit editFormatsRequested(m_email->text());
}

void EmailSettings::startArchivingAction()
{
    if (!m_email->text().isEmpty())
        emit startArchivingJob(m_email->text());
}

void EmailSettings::googleSignInGranted(const QString &email, const QString &tokenName)
{
    if (email.isEmpty())
        return;
    if (!m_addingTokenName.isEmpty() && tokenName != m_addingTokenName)
        return;
    m_addingTokenName.clear();
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, m_prefs);
    AccountSetup::setKeyChainID(tokenName, email, m_prefs);
    const bool existed = SourcesList::isAccount(email, m_prefs);
    AccountSetup::setPrefsEmailAddress(email, std::nullopt, std::nullopt, m_prefs, m_keychain);
    populateEmailSettings(email);
    if (!existed)
        emit accountAdded(email);
}

void EmailSettings::showSignInError(const QString &text)
{
    m_addingTokenName.clear();
    showError(text);
}
