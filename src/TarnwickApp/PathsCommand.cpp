#include "TarnwickApp/PathsCommand.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "TarnwickApp/JobArguments.h"

#include "RenderEngine/MessageToHTMLToPDF.h"
#include "Utils/Log.h"
#include "mailadapter/MCOMessageParser.h"
#include "localmail/LocalMailFiles.h"
#include "localmail/MailStores.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <cstdio>

namespace {


const char *kUsage =
    "Usage: tarnwick paths [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] [--json] PATH...\n"
    "PATH: .eml, .emlx and mbox files, and folders holding them.\n";

QJsonValue pathOrNull(const QString &path) { return path.isEmpty() ? QJsonValue() : QJsonValue(path); }

QJsonObject describe(const QString &file, const QString &mainFolder, const QString &mailFolder,
                     const JobOptions &jobOptions, const std::shared_ptr<OutputClaims> &claims)
{
    QJsonObject out;
    out[QStringLiteral("source")] = file;
    out[QStringLiteral("mailFolder")] = mailFolder;
    QString mailapp;
    const auto message = LocalMailFiles::makeMCOMessage(file, &mailapp);
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
    // Placed as a job places it: an archived message's own outputs are found again, and
    // messages listed earlier count as archived at the paths they would take.
    MessageToHTMLToPDF placer(jobOptions);
    placer.setOutputClaims(claims);
    placer.setMainFolder(mainFolder);
    placer.setMailFolder(mailFolder);
    bool archived = false;
    const bool makesPdf = jobOptions.value(JobKey::pdfFormat).toString().size() >= 5;
    placer.setOutputIndex(
        placer.placeMessage(*message, makesPdf ? JobKey::pdfFormat : JobKey::emlFormat, &archived, false));
    const JobOptions &options = placer.options();
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
        printOut(QString::fromLatin1(kUsage));
        return 0;
    }
    JobArguments req;
    QString error;
    if (!req.parse(args, {QStringLiteral("--json")}, error)) {
        printErr(QStringLiteral("tarnwick paths: %1\n").arg(error) + QString::fromLatin1(kUsage));
        return 1;
    }
    const bool json = req.flags.contains(QStringLiteral("--json"));
    if (json)
        Log::setEchoToStderr(false);

    QStringList inputs;
    int missing = 0;
    for (const QString &f : req.paths) {
        const QFileInfo info(f);
        if (!info.exists()) {
            printErr(QStringLiteral("tarnwick paths: %1: no such file or folder\n").arg(f));
            ++missing;
            continue;
        }
        const QString ext = info.suffix().toLower();
        if (info.isFile() && ext != QLatin1String("eml") && ext != QLatin1String("emlx") && ext != QLatin1String("mbox") &&
            info.fileName().toLower() != QLatin1String("mbox") && !MailStores::looksLikeMboxFile(f))
            printErr(QStringLiteral("tarnwick paths: %1: not an .eml, .emlx or mbox file, skipped\n").arg(f));
        inputs.append(QDir::cleanPath(info.absoluteFilePath())); // "Mail/" and "Mail" alike
    }
    const JobOptions options = req.jobOptions();
    // The same scan and placement as a job over files dropped on the application. The
    // scan cuts mbox files into private pieces in the temporary folder; the archive
    // itself is not touched.
    QStringList emlxs;
    const QStringList emls = LocalMailFiles::explodeFilesAndFolders(inputs, &emlxs);
    const QStringList messages = LocalMailFiles::renderList(emls, emlxs);
    const QString base = LocalMailFiles::commonAncestorEMLPaths(inputs);
    const QString mainFolder = LocalMailFiles::mainFolderForBasePath(base);
    const QString jobName = JobArguments::jobNameFor(options);

    QJsonArray all;
    const auto claims = std::make_shared<OutputClaims>();
    for (const QString &file : messages) {
        const QJsonObject o =
            describe(file, mainFolder, LocalMailFiles::emlSubFolder(file, base, jobName), options, claims);
        if (o.contains(QStringLiteral("error")))
            printErr(QStringLiteral("tarnwick paths: %1: %2\n").arg(file, o.value(QStringLiteral("error")).toString()));
        if (json)
            all.append(o);
        else
            printOut(asText(o).toUtf8());
    }
    if (json)
        printOut(QJsonDocument(all).toJson(QJsonDocument::Indented));
    return missing ? 1 : 0;
}

} // namespace PathsCommand
