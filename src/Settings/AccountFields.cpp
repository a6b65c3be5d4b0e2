#include "Settings/AccountFields.h"

#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"

#include <QMessageAuthenticationCode>
#include <QRandomGenerator>

AccountFields::AccountFields() : m_key(32, Qt::Uninitialized)
{
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(m_key.data()), m_key.size() / 4);
}

QString AccountFields::trimmed(const QString &text) { return text.trimmed(); }

bool AccountFields::shouldLookUpServer(const QString &email, const QString &server)
{
    return server.isEmpty() && email.size() >= 10;
}

bool AccountFields::isPlausible(const QString &email, const QString &server, const QString &password, bool google)
{
    if (email.size() < 5)
        return false;
    return google || (password.size() >= 3 && server.size() >= 4);
}

QByteArray AccountFields::cacheKey(const QString &email, const QString &server, const QString &password) const
{
    QMessageAuthenticationCode mac(QCryptographicHash::Sha256, m_key);
    mac.addData((email + QLatin1Char('_') + server + QLatin1Char('_') + password).toUtf8());
    return mac.result();
}

bool AccountFields::isFolderON(const QString &email, const QString &path, Preferences &prefs)
{
    return !prefs.stringListForKey(PreferenceRegister::ignoreFoldersKey(email)).contains(path);
}

void AccountFields::toggleFolderSetting(const QString &email, const QString &path, Preferences &prefs)
{
    if (email.isEmpty() || path.isEmpty())
        return;
    const QString key = PreferenceRegister::ignoreFoldersKey(email);
    QStringList off = prefs.stringListForKey(key);
    if (off.contains(path))
        off.removeAll(path);
    else
        off.append(path);
    prefs.setValue(key, off);
}
