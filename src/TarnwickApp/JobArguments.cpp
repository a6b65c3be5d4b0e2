#include "TarnwickApp/JobArguments.h"

#include "AppSandbox/FolderAccess.h"
#include "CustomPaths/CustomPath.h"
#include "Settings/Preferences.h"

#include <QDir>
#include <QFileInfo>

bool JobArguments::parse(const QStringList &args, const QSet<QString> &switches, QString &error)
{
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString &a = args[i];
        auto takeValue = [&](QString &into) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("option %1 needs a value").arg(a);
                return false;
            }
            into = args[++i];
            return true;
        };
        if (a == QLatin1String("--dest")) {
            if (!takeValue(dest))
                return false;
        } else if (a == QLatin1String("--pdf-format")) {
            if (!takeValue(pdfFormat))
                return false;
        } else if (a == QLatin1String("--attachment-format")) {
            if (!takeValue(attachmentFormat))
                return false;
        } else if (a == QLatin1String("--eml-format")) {
            if (!takeValue(emlFormat))
                return false;
        } else if (a == QLatin1String("--engines")) {
            QString value;
            if (!takeValue(value))
                return false;
            bool ok = false;
            engines = value.toInt(&ok);
            if (!ok || engines < 1 || engines > 128) {
                error = QStringLiteral("--engines takes a number from 1 to 128, not '%1'").arg(value);
                return false;
            }
        } else if (switches.contains(a)) {
            flags.insert(a);
        } else if (a == QLatin1String("--")) {
            paths += args.mid(i + 1);
            break;
        } else if (a.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else {
            paths.append(a);
        }
    }
    if (paths.isEmpty()) {
        error = QStringLiteral("no message files given");
        return false;
    }
    return true;
}

JobOptions JobArguments::jobOptions() const
{
    Preferences &prefs = Preferences::shared();
    const QString general = CustomPath::generalAccount();
    JobOptions options;
    QString root = dest;
    if (root.isEmpty())
        root = FolderAccess::destinationDirectory(false, prefs);
    if (!root.isEmpty())
        options[JobKey::destFolder] = QDir::cleanPath(QDir(root).absolutePath());
    options[JobKey::pdfFormat] = pdfFormat.isNull() ? CustomPath::getPathFormat(general) : pdfFormat;
    options[JobKey::attachmentFormat] =
        attachmentFormat.isNull() ? CustomPath::getAttachmentFormat(general) : attachmentFormat;
    options[JobKey::emlFormat] = emlFormat.isNull() ? CustomPath::getEMLFormat(general) : emlFormat;
    options[JobKey::windowsFilenames] = prefs.boolForKey(QStringLiteral("useWindowsFriendlyFilenames"));
    options[JobKey::tinyHeaders] = prefs.boolForKey(QStringLiteral("includeTinyHeaderText"));
    QStringList absolute;
    for (const QString &path : paths)
        absolute.append(QDir::cleanPath(QFileInfo(path).absoluteFilePath())); // "Mail/" and "Mail" alike
    options[JobKey::emlFiles] = absolute;
    const int engines = this->engines > 0 ? this->engines : int(prefs.integerForKey(QStringLiteral("renderEnginesPerJob")));
    if (engines > 0)
        options[JobKey::renderEngines] = engines;
    return options;
}

QString JobArguments::jobNameFor(const JobOptions &options)
{
    QString root = options.value(JobKey::destFolderOverride).toString();
    if (root.isEmpty())
        root = options.value(JobKey::destFolder).toString();
    return QStringLiteral("%1 EML files to %2")
        .arg(options.value(JobKey::emlFiles).toStringList().size())
        .arg(QFileInfo(root).fileName());
}
