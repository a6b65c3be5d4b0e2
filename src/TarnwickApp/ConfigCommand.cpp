#include "TarnwickApp/ConfigCommand.h"
#include "TarnwickApp/CommandGroup.h"
#include "TarnwickApp/ConsoleOutput.h"

#include "AppSandbox/FolderAccess.h"
#include "AppSandbox/URLBookmarkInPrefs.h"
#include "CustomPaths/CustomPath.h"
#include "CustomPaths/PathFormatCheck.h"
#include "Settings/PreferenceRegister.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"

#include <QDir>
#include <QFileInfo>

namespace {

const char *kUsage =
    "Usage: tarnwick config <command> [--verbose]\n"
    "  list                      the general settings and their values\n"
    "  get KEY                   one setting's value (its default when not set)\n"
    "  set KEY VALUE             store a general setting (typed: true/false, numbers, text)\n"
    "  unset KEY                 remove a general setting; its default applies again\n"
    "  set-destination DIR       the main destination folder of every source\n";

constexpr int kRefused = 2;

int refuse(const QString &message)
{
    printErr(QStringLiteral("tarnwick config: %1\n").arg(message));
    return kRefused;
}

int usage(const QString &message)
{
    printErr(QStringLiteral("tarnwick config: %1\n").arg(message) + QString::fromLatin1(kUsage));
    return kRefused;
}

// "Generalpdf" → "pdf": the general level's path formats go through the format engine.
QString formatKindOf(const QString &key)
{
    const QString general = CustomPath::generalAccount();
    if (!key.startsWith(general))
        return QString();
    const QString kind = key.mid(general.size());
    return PathFormatCheck::isKind(kind) ? kind : QString();
}

QString displayValue(const PreferenceRegister::Entry &e, Preferences &prefs)
{
    using Type = PreferenceRegister::Type;
    if (const QString kind = formatKindOf(e.key); !kind.isEmpty())
        return CustomPath::getFormat(kind, CustomPath::generalAccount());
    switch (e.type) {
    case Type::Boolean: return prefs.boolForKey(e.key) ? QStringLiteral("true") : QStringLiteral("false");
    case Type::Integer: return QString::number(prefs.integerForKey(e.key));
    case Type::Floating: return QString::number(prefs.doubleForKey(e.key));
    case Type::StringList: return prefs.stringListForKey(e.key).join(QLatin1Char('\n'));
    case Type::Date: {
        const QDateTime d = prefs.dateForKey(e.key);
        return d.isValid() ? d.toUTC().toString(Qt::ISODate) : QString();
    }
    case Type::BookmarkPair: return URLBookmarkInPrefs::URLFromPrefsForKey(e.key, prefs);
    case Type::Data: return QString::fromLatin1(prefs.dataForKey(e.key).toBase64());
    default: return prefs.stringForKey(e.key);
    }
}

const PreferenceRegister::Entry *knownKey(const QString &key, QString &error)
{
    const auto *e = PreferenceRegister::globalEntry(key);
    if (!e)
        error = QStringLiteral("unknown key '%1' (`tarnwick config list` shows the general keys)").arg(key);
    return e;
}

QString notGeneral(const PreferenceRegister::Entry &e)
{
    if (e.key == QLatin1String("EmailAccounts") || e.key == QLatin1String("FolderItems"))
        return QStringLiteral("%1 is kept by `tarnwick sources`").arg(e.key);
    if (e.key == FolderAccess::destinationKey())
        return QStringLiteral("the main destination is set with `tarnwick config set-destination DIR`");
    return QStringLiteral("%1 is kept by the program itself and is not set by hand").arg(e.key);
}

int list(Preferences &prefs)
{
    for (const auto &e : PreferenceRegister::globalKeys())
        if (e.general)
            printOut(QStringLiteral("%1 = %2\n").arg(e.key, displayValue(e, prefs)));
    printOut(QStringLiteral("destination = %1\n").arg(FolderAccess::destinationDirectory(false, prefs)));
    return 0;
}

int set(const QStringList &args, Preferences &prefs)
{
    if (args.size() != 2)
        return usage(QStringLiteral("set takes a key and a value"));
    QString error;
    const auto *e = knownKey(args[0], error);
    if (!e)
        return refuse(error);
    if (!e->general)
        return refuse(notGeneral(*e));
    if (const QString kind = formatKindOf(e->key); !kind.isEmpty()) {
        const QString reason = PathFormatCheck::rejectionReason(kind, args[1]);
        if (!reason.isEmpty())
            return refuse(QStringLiteral("format refused: %1").arg(reason));
        CustomPath::setFormat(kind, CustomPath::generalAccount(), args[1]);
        const QString f = CustomPath::getFormat(kind, CustomPath::generalAccount());
        printOut(QStringLiteral("%1 = %2\n  preview: %3\n")
                     .arg(e->key, f, f.size() < 5 ? QStringLiteral("(no %1 output)").arg(kind) : CustomPath::getExample(f)));
        return 0;
    }
    const auto value = PreferenceRegister::parseGeneralValue(*e, args[1], &error);
    if (!value)
        return refuse(error);
    prefs.setValue(e->key, *value);
    printOut(QStringLiteral("%1 = %2\n").arg(e->key, displayValue(*e, prefs)));
    return 0;
}

int setDestination(const QStringList &args, Preferences &prefs)
{
    if (args.size() != 1)
        return usage(QStringLiteral("set-destination takes one folder"));
    const QFileInfo info(args[0]);
    if (!info.isDir())
        return refuse(QStringLiteral("%1: %2").arg(args[0], info.exists() ? QStringLiteral("not a folder")
                                                                          : QStringLiteral("no such folder")));
    const QString path = QDir::cleanPath(info.absoluteFilePath());
    if (!FolderAccess::setDestinationDirectory(path, prefs))
        return refuse(QStringLiteral("%1: the folder cannot be remembered (see the log)").arg(path));
    printOut(QStringLiteral("destination = %1\n").arg(FolderAccess::destinationDirectory(false, prefs)));
    return 0;
}

} // namespace

namespace ConfigCommand {

int run(const QStringList &argsIn)
{
    QStringList args = argsIn;
    QString command;
    if (const std::optional<int> status = CommandGroup::takeCommand(args, kUsage, usage, command))
        return *status;
    Preferences &prefs = Preferences::shared();
    if (command == QLatin1String("list"))
        return args.isEmpty() ? list(prefs) : usage(QStringLiteral("list takes no arguments"));
    if (command == QLatin1String("get") || command == QLatin1String("unset")) {
        if (args.size() != 1)
            return usage(QStringLiteral("%1 takes one key").arg(command));
        QString error;
        const auto *e = knownKey(args[0], error);
        if (!e)
            return refuse(error);
        if (command == QLatin1String("get")) {
            printOut(displayValue(*e, prefs) + QLatin1Char('\n'));
            return 0;
        }
        if (!e->general)
            return refuse(notGeneral(*e));
        prefs.removeObjectForKey(e->key);
        printOut(QStringLiteral("%1 = %2\n").arg(e->key, displayValue(*e, prefs)));
        return 0;
    }
    if (command == QLatin1String("set"))
        return set(args, prefs);
    if (command == QLatin1String("set-destination"))
        return setDestination(args, prefs);
    return usage(QStringLiteral("unknown command '%1'").arg(command));
}

} // namespace ConfigCommand
