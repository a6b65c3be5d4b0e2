#include "MailCoreGTM/GTMOAuth2WindowController.h"

#include "MailCoreGTM/GTMOAuth2SignIn.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/Preferences.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace {

GTMOAuth2WindowController::URLOpener &opener()
{
    static GTMOAuth2WindowController::URLOpener open = [](const QUrl &url) { QDesktopServices::openUrl(url); };
    return open;
}

} // namespace

GTMOAuth2WindowController::GTMOAuth2WindowController(GTMOAuth2Authentication *auth,
                                                     const GTMOAuth2Configuration &config, Preferences &prefs,
                                                     QWidget *parent)
    : QDialog(parent), m_auth(auth), m_config(config), m_prefs(prefs)
{
    setWindowTitle(tr("Sign in with Google"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(this);
    m_text = new QLabel(this);
    m_text->setWordWrap(true);
    m_text->setMinimumWidth(420);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(m_text);
    m_keepSignedIn = new QCheckBox(tr("&Stay signed in (keep the authorization in the password store)"), this);
    m_keepSignedIn->setChecked(true);
    layout->addWidget(m_keepSignedIn);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, this);
    m_copy = buttons->addButton(tr("&Copy address"), QDialogButtonBox::ActionRole);
    m_copy->setEnabled(false);
    layout->addWidget(buttons);
    connect(m_copy, &QPushButton::clicked, this, [this] {
        QApplication::clipboard()->setText(QString::fromUtf8(authorizationAddress().toEncoded()));
    });
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(this, &QDialog::rejected, this, [this] {
        if (m_signIn)
            m_signIn->cancelSigningIn();
    });
}

GTMOAuth2WindowController::~GTMOAuth2WindowController()
{
    // Closed some other way while waiting: the caller still hears of it, once.
    if (m_signIn)
        m_signIn->cancelSigningIn();
}

void GTMOAuth2WindowController::setURLOpener(URLOpener open) { opener() = std::move(open); }

QUrl GTMOAuth2WindowController::authorizationAddress() const
{
    return m_signIn ? m_signIn->authorizationRequestURL() : QUrl();
}

bool GTMOAuth2WindowController::keepSignedIn() const { return m_keepSignedIn->isChecked(); }

void GTMOAuth2WindowController::signInSheetModalForWindow(QWidget *parent, GTMOAuth2Authentication::Finished finished)
{
    m_finished = std::move(finished);
    if (parent) {
        setParent(parent->window(), windowFlags() | Qt::Dialog);
        setWindowModality(Qt::WindowModal);
    }
    show();
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (!GTMOAuth2SignIn::clockIsPlausible(now)) {
        m_text->setText(GTMOAuth2SignIn::clockIncorrectText(now) +
                        tr("\n\nSet the computer's date and time, then sign in again."));
        m_keepSignedIn->hide();
        return;
    }
    m_auth->clientID = m_config.clientID;
    m_auth->clientSecret = m_config.clientSecret;
    m_auth->tokenURL = m_config.tokenURL;
    m_auth->serviceProvider = kGTMOAuth2ServiceProviderGoogle;
    m_signIn = new GTMOAuth2SignIn(m_auth, m_config.authorizationURL, m_config.scope, m_config.userInfoURL, this);
    // The check box may change until the browser comes back.
    connect(m_signIn, &GTMOAuth2SignIn::userSignedIn, this,
            [this] { m_signIn->setKeepSignedIn(m_keepSignedIn->isChecked(), &m_prefs); });
    GTMOAuth2Error error;
    const bool started = m_signIn->startSigningIn(
        [](const QUrl &url) { opener()(url); },
        [this](GTMOAuth2Authentication *auth, const GTMOAuth2Error &e) { finish(auth, e); }, &error);
    if (!started) {
        m_text->setText(error.description);
        m_keepSignedIn->hide();
        QTimer::singleShot(0, this, [this, error] { finish(m_auth, error); });
        return;
    }
    m_copy->setEnabled(true);
    m_text->setText(tr("Your web browser now shows Google's sign-in page. Sign in there and allow Tarnwick to read "
                       "your mail; Tarnwick goes on by itself when you are done.\n\nIf no browser page opened, "
                       "use \"Copy address\" and open the address in a browser on this computer."));
}

void GTMOAuth2WindowController::finish(GTMOAuth2Authentication *auth, const GTMOAuth2Error &error)
{
    GTMOAuth2Authentication::Finished done = std::move(m_finished);
    m_finished = nullptr;
    m_signIn = nullptr; // a child: goes with the window
    if (done)
        done(auth, error);
    // Not through reject(): that would cancel a sign-in that has just ended.
    hide();
    deleteLater();
}

void GTMOAuth2WindowController::installInteractiveSignIn(QWidget *parentWindow)
{
    QPointer<QWidget> parent(parentWindow);
    AccountOAuth::shared().setInteractiveSignIn([parent](const QString &, GTMOAuth2Authentication *auth,
                                                         const QString &message,
                                                         GTMOAuth2Authentication::Finished done) {
        Preferences &prefs = Preferences::shared();
        const GTMOAuth2Configuration config = GTMOAuth2Configuration::fromPreferences(prefs);
        if (!config.hasClientID()) {
            auto *info = new QMessageBox(QMessageBox::Information, message,
                                         GTMOAuth2Configuration::missingClientIDExplanation(), QMessageBox::Ok, parent);
            info->setAttribute(Qt::WA_DeleteOnClose);
            info->open();
            QTimer::singleShot(0, auth, [auth, done] {
                done(auth, GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorWindowClosed,
                                                GTMOAuth2Configuration::missingClientIDExplanation()));
            });
            return;
        }
        // Asked without a nested event loop: the request may come from a job's tick.
        auto *ask = new QMessageBox(QMessageBox::Information, message, message, QMessageBox::Ok | QMessageBox::Cancel,
                                    parent);
        ask->setInformativeText(QStringLiteral("You will need to authenticate with your Google credentials."));
        ask->setAttribute(Qt::WA_DeleteOnClose);
        QObject::connect(ask, &QMessageBox::finished, ask, [parent, auth, config, done, ask](int) {
            if (ask->clickedButton() != ask->button(QMessageBox::Ok)) {
                done(auth, GTMOAuth2Error::make(kGTMOAuth2ErrorDomain, kGTMOAuth2ErrorWindowClosed,
                                                QStringLiteral("the sign-in was cancelled")));
                return;
            }
            auto *window = new GTMOAuth2WindowController(auth, config, Preferences::shared(), parent);
            window->signInSheetModalForWindow(parent, done);
        });
        ask->open();
    });
}

