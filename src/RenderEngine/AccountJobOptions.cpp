#include "RenderEngine/AccountJobOptions.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2Configuration.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"

#include <QDir>

namespace AccountJobOptions {

namespace {

// Destination, own destination, formats and the two file-name preferences: what every
// job of a stored source has.
std::optional<JobOptions> commonOptions(const QString &key, Preferences &prefs, QString *error)
{
    const QString dest = FolderAccess::destinationDirectory(false, prefs);
    if (dest.isEmpty()) {
        *error = QStringLiteral("no destination folder: choose one with `tarnwick config set-destination DIR`");
        return std::nullopt;
    }
    JobOptions options;
    options[JobKey::destFolder] = QDir::cleanPath(dest);
    const SourcesList::DestinationDisplay own = SourcesList::destinationDisplay(key, prefs);
    if (own.own && !own.path.isEmpty())
        options[JobKey::destFolderOverride] = QDir::cleanPath(own.path);
    options[JobKey::pdfFormat] = CustomPath::getPathFormat(key);
    options[JobKey::attachmentFormat] = CustomPath::getAttachmentFormat(key);
    options[JobKey::emlFormat] = CustomPath::getEMLFormat(key);
    options[JobKey::windowsFilenames] = prefs.boolForKey(QStringLiteral("useWindowsFriendlyFilenames"));
    options[JobKey::tinyHeaders] = prefs.boolForKey(QStringLiteral("includeTinyHeaderText"));
    // Engines per job: the preference, else chosen by the job from the machine.
    if (const qint64 engines = prefs.integerForKey(QStringLiteral("renderEnginesPerJob")); engines > 0)
        options[JobKey::renderEngines] = int(engines);
    return options;
}

} // namespace

QString noPasswordText() { return QStringLiteral("No password stored — open the account's settings"); }

std::optional<JobOptions> connectionOptions(const QString &email, Preferences &prefs, FXKeychain &keychain,
                                           QString *error)
{
    const QString authSystem = AccountSetup::authSystem(email, prefs);
    const bool google = authSystem == AccountSetup::kauthGoogleOAuth();
    // A Google account keeps no server string of its own: it is Google's IMAP server.
    const IMAPServer server = AccountSetup::serverFromString(
        google ? GTMOAuth2Configuration::fromPreferences(prefs).imapServer
               : prefs.stringForKey(PreferenceRegister::imapKey(email)));
    const QVariant stored = keychain.objectForKey(PreferenceRegister::passwordKey(email));
    const QString password = stored.isValid() ? stored.toString() : QString();
    if (password.isEmpty() && authSystem == AccountSetup::kauthUserPass()) {
        *error = noPasswordText();
        return std::nullopt;
    }
    JobOptions options;
    options[JobKey::emailUsername] = email;
    options[JobKey::imapServer] = server.host;
    options[JobKey::imapPort] = server.port;
    options[JobKey::imapTransport] = int(server.connectionType);
    options[JobKey::password] = password;
    options[JobKey::authSystem] = authSystem;
    // The token of the moment (possibly none yet); the job asks for newer ones itself.
    options[JobKey::accessToken] = google ? AccountOAuth::shared().accessTokenFromOAuth(email) : QString();
    options[JobKey::imapCertificateSHA256] = prefs.stringForKey(PreferenceRegister::certificatePinKey(email));
    const QString skipKey = PreferenceRegister::ignoreFoldersKey(email);
    if (prefs.hasStoredValue(skipKey))
        options[JobKey::foldersToSkip] = prefs.stringListForKey(skipKey);
    return options;
}

std::optional<JobOptions> forAccount(const QString &email, Preferences &prefs, FXKeychain &keychain, QString *error)
{
    std::optional<JobOptions> options = commonOptions(email, prefs, error);
    if (!options)
        return std::nullopt;
    const std::optional<JobOptions> connection = connectionOptions(email, prefs, keychain, error);
    if (!connection)
        return std::nullopt;
    options->insert(*connection);
    return options;
}

std::optional<JobOptions> forFolder(const QString &path, Preferences &prefs, QString *error)
{
    std::optional<JobOptions> options = commonOptions(path, prefs, error);
    if (options)
        (*options)[JobKey::emlFiles] = QStringList{QDir::cleanPath(path)};
    return options;
}

} // namespace AccountJobOptions
