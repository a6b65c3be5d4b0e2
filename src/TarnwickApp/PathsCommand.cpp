#include "TarnwickApp/PathsCommand.h"

#include "CustomPaths/CustomPath.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RenderTool.h"
#include "Settings/Preferences.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <cstdio>

namespace {

struct Request {
    QString dest;
    QString pdfFormat, attachmentFormat, emlFormat;
    bool json = false;
    QStringList files;
};

void printErr(const QString &text) { std::fputs(text.toUtf8().constData(), stderr); }
void printOut(const QByteArray &utf8) { std::fwrite(utf8.constData(), 1, size_t(utf8.size()), stdout); }

const char *kUsage =
    "Usage: tarnwick paths [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] [--json] PATH...\n"
    "PATH: .eml, .emlx and mbox files, and folders holding them.\n";

// Parses the options; an error message in `error` and false on bad usage.
bool parseArgs(const QStringList &args, Request &req, QString &error)
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
            if (!takeValue(req.dest))
                return false;
        } else if (a == QLatin1String("--pdf-format")) {
            if (!takeValue(req.pdfFormat))
                return false;
        } else if (a == QLatin1String("--attachment-format")) {
            if (!takeValue(req.attachmentFormat))
                return false;
        } else if (a == QLatin1String("--eml-format")) {
            if (!takeValue(req.emlFormat))
                return false;
        } else if (a == QLatin1String("--json")) {
            req.json = true;
        } else if (a == QLatin1String("--")) {
            req.files += args.mid(i + 1);
            break;
        } else if (a.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else {
            req.files.append(a);
        }
    }
    if (req.files.isEmpty()) {
        error = QStringLiteral("no message files given");
        return false;
    }
    return true;
}

JobOptions jobOptionsFor(const Request &req)
{
    Preferences &prefs = Preferences::shared();
    const QString general = CustomPath::generalAccount();
    JobOptions options;
    QString dest = req.dest;
    if (dest.isEmpty())
        dest = prefs.stringForKey(QStringLiteral("destBookmarkURL"));
    if (!dest.isEmpty())
        options[JobKey::destFolder] = QDir(dest).absolutePath();
    options[JobKey::pdfFormat] = req.pdfFormat.isNull() ? CustomPath::getPathFormat(general) : req.pdfFormat;
    options[JobKey::attachmentFormat] =
        req.attachmentFormat.isNull() ? CustomPath::getAttachmentFormat(general) : req.attachmentFormat;
    options[JobKey::emlFormat] = req.emlFormat.isNull() ? CustomPath::getEMLFormat(general) : req.emlFormat;
    options[JobKey::windowsFilenames] = prefs.boolForKey(QStringLiteral("useWindowsFriendlyFilenames"));
    return options;
}

QJsonValue pathOrNull(const QString &path) { return path.isEmpty() ? QJsonValue() : QJsonValue(path); }

QJsonObject describe(const QString &file, const QString &mainFolder, const QString &mailFolder,
                     const JobOptions &options)
{
    QJsonObject out;
    out[QStringLiteral("source")] = file;
    out[QStringLiteral("mailFolder")] = mailFolder;
    QString mailapp;
    const auto message = RenderTool::makeMCOMessage(file, &mailapp);
    out[QStringLiteral("mailappAttachments")] = pathOrNull(mailapp);
    if (!message) {
        // What a job does too: such a file is skipped, nothing is made for it.
        out[QStringLiteral("error")] = QStringLiteral("Email could not be made");
        for (const char *key : {"subject", "date", "pdf", "eml"})
            out[QLatin1String(key)] = QJsonValue();
        out[QStringLiteral("attachments")] = QJsonArray();
        return out;
    }
    const QDateTime date = MessageToHTMLToPDF::dateFromMailCoreHeaderAndFixTheHeaderToo(message->header());
    out[QStringLiteral("subject")] = message->header().subject().isNull() ? QJsonValue()
                                                                           : QJsonValue(message->header().subject());
    out[QStringLiteral("date")] = date.isValid()
        ? QJsonValue(date.toUTC().toString(Qt::ISODate))
        : QJsonValue();
    const auto dest = [&](const QString &key, const QString &fileName) {
        return MessageToHTMLToPDF::destinationPath(*message, mainFolder, mailFolder, key, fileName, options,
                                                   MessageToHTMLToPDF::FolderCreation::No);
    };
    out[QStringLiteral("pdf")] = pathOrNull(dest(JobKey::pdfFormat, QString()));
    out[QStringLiteral("eml")] = pathOrNull(dest(JobKey::emlFormat, QString()));
    QJsonArray attachments;
    for (const QString &name : MessageToHTMLToPDF::attachmentFileNames(*message)) {
        const QString path = dest(JobKey::attachmentFormat, name);
        if (!path.isEmpty())
            attachments.append(path);
    }
    out[QStringLiteral("attachments")] = attachments;
    return out;
}

