#include "Settings/AccountSetup.h"

#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2Authentication.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"

#include <QDateTime>
#include <QStringList>
#include <QTimeZone>

#include <atomic>

namespace {

const QString kEmailAccounts = QStringLiteral("EmailAccounts");

// NSString's intValue: leading spaces, a sign, then digits up to the first non-digit.
int leadingInt(const QString &text)
{
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    bool negative = false;
    if (i < text.size() && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        negative = text.at(i++) == QLatin1Char('-');
    qint64 value = 0;
    for (; i < text.size() && text.at(i) >= QLatin1Char('0') && text.at(i) <= QLatin1Char('9'); ++i)
        value = qMin<qint64>(value * 10 + (text.at(i).unicode() - u'0'), INT_MAX);
    return int(negative ? -value : value);
}

} // namespace

QString AccountSetup::authSystem(const QString &email) { return authSystem(email, Preferences::shared()); }

QString AccountSetup::authSystem(const QString &email, Preferences &prefs)
{
    if (email.isEmpty())
        return kauthUserPass();
    const QString kind = prefs.stringForKey(PreferenceRegister::authSystemKey(email));
    return kind.isEmpty() ? kauthUserPass() : kind;
}

void AccountSetup::setAuthSystem(const QString &kind, const QString &email)
{
    setAuthSystem(kind, email, Preferences::shared());
}

void AccountSetup::setAuthSystem(const QString &kind, const QString &email, Preferences &prefs)
{
    if (kind.isEmpty() || email.isEmpty())
        return;
    prefs.setValue(PreferenceRegister::authSystemKey(email), kind);
}

QString AccountSetup::keyChainIDForEmail(const QString &email)
{
    return keyChainIDForEmail(email, Preferences::shared());
}

QString AccountSetup::keyChainIDForEmail(const QString &email, Preferences &prefs)
{
    if (email.isEmpty())
        return QString();
    const QString stored = prefs.stringForKey(PreferenceRegister::googleOAuthKeyKey(email));
    if (!stored.isEmpty())
        return stored;
    const QString made = newKeyChainID();
    setKeyChainID(made, email, prefs);
    return made;
}

void AccountSetup::setKeyChainID(const QString &keyChainID, const QString &email)
{
    setKeyChainID(keyChainID, email, Preferences::shared());
}

void AccountSetup::setKeyChainID(const QString &keyChainID, const QString &email, Preferences &prefs)
{
    if (keyChainID.isEmpty() || email.isEmpty())
        return;
    prefs.setValue(PreferenceRegister::googleOAuthKeyKey(email), keyChainID);
}

QString AccountSetup::newKeyChainID()
{
    static std::atomic<int> counter{0};
    static const QDateTime reference(QDate(2001, 1, 1), QTime(0, 0), QTimeZone::utc());
    const qint32 secs = qint32(reference.secsTo(QDateTime::currentDateTimeUtc()));
    return QStringLiteral("%1-%2").arg(secs).arg(counter.fetch_add(1));
}

bool AccountSetup::setPrefsEmailAddress(const QString &email, const std::optional<QString> &imapConfig,
                                        const std::optional<QString> &password, long *status)
{
    return setPrefsEmailAddress(email, imapConfig, password, Preferences::shared(), FXKeychain::defaultKeychain(),
                                status);
}

bool AccountSetup::setPrefsEmailAddress(const QString &email, const std::optional<QString> &imapConfig,
                                        const std::optional<QString> &password, Preferences &prefs,
                                        FXKeychain &keychain, long *status)
{
    if (status)
        *status = FXKeychain::Success;
    if (email.isEmpty())
        return false;
    if (password) {
        const long stored = keychain.putObject(*password, PreferenceRegister::passwordKey(email));
        if (status)
            *status = stored;
        if (stored != FXKeychain::Success)
            return false;
    }
    QStringList accounts = prefs.stringListForKey(kEmailAccounts);
    if (!accounts.contains(email)) {
        accounts.append(email);
        prefs.setValue(kEmailAccounts, accounts);
    }
    prefs.setValue(PreferenceRegister::imapKey(email), imapConfig.value_or(QString()));
    return true;
}

bool AccountSetup::removeAccount(const QString &email, Preferences &prefs, FXKeychain &keychain, long *status)
{
    if (status)
        *status = FXKeychain::Success;
    QStringList accounts = prefs.stringListForKey(kEmailAccounts);
    if (email.isEmpty() || !accounts.contains(email))
        return false;
    const long removed = keychain.putObject(QVariant(), PreferenceRegister::passwordKey(email));
    if (status)
        *status = removed;
    // A Google account, or one whose password was never stored, has no item: fine.
    if (removed != FXKeychain::Success && removed != FXKeychain::ItemNotFound)
        return false;
    // A Google account's refresh token is a lasting credential: it goes with the account.
    const QString tokenName = prefs.stringForKey(PreferenceRegister::googleOAuthKeyKey(email));
    if (!tokenName.isEmpty() && prefs.boolForKey(GTMOAuth2Authentication::preferenceMarkerKey(tokenName)))
        GTMOAuth2Authentication::removeAuthFromKeychainForName(tokenName, prefs);
    accounts.removeAll(email);
    prefs.setValue(kEmailAccounts, accounts);
    prefs.removeObjectForKey(PreferenceRegister::imapKey(email));
    return true;
}

IMAPServer AccountSetup::serverFromString(const QString &server)
{
    const QStringList parts = server.split(QLatin1Char(':'));
    IMAPServer out;
    out.host = parts.value(0);
    if (parts.size() > 1)
        out.port = leadingInt(parts[1]);
    if (parts.size() > 2) {
        const QString word = parts[2].toLower();
        if (word == QLatin1String("clear") || word == QLatin1String("nossl") || word == QLatin1String("notls"))
            out.connectionType = IMAPServer::Clear;
        else if (word == QLatin1String("starttls"))
            out.connectionType = IMAPServer::StartTLS;
        else
            out.connectionType = IMAPServer::TLS;
    }
    return out;
}
