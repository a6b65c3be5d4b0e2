#include "TarnwickApp/SourcesCommand.h"
#include "TarnwickApp/CommandGroup.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "TarnwickApp/IMAPCommands.h"
#include "TarnwickApp/PasswordInput.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "CustomPaths/PathFormatCheck.h"
#include "MailCoreGTM/FXKeychain.h"
#include "MailCoreGTM/GTMOAuth2Configuration.h"
#include "MailCoreGTM/GTMOAuth2SignIn.h"
#include "Settings/AccountSetup.h"
#include "Settings/LookupServer.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "Utils/Log.h"

#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

namespace {

const char *kUsage =
    "Usage: tarnwick sources <command> [--verbose]\n"
    "  list [--json]                       every source with its settings\n"
    "  add-folder PATH [--dest DIR]        add a folder of .eml, mbox or .emlx files\n"
    "  add-account EMAIL [--server HOST[:PORT[:SECURITY]]] [--dest DIR] [--password-stdin]\n"
    "                                      add an IMAP account; the password is asked for\n"
    "                                      on the terminal, or read from standard input\n"
    "  add-account EMAIL --google [--dest DIR]\n"
    "                                      add a Gmail or Google Workspace account: prints the\n"
    "                                      address to open in a browser and waits for the sign-in\n"
    "  remove KEY                          remove a source (an account's password too)\n"
    "  set-dest KEY DIR | set-dest KEY --default\n"
    "                                      give a source its own destination, or not\n"
    "  set-format KEY pdf|attachment|eml FORMAT | set-format KEY KIND --default\n"
    "                                      set a source's own path format, or inherit\n"
    "                                      the general one again\n"
    "  folders EMAIL [--json]              the account's mailboxes, on or off (asks the server)\n"
    "  folders EMAIL [--off PATH...] [--on PATH...]\n"
    "                                      switch mailboxes off or on (server names as listed)\n"
    "  trust EMAIL [--yes]                 show the server's certificate and trust it from now on\n"
    "KEY is an account's e-mail address or a folder source's path.\n";

const QString kNoStore =
    QStringLiteral("no password store: start a Secret Service such as gnome-keyring or KeePassXC");

// Exit status of every refusal and failure.
constexpr int kFailed = 2;

int fail(const QString &message)
{
    printErr(QStringLiteral("tarnwick sources: %1\n").arg(message));
    return kFailed;
}

int usage(const QString &message)
{
    printErr(QStringLiteral("tarnwick sources: %1\n").arg(message) + QString::fromLatin1(kUsage));
    return kFailed;
}

QString absoluteClean(const QString &path) { return QDir::cleanPath(QFileInfo(path).absoluteFilePath()); }

// The source that `given` names: an account address or folder key as stored, else the
// folder source at that path written another way ("Mail/", a relative path).
QString sourceKeyFor(const QString &given, Preferences &prefs)
{
    if (SourcesList::allSourceKeys(prefs).contains(given))
        return given;
    const QString path = absoluteClean(given);
    return SourcesList::folderItems(prefs).contains(path) ? path : QString();
}

// The words of a sub-command: positional arguments, options with a value, switches.
struct Words {
    QStringList positional;
    QMap<QString, QString> options;
    QSet<QString> switches;
};

bool split(const QStringList &args, const QSet<QString> &withValue, const QSet<QString> &switches, Words &out,
           QString &error)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        if (a == QLatin1String("--")) {
            out.positional += args.mid(i + 1);
            break;
        }
        if (withValue.contains(a)) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option %1 needs a value").arg(a);
                return false;
            }
            out.options.insert(a, args[++i]);
        } else if (switches.contains(a)) {
            out.switches.insert(a);
        } else if (a == QLatin1String("--password") || a.startsWith(QLatin1String("--password="))) {
            error = QStringLiteral("a password is never taken from the command line (it would show in the process "
                                   "list and the shell history): type it at the prompt or use --password-stdin");
            return false;
        } else if (a.startsWith(QLatin1String("--")) && a.size() > 2) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else {
            out.positional.append(a);
        }
    }
    return true;
}