QString asText(const QJsonObject &o)
{
    auto field = [&](const char *key) {
        const QJsonValue v = o.value(QLatin1String(key));
        return v.isNull() || v.isUndefined() ? QStringLiteral("(none)") : v.toString();
    };
    QString text = QStringLiteral("%1\n").arg(o.value(QStringLiteral("source")).toString());
    if (o.contains(QStringLiteral("error")))
        return text + QStringLiteral("  error:      %1\n").arg(field("error"));
    text += QStringLiteral("  subject:    %1\n").arg(field("subject"));
    text += QStringLiteral("  date:       %1\n").arg(field("date"));
    text += QStringLiteral("  pdf:        %1\n").arg(field("pdf"));
    text += QStringLiteral("  eml:        %1\n").arg(field("eml"));
    if (!o.value(QStringLiteral("mailappAttachments")).isNull())
        text += QStringLiteral("  Mail attachments folder: %1\n").arg(field("mailappAttachments"));
    for (const QJsonValue &a : o.value(QStringLiteral("attachments")).toArray())
        text += QStringLiteral("  attachment: %1\n").arg(a.toString());
    return text;
}

} // namespace

namespace PathsCommand {

int run(const QStringList &args)
{
    if (args.contains(QStringLiteral("--help"))) {
        printOut(kUsage);
        return 0;
    }
    Request req;
    QString error;
    if (!parseArgs(args, req, error)) {
        printErr(QStringLiteral("tarnwick paths: %1\n").arg(error) + QString::fromLatin1(kUsage));
        return 1;
    }
    if (req.json)
        Log::setEchoToStderr(false);

    QStringList inputs;
    int missing = 0;
    for (const QString &f : req.files) {
        const QFileInfo info(f);
        if (!info.exists()) {
            printErr(QStringLiteral("tarnwick paths: %1: no such file or folder\n").arg(f));
            ++missing;
            continue;
        }
        const QString ext = info.suffix().toLower();
        if (info.isFile() && ext != QLatin1String("eml") && ext != QLatin1String("emlx") && ext != QLatin1String("mbox") &&
            info.fileName().toLower() != QLatin1String("mbox"))
            printErr(QStringLiteral("tarnwick paths: %1: not an .eml, .emlx or mbox file, skipped\n").arg(f));
        inputs.append(QDir::cleanPath(info.absoluteFilePath())); // "Mail/" and "Mail" alike
    }
    const JobOptions options = jobOptionsFor(req);
    // The same scan and placement as a job over files dropped on the application. The
    // scan cuts mbox files into private pieces in the temporary folder; the archive
    // itself is not touched.
    QStringList emlxs;
    const QStringList emls = RenderTool::explodeFilesAndFolders(inputs, &emlxs);
    const QStringList messages = RenderTool::renderList(emls, emlxs);
    const QString base = RenderTool::commonAncestorEMLPaths(inputs);
    const QString mainFolder = RenderTool::mainFolderForBasePath(base);
    const QString destination = options.value(JobKey::destFolder).toString();
    const QString jobName =
        QStringLiteral("%1 EML files to %2").arg(inputs.size()).arg(QFileInfo(destination).fileName());

    QJsonArray all;
    for (const QString &file : messages) {
        const QJsonObject o = describe(file, mainFolder, RenderTool::emlSubFolder(file, base, jobName), options);
        if (o.contains(QStringLiteral("error")))
            printErr(QStringLiteral("tarnwick paths: %1: %2\n").arg(file, o.value(QStringLiteral("error")).toString()));
        if (req.json)
            all.append(o);
        else
            printOut(asText(o).toUtf8());
    }
    if (req.json)
        printOut(QJsonDocument(all).toJson(QJsonDocument::Indented));
    return missing ? 1 : 0;
}

} // namespace PathsCommand
