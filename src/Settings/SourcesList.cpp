#include "Settings/SourcesList.h"

#include "AppSandbox/FolderAccess.h"
#include "AppSandbox/URLBookmarkInPrefs.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <pwd.h>
#include <unistd.h>

namespace {

const QString kEmailAccounts = QStringLiteral("EmailAccounts");
const QString kFolderItems = QStringLiteral("FolderItems");

QVariantMap heading(const QString &id, const QString &name)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("name"), name}};
}

QVariantMap item(const QString &id, const QString &name, const QString &icon)
{
    return {{QStringLiteral("id"), id}, {QStringLiteral("name"), name}, {QStringLiteral("icon"), icon}};
}

QVariantMap addRow(const QString &id, const QString &name, const QString &action)
{
    QVariantMap row = item(id, name, QStringLiteral("40-40-icon-add.png"));
    row.insert(QStringLiteral("action"), action);
    return row;
}

// NSString's lastPathComponent: trailing slashes do not count, "/" stays "/".
QString lastPathComponent(const QString &path)
{
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/')))
        p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    return slash < 0 || p.size() == 1 ? p : p.mid(slash + 1);
}

bool isHeading(const QVariantMap &row) { return !row.contains(QStringLiteral("icon")); }

} // namespace

SourcesList::SourcesList(Preferences &prefs) : m_prefs(prefs) {}

void SourcesList::reloadTheData()
{
    QList<QVariantMap> rows;
    rows << heading(generalHeadingId(), QStringLiteral("GENERAL"))
         << item(settingsItemId(), QStringLiteral("Settings"), QStringLiteral("40-40-icon-settings.png"))
         << heading(accountsHeadingId(), QStringLiteral("EMAIL ACCOUNTS"));
    for (const QString &email : emailAccounts(m_prefs)) {
        QVariantMap row = item(email, email, QStringLiteral("40-40-icon-mailbox.png"));
        row.insert(QStringLiteral("email"), email);
        rows << row;
    }
    rows << addRow(addEmailItemId(), QStringLiteral("Add Account"), QStringLiteral("Action_newAccount"))
         << heading(foldersHeadingId(), QStringLiteral("FOLDERS"));
    for (const QString &path : folderItems(m_prefs)) {
        QVariantMap row = item(path, lastPathComponent(path), QStringLiteral("40-40-icon-folder.png"));
        row.insert(QStringLiteral("folder"), path);
        rows << row;
    }
    rows << addRow(addFolderItemId(), QStringLiteral("Add Folder"), QStringLiteral("Action_newFolder"))
         << addRow(addMailboxItemId(), QStringLiteral("Add Mailbox From Mail Client"), QStringLiteral("Action_newMailbox"));
    m_rows = rows;

    m_selected = -1;
    if (m_rememberedId.isEmpty())
        return;
    for (int i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].value(QStringLiteral("id")).toString() == m_rememberedId) {
            m_selected = i;
            break;
        }
    }
}

bool SourcesList::shouldSelectRow(int row) const
{
    return row >= 0 && row < m_rows.size() && !isHeading(m_rows[row]);
}

SourcesList::Selection SourcesList::selectRow(int row)
{
    if (!shouldSelectRow(row))
        return Selection::Refused;
    const QVariantMap &r = m_rows[row];
    m_selected = row;
    m_rememberedId = r.value(QStringLiteral("id")).toString();
    if (m_rememberedId == settingsItemId())
        return Selection::GeneralPane;
    if (r.contains(QStringLiteral("action")))
        return Selection::Action;
    if (r.contains(QStringLiteral("email")))
        return Selection::AccountPane;
    return Selection::FolderPane;
}

int SourcesList::setSelectedRow(int row)
{
    const int count = int(m_rows.size());
    if (row >= count || row < 0)
        row = qMax(count - 3, 0);
    if (shouldSelectRow(row))
        selectRow(row);
    else
        deselectAll();
    return m_selected;
}

QStringList SourcesList::emailAccounts(Preferences &prefs) { return prefs.stringListForKey(kEmailAccounts); }

QStringList SourcesList::folderItems(Preferences &prefs) { return prefs.stringListForKey(kFolderItems); }

QStringList SourcesList::allSourceKeys(Preferences &prefs)
{
    QStringList keys;
    for (const QString &k : emailAccounts(prefs) + folderItems(prefs))
        if (!k.isEmpty())
            keys << k;
    return keys;
}

bool SourcesList::isAccount(const QString &key, Preferences &prefs)
{
    return !key.isEmpty() && emailAccounts(prefs).contains(key);
}

qsizetype SourcesList::addSourcePathToPrefs(const QString &path, Preferences &prefs)
{
    QStringList items = folderItems(prefs);
    const qsizetype existing = items.indexOf(path);
    if (existing >= 0)
        return existing;
    items.append(path);
    prefs.setValue(kFolderItems, items);
    return items.size() - 1;
}

bool SourcesList::removeSourcePathFromPrefs(const QString &path, Preferences &prefs)
{
    QStringList items = folderItems(prefs);
    const qsizetype at = items.indexOf(path);
    if (at < 0)
        return false;
    items.removeAt(at);
    prefs.setValue(kFolderItems, items);
    return true;
}

SourcesList::DestinationDisplay SourcesList::destinationDisplay(const QString &sourceKey, Preferences &prefs)
{
    DestinationDisplay d;
    QString base = URLBookmarkInPrefs::URLFromPrefsForKey(PreferenceRegister::destKey(sourceKey), prefs);
    d.own = !base.isEmpty();
    if (!d.own)
        base = FolderAccess::destinationDirectory(false, prefs);
    d.path = base + QLatin1Char('/') + lastPathComponent(sourceKey);
    d.text = d.own ? d.path : QStringLiteral("Default (%1)").arg(d.path);
    return d;
}

bool SourcesList::setOwnDestination(const QString &sourceKey, const QString &folder, Preferences &prefs)
{
    FolderAccess::persistPermissionURL(folder);
    const QString key = PreferenceRegister::destKey(sourceKey);
    if (URLBookmarkInPrefs::setURL(folder, key, prefs).isEmpty())
        return false;
    // A plain path left under the base key would bring back the previous folder the first
    // time the new reference fails to resolve.
    prefs.removeObjectForKey(key);
    return true;
}

void SourcesList::removeOwnDestination(const QString &sourceKey, Preferences &prefs)
{
    URLBookmarkInPrefs::removeBookmarkForKeyBase(PreferenceRegister::destKey(sourceKey), prefs);
}

QString SourcesList::mailChooserFolder(const QString &home)
{
    for (const char *sub : {"Mail", ".thunderbird", "Maildir", ".local/share/evolution/mail"}) {
        const QString candidate = QDir(home).filePath(QString::fromLatin1(sub));
        if (QFileInfo(candidate).isDir())
            return candidate;
    }
    return home;
}

QString SourcesList::userHomeFolder()
{
    // The user database, as the choosers should not follow a $HOME that a launcher or a
    // sandbox changed.
    if (const passwd *pw = ::getpwuid(::getuid()); pw && pw->pw_dir)
        return QFile::decodeName(pw->pw_dir);
    return QDir::homePath();
}