QString optionalDate(const QDateTime &d) { return d.isValid() ? d.toUTC().toString(Qt::ISODate) : QString(); }

QJsonObject describe(const QString &key, Preferences &prefs)
{
    const bool account = SourcesList::isAccount(key, prefs);
    QJsonObject o;
    o[QStringLiteral("key")] = key;
    o[QStringLiteral("kind")] = account ? QStringLiteral("account") : QStringLiteral("folder");
    const auto dest = SourcesList::destinationDisplay(key, prefs);
    // Before any destination is chosen the display would read as a folder at the root.
    const bool none = !dest.own && FolderAccess::destinationDirectory(false, prefs).isEmpty();
    o[QStringLiteral("destination")] =
        none ? QStringLiteral("Default (none chosen: tarnwick config set-destination DIR)") : dest.text;
    o[QStringLiteral("destinationPath")] = none ? QJsonValue() : QJsonValue(dest.path);
    o[QStringLiteral("ownDestination")] = dest.own;
    QJsonObject formats;
    for (const char *kind : {"pdf", "attachment", "eml"})
        formats[QLatin1String(kind)] = CustomPath::getFormat(QLatin1String(kind), key);
    o[QStringLiteral("formats")] = formats;
    if (account) {
        const QString signIn = AccountSetup::authSystem(key, prefs);
        // A Google account has no server string of its own: it uses Google's server.
        o[QStringLiteral("server")] = signIn == AccountSetup::kauthGoogleOAuth()
                                          ? GTMOAuth2Configuration::fromPreferences(prefs).imapServer
                                          : prefs.stringForKey(PreferenceRegister::imapKey(key));
        o[QStringLiteral("signIn")] = signIn;
        o[QStringLiteral("switchedOff")] =
            QJsonArray::fromStringList(prefs.stringListForKey(PreferenceRegister::ignoreFoldersKey(key)));
    } else {
        o[QStringLiteral("server")] = QJsonValue();
        o[QStringLiteral("signIn")] = QJsonValue();
        o[QStringLiteral("switchedOff")] = QJsonArray();
    }
    const QString last = optionalDate(prefs.dateForKey(PreferenceRegister::lastFinishedKey(key)));
    o[QStringLiteral("lastRun")] = last.isEmpty() ? QJsonValue() : QJsonValue(last);
    o[QStringLiteral("pdfCount")] = prefs.integerForKey(PreferenceRegister::lastNumDoneKey(key));
    return o;
}

QString asText(const QJsonObject &o)
{
    const auto line = [](const char *label, const QString &value) {
        return QStringLiteral("  %1 %2\n").arg(QString::fromLatin1(label).leftJustified(19), value);
    };
    const bool account = o[QStringLiteral("kind")].toString() == QLatin1String("account");
    QString text = QStringLiteral("%1  (%2)\n").arg(o[QStringLiteral("key")].toString(), o[QStringLiteral("kind")].toString());
    if (account) {
        const QString server = o[QStringLiteral("server")].toString();
        text += line("server:", server.isEmpty() ? QStringLiteral("(none)") : server);
        text += line("sign-in:", o[QStringLiteral("signIn")].toString());
    }
    text += line("destination:", o[QStringLiteral("destination")].toString());
    const QJsonObject formats = o[QStringLiteral("formats")].toObject();
    for (const char *kind : {"pdf", "attachment", "eml"}) {
        const QString f = formats[QLatin1String(kind)].toString();
        text += line((QByteArray(kind) + " format:").constData(), f.size() < 5 ? QStringLiteral("(none)") : f);
    }
    if (account) {
        QStringList off;
        for (const QJsonValue &v : o[QStringLiteral("switchedOff")].toArray())
            off << v.toString();
        text += line("switched off:", off.isEmpty() ? QStringLiteral("(none)") : off.join(QStringLiteral(", ")));
    }
    const QJsonValue last = o[QStringLiteral("lastRun")];
    text += line("last run:", last.isNull() ? QStringLiteral("never") : last.toString());
    text += line("PDFs:", QString::number(o[QStringLiteral("pdfCount")].toInteger()));
    return text;
}