void GTMOAuth2WindowController::addGoogleAccount(QWidget *parentWindow,
                                                 std::function<void(const QString &, const QString &)> done,
                                                 const QString &tokenName)
{
    Preferences &prefs = Preferences::shared();
    const GTMOAuth2Configuration config = GTMOAuth2Configuration::fromPreferences(prefs);
    if (!config.hasClientID()) {
        done(QString(), GTMOAuth2Configuration::missingClientIDExplanation());
        return;
    }
    auto *auth = new GTMOAuth2Authentication(&AccountOAuth::shared());
    auth->keychainItemName = tokenName.isEmpty() ? AccountSetup::newKeyChainID() : tokenName;
    auto *window = new GTMOAuth2WindowController(auth, config, prefs, parentWindow);
    window->signInSheetModalForWindow(parentWindow, [auth, done](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
        Preferences &prefs = Preferences::shared();
        const QString email = auth->userEmail();
        if (e.isError() || email.isEmpty()) {
            auth->deleteLater();
            done(QString(), e.code == kGTMOAuth2ErrorWindowClosed
                                ? QString()
                                : e.isError() ? e.description : QStringLiteral("Google did not say which account signed in"));
            return;
        }
        AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, prefs);
        AccountSetup::setKeyChainID(auth->keychainItemName, email, prefs);
        AccountSetup::setPrefsEmailAddress(email, std::nullopt, std::nullopt);
        AccountOAuth::shared().signInFinished(email, auth, e);
        done(email, QString());
    });
}
