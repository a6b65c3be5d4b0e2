#include "TarnwickApp/IMAPCommands.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "TarnwickApp/PasswordInput.h"

#include "MailCoreGTM/FXKeychain.h"
#include "RenderEngine/AccountJobOptions.h"
#include "RenderEngine/RenderTool.h"
#include "Settings/AccountOAuth.h"
#include "Settings/AccountSetup.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "mailadapter/MCOIMAPMailboxName.h"

#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTextStream>

#include <memory>

namespace IMAPCommands {

namespace {

constexpr int kFailed = 2;

int fail(const QString &message)
{
    printErr(QStringLiteral("tarnwick sources: %1\n").arg(message));
    return kFailed;
}

} // namespace

bool withGoogleToken(JobOptions &options, QString &error)
{
    if (options.value(JobKey::authSystem).toString() != AccountSetup::kauthGoogleOAuth())
        return true;
    options[JobKey::accessToken] =
        AccountOAuth::shared().waitForAccessToken(options.value(JobKey::emailUsername).toString(), &error);
    return !options.value(JobKey::accessToken).toString().isEmpty();
}

MCOIMAPResult run(MCOIMAPOperation *operation)
{
    MCOIMAPResult out;
    QEventLoop loop;
    operation->start([&](const MCOIMAPResult &result) {
        out = result;
        loop.quit();
    });
    loop.exec();
    return out;
}

int folders(const QString &email, const QStringList &args, Preferences &prefs)
{
    bool json = false;
    QStringList off, on;
    QStringList *collecting = nullptr;
    for (const QString &a : args) {
        if (a == QLatin1String("--json"))
            json = true;
        else if (a == QLatin1String("--off"))
            collecting = &off;
        else if (a == QLatin1String("--on"))
            collecting = &on;
        else if (collecting)
            collecting->append(a);
        else
            return fail(QStringLiteral("folders: unexpected argument '%1' (paths follow --off or --on)").arg(a));
    }
    const QString skipKey = PreferenceRegister::ignoreFoldersKey(email);
    if (!off.isEmpty() || !on.isEmpty()) {
        // The server's own names are stored, as LIST gives them; nothing is asked of the
        // server, so folders can be switched while it is out of reach.
        QStringList skipped = prefs.stringListForKey(skipKey);
        for (const QString &path : std::as_const(off)) {
            if (!skipped.contains(path))
                skipped.append(path);
        }
        for (const QString &path : std::as_const(on))
            skipped.removeAll(path);
        prefs.setValue(skipKey, skipped);
        printOut(QStringLiteral("%1: switched off: %2\n")
                     .arg(email, skipped.isEmpty() ? QStringLiteral("(none)") : skipped.join(QStringLiteral(", "))));
        return 0;
    }
    QString error;
    std::optional<JobOptions> options =
        AccountJobOptions::connectionOptions(email, prefs, FXKeychain::defaultKeychain(), &error);
    if (!options || !withGoogleToken(*options, error))
        return fail(error);
    std::unique_ptr<MCOIMAPSession> session(RenderTool::sessionForOptions(*options, nullptr));
    const MCOIMAPResult result = run(session->fetchAllFoldersOperation());
    if (result.error.isError())
        return fail(QStringLiteral("%1: %2").arg(email, result.error.description));
    const QStringList skipped = prefs.stringListForKey(skipKey);
    QJsonArray all;
    QString text;
    for (const MCOIMAPFolder &folder : result.folders) {
        if (!folder.isSelectable())
            continue; // a parent without mail of its own: nothing to switch
        const bool isOn = !skipped.contains(folder.path);
        const QString name = MCOIMAPMailboxName::decodeModifiedUTF7(folder.path);
        QJsonObject o;
        o[QStringLiteral("path")] = folder.path;
        o[QStringLiteral("name")] = name;
        o[QStringLiteral("mailFolder")] = MCOIMAPMailboxName::mailFolderForPath(folder.path, folder.delimiter);
        o[QStringLiteral("on")] = isOn;
        all.append(o);
        text += QStringLiteral("%1  %2%3\n")
                    .arg(isOn ? QStringLiteral("on ") : QStringLiteral("off"), name,
                         name == folder.path ? QString() : QStringLiteral("  (%1)").arg(folder.path));
    }
    printOut(json ? QJsonDocument(all).toJson(QJsonDocument::Indented) : text.toUtf8());
    return 0;
}

int trust(const QString &email, const QStringList &args, Preferences &prefs)
{
    const bool yes = args.contains(QStringLiteral("--yes"));
    for (const QString &a : args) {
        if (a != QLatin1String("--yes"))
            return fail(QStringLiteral("trust: unexpected argument '%1'").arg(a));
    }
    QString error;
    std::optional<JobOptions> options =
        AccountJobOptions::connectionOptions(email, prefs, FXKeychain::defaultKeychain(), &error);
    if (!options)
        return fail(error);
    std::unique_ptr<MCOIMAPSession> session(RenderTool::sessionForOptions(*options, nullptr));
    // Only the certificate is fetched: no password goes to a server not trusted yet.
    const MCOIMAPResult result = run(session->fetchCertificateOperation());
    if (result.error.isError())
        return fail(QStringLiteral("%1: %2").arg(email, result.error.description));
    const QString seen = QString::fromLatin1(result.data);
    const QString pinKey = PreferenceRegister::certificatePinKey(email);
    const QString stored = prefs.stringForKey(pinKey);
    printOut(QStringLiteral("Certificate of %1 port %2:\n  SHA-256 %3\nStored for %4:\n  %5\n")
                 .arg(session->hostname())
                 .arg(session->settings().port)
                 .arg(seen, email, stored.isEmpty() ? QStringLiteral("(none)") : QStringLiteral("SHA-256 ") + stored));
    if (stored == seen) {
        printOut(QStringLiteral("This certificate is already the trusted one.\n"));
        return 0;
    }
    if (!yes) {
        if (!PasswordInput::standardInputIsTerminal())
            return fail(QStringLiteral("compare the fingerprint with the one your provider publishes, then run again "
                                       "with --yes to trust it"));
        printErr(QStringLiteral("Trust this certificate for %1? [y/N] ").arg(email));
        QTextStream in(stdin);
        const QString answer = in.readLine().trimmed().toLower();
        if (answer != QLatin1String("y") && answer != QLatin1String("yes"))
            return fail(QStringLiteral("not trusted; nothing changed"));
    }
    prefs.setValue(pinKey, seen);
    printOut(QStringLiteral("%1: trusting the certificate SHA-256 %2\n").arg(email, seen));
    return 0;
}

} // namespace IMAPCommands