int list(const QStringList &args, Preferences &prefs)
{
    Words w;
    QString error;
    if (!split(args, {}, {QStringLiteral("--json")}, w, error) || !w.positional.isEmpty())
        return usage(error.isEmpty() ? QStringLiteral("list takes no arguments") : error);
    QJsonArray all;
    for (const QString &key : SourcesList::allSourceKeys(prefs))
        all.append(describe(key, prefs));
    if (w.switches.contains(QStringLiteral("--json"))) {
        printOut(QJsonDocument(all).toJson(QJsonDocument::Indented));
        return 0;
    }
    if (all.isEmpty())
        printOut(QStringLiteral("No sources. Add one with `tarnwick sources add-folder PATH` or "
                                "`tarnwick sources add-account EMAIL`.\n"));
    for (const QJsonValue &v : all)
        printOut(asText(v.toObject()));
    return 0;
}

// A destination given with --dest or set-dest: checked before anything is stored.
bool checkFolder(const QString &dir, QString &error)
{
    const QFileInfo info(dir);
    if (!info.exists())
        error = QStringLiteral("%1: no such folder").arg(dir);
    else if (!info.isDir())
        error = QStringLiteral("%1: not a folder").arg(dir);
    return error.isEmpty();
}

int setDestination(const QString &key, const QString &dir, Preferences &prefs)
{
    if (!SourcesList::setOwnDestination(key, absoluteClean(dir), prefs))
        return fail(QStringLiteral("%1: the folder cannot be remembered (see the log)").arg(dir));
    printOut(QStringLiteral("%1: destination %2\n").arg(key, SourcesList::destinationDisplay(key, prefs).text));
    return 0;
}

int addFolder(const QStringList &args, Preferences &prefs)
{
    Words w;
    QString error;
    if (!split(args, {QStringLiteral("--dest")}, {}, w, error))
        return usage(error);
    if (w.positional.size() != 1)
        return usage(QStringLiteral("add-folder takes one folder"));
    const QString path = absoluteClean(w.positional[0]);
    if (!checkFolder(path, error))
        return fail(error);
    const QString dest = w.options.value(QStringLiteral("--dest"));
    if (!dest.isEmpty() && !checkFolder(dest, error))
        return fail(error);
    const bool existed = SourcesList::folderItems(prefs).contains(path);
    SourcesList::addSourcePathToPrefs(path, prefs);
    printOut(existed ? QStringLiteral("%1 is already a source\n").arg(path)
                     : QStringLiteral("Added folder %1\n").arg(path));
    if (!dest.isEmpty())
        return setDestination(path, dest, prefs);
    return 0;
}

// Signs in with Google through the browser and stores the account as the account pane
// does: sign-in kind, token name, the address in "EmailAccounts" with no server string;
// the authorization in the password store.
int addGoogleAccount(const QString &email, const QString &dest, Preferences &prefs)
{
    QString error;
    if (!dest.isEmpty() && !checkFolder(dest, error))
        return fail(error);
    const GTMOAuth2Configuration config = GTMOAuth2Configuration::fromPreferences(prefs);
    if (!config.hasClientID())
        return fail(GTMOAuth2Configuration::missingClientIDExplanation());
    const QString name = AccountSetup::newKeyChainID();
    GTMOAuth2Authentication auth;
    auth.clientID = config.clientID;
    auth.clientSecret = config.clientSecret;
    auth.tokenURL = config.tokenURL;
    auth.serviceProvider = kGTMOAuth2ServiceProviderGoogle;
    auth.setParam(QStringLiteral("serviceProvider"), kGTMOAuth2ServiceProviderGoogle);
    auth.keychainItemName = name;
    GTMOAuth2SignIn signIn(&auth, config.authorizationURL, config.scope, config.userInfoURL);
    signIn.setKeepSignedIn(true, &prefs);
    QEventLoop loop;
    GTMOAuth2Error result;
    const bool started = signIn.startSigningIn(
        [&email](const QUrl &url) {
            printOut(QStringLiteral("To sign in to Google as %1, open this address in a web browser on this "
                                    "computer:\n\n  %2\n\nWaiting for the browser to come back to Tarnwick "
                                    "(Ctrl-C gives up)...\n")
                         .arg(email, QString::fromUtf8(url.toEncoded())));
            // Whoever reads this through a pipe needs the address now, not at exit.
            std::fflush(stdout);
        },
        [&](GTMOAuth2Authentication *, const GTMOAuth2Error &e) {
            result = e;
            loop.quit();
        },
        &result);
    if (!started)
        return fail(result.description);
    loop.exec();
    if (result.isError())
        return fail(QStringLiteral("the Google sign-in failed: %1").arg(result.description));
    // Signed in as someone else: storing it under this address would archive the wrong
    // mailbox, or fail every run.
    if (!auth.userEmail().isEmpty() && auth.userEmail().compare(email, Qt::CaseInsensitive) != 0) {
        GTMOAuth2Authentication::removeAuthFromKeychainForName(name, prefs);
        return fail(QStringLiteral("the browser signed in as %1, not %2; the account was not added")
                        .arg(auth.userEmail(), email));
    }
    if (!prefs.boolForKey(GTMOAuth2Authentication::preferenceMarkerKey(name)))
        return fail(QStringLiteral("the sign-in could not be kept in the password store: ") + kNoStore);
    const QString oldName = prefs.stringForKey(PreferenceRegister::googleOAuthKeyKey(email));
    if (!oldName.isEmpty() && oldName != name)
        GTMOAuth2Authentication::removeAuthFromKeychainForName(oldName, prefs);
    const bool existed = SourcesList::isAccount(email, prefs);
    AccountSetup::setAuthSystem(AccountSetup::kauthGoogleOAuth(), email, prefs);
    AccountSetup::setKeyChainID(name, email, prefs);
    AccountSetup::setPrefsEmailAddress(email, std::nullopt, std::nullopt, prefs, FXKeychain::defaultKeychain());
    // A password kept from the account's password days would be a secret with no use.
    FXKeychain &keychain = FXKeychain::defaultKeychain();
    if (keychain.itemData(PreferenceRegister::passwordKey(email)))
        keychain.removeObjectForKey(PreferenceRegister::passwordKey(email));
    printOut(QStringLiteral("%1 Google account %2 (signed in; the authorization is in the password store)\n")
                 .arg(existed ? QStringLiteral("Updated") : QStringLiteral("Added"), email));
    if (!dest.isEmpty())
        return setDestination(email, dest, prefs);
    return 0;
}

int addAccount(const QStringList &args, Preferences &prefs)
{
    Words w;
    QString error;
    if (!split(args, {QStringLiteral("--server"), QStringLiteral("--dest")},
               {QStringLiteral("--password-stdin"), QStringLiteral("--google")}, w, error))
        return usage(error);
    if (w.positional.size() != 1)
        return usage(QStringLiteral("add-account takes one e-mail address"));
    const QString email = w.positional[0].trimmed();
    if (email.size() < 5 || !email.contains(QLatin1Char('@')) || email.contains(QLatin1Char('/')))
        return fail(QStringLiteral("'%1' is not an e-mail address").arg(email));
    if (w.switches.contains(QStringLiteral("--google"))) {
        if (w.options.contains(QStringLiteral("--server")) || w.switches.contains(QStringLiteral("--password-stdin")))
            return usage(QStringLiteral("a Google account has no server or password of its own"));
        return addGoogleAccount(email, w.options.value(QStringLiteral("--dest")), prefs);
    }
    QString server = w.options.value(QStringLiteral("--server")).trimmed();
    if (server.isEmpty())
        server = LookupServer::lookupServer(email);
    if (server.isEmpty())
        return fail(QStringLiteral("no IMAP server is known for %1: give one with --server HOST[:PORT[:SECURITY]]")
                        .arg(email.mid(email.lastIndexOf(QLatin1Char('@')) + 1)));
    if (server.size() < 4)
        return fail(QStringLiteral("'%1' is not a server").arg(server));
    const QString dest = w.options.value(QStringLiteral("--dest"));
    if (!dest.isEmpty() && !checkFolder(dest, error))
        return fail(error);

    std::optional<QString> password;
    if (w.switches.contains(QStringLiteral("--password-stdin")))
        password = PasswordInput::readStandardInput();
    else if (PasswordInput::standardInputIsTerminal())
        password = PasswordInput::promptOnTerminal(QStringLiteral("Password for %1: ").arg(email));
    else
        return fail(QStringLiteral("standard input is not a terminal: give the password on standard input with "
                                   "--password-stdin"));
    if (!password || password->size() < 3)
        return fail(QStringLiteral("no password given (at least 3 characters)"));

    const bool existed = SourcesList::isAccount(email, prefs);
    long status = FXKeychain::Success;
    const bool saved = AccountSetup::setPrefsEmailAddress(email, server, password, prefs,
                                                          FXKeychain::defaultKeychain(), &status);
    password->fill(QLatin1Char('\0'));
    if (!saved) {
        if (FXKeychain::isUnreachable(status))
            return fail(kNoStore);
        return fail(QStringLiteral("the password could not be stored (status %1); the account was not added")
                        .arg(status));
    }
    // Adding an account that signed in with Google before turns it into a password account.
    if (AccountSetup::authSystem(email, prefs) != AccountSetup::kauthUserPass())
        AccountSetup::setAuthSystem(AccountSetup::kauthUserPass(), email, prefs);
    const IMAPServer parsed = AccountSetup::serverFromString(server);
    const char *security = parsed.connectionType == IMAPServer::Clear      ? "no encryption"
                           : parsed.connectionType == IMAPServer::StartTLS ? "STARTTLS"
                                                                           : "TLS";
    printOut(QStringLiteral("%1 account %2 (server %3, port %4, %5; password in the password store)\n")
                 .arg(existed ? QStringLiteral("Updated") : QStringLiteral("Added"), email, parsed.host)
                 .arg(parsed.port)
                 .arg(QLatin1String(security)));
    if (!dest.isEmpty())
        return setDestination(email, dest, prefs);
    return 0;
}

int remove(const QStringList &args, Preferences &prefs)
{
    if (args.size() != 1)
        return usage(QStringLiteral("remove takes one source"));
    const QString key = sourceKeyFor(args[0], prefs);
    if (key.isEmpty())
        return fail(QStringLiteral("%1 is not a source").arg(args[0]));
    if (SourcesList::isAccount(key, prefs)) {
        long status = FXKeychain::Success;
        if (!AccountSetup::removeAccount(key, prefs, FXKeychain::defaultKeychain(), &status)) {
            const QString why = FXKeychain::isUnreachable(status) ? kNoStore
                                                                  : QStringLiteral("status %1").arg(status);
            return fail(QStringLiteral("the account's password could not be removed (%1); the account is kept so "
                                       "that its password is not left behind")
                            .arg(why));
        }
        printOut(status == FXKeychain::ItemNotFound
                     ? QStringLiteral("Removed account %1 (it had no stored password)\n").arg(key)
                     : QStringLiteral("Removed account %1 and its password\n").arg(key));
        return 0;
    }
    SourcesList::removeSourcePathFromPrefs(key, prefs);
    printOut(QStringLiteral("Removed folder %1\n").arg(key));
    return 0;
}

int setDest(const QStringList &args, Preferences &prefs)
{
    if (args.size() != 2)
        return usage(QStringLiteral("set-dest takes a source and a folder (or --default)"));
    const QString key = sourceKeyFor(args[0], prefs);
    if (key.isEmpty())
        return fail(QStringLiteral("%1 is not a source").arg(args[0]));
    if (args[1] == QLatin1String("--default")) {
        SourcesList::removeOwnDestination(key, prefs);
        printOut(QStringLiteral("%1: destination %2\n").arg(key, SourcesList::destinationDisplay(key, prefs).text));
        return 0;
    }
    QString error;
    if (!checkFolder(args[1], error))
        return fail(error);
    return setDestination(key, args[1], prefs);
}

int setFormat(const QStringList &args, Preferences &prefs)
{
    if (args.size() != 3)
        return usage(QStringLiteral("set-format takes a source, a kind (pdf, attachment or eml) and a format"));
    const QString key = sourceKeyFor(args[0], prefs);
    if (key.isEmpty())
        return fail(QStringLiteral("%1 is not a source").arg(args[0]));
    const QString kind = args[1], format = args[2];
    if (format == QLatin1String("--default") && PathFormatCheck::isKind(kind)) {
        CustomPath::clearFormat(kind, key);
        printOut(QStringLiteral("%1: %2 format %3 (inherited)\n").arg(key, kind, CustomPath::getFormat(kind, key)));
        return 0;
    }
    const QString reason = PathFormatCheck::rejectionReason(kind, format);
    if (!reason.isEmpty())
        return fail(QStringLiteral("format refused: %1").arg(reason));
    CustomPath::setFormat(kind, key, format);
    const QString effective = CustomPath::getFormat(kind, key);
    const QString preview = effective.size() < 5 ? QStringLiteral("(no %1 output)").arg(kind)
                                                 : CustomPath::getExample(effective);
    printOut(QStringLiteral("%1: %2 format %3\n  preview: %4\n").arg(key, kind, effective, preview));
    return 0;
}

} // namespace

namespace SourcesCommand {

int run(const QStringList &argsIn)
{
    QStringList args = argsIn;
    QString command;
    if (const std::optional<int> status = CommandGroup::takeCommand(args, kUsage, usage, command))
        return *status;
    Preferences &prefs = Preferences::shared();
    if (command == QLatin1String("list")) {
        if (args.contains(QStringLiteral("--json")))
            Log::setEchoToStderr(false);
        return list(args, prefs);
    }
    if (command == QLatin1String("add-folder"))
        return addFolder(args, prefs);
    if (command == QLatin1String("add-account"))
        return addAccount(args, prefs);
    if (command == QLatin1String("remove"))
        return remove(args, prefs);
    if (command == QLatin1String("set-dest"))
        return setDest(args, prefs);
    if (command == QLatin1String("set-format"))
        return setFormat(args, prefs);
    if (command == QLatin1String("folders") || command == QLatin1String("trust")) {
        if (args.isEmpty())
            return usage(QStringLiteral("%1 takes an account's e-mail address").arg(command));
        const QString email = args.takeFirst();
        if (!SourcesList::isAccount(email, prefs))
            return fail(QStringLiteral("%1 is not an account").arg(email));
        if (args.contains(QStringLiteral("--json")))
            Log::setEchoToStderr(false);
        return command == QLatin1String("folders") ? IMAPCommands::folders(email, args, prefs)
                                                   : IMAPCommands::trust(email, args, prefs);
    }
    return usage(QStringLiteral("unknown command '%1'").arg(command));
}

} // namespace SourcesCommand
