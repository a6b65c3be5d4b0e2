#include "TarnwickApp/PathsCommand.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "TarnwickApp/JobArguments.h"

#include "MailCoreGTM/FXKeychain.h"
#include "RenderEngine/AccountJobOptions.h"
#include "RenderEngine/MessageToHTMLToPDF.h"
#include "RenderEngine/RenderTool.h"
#include "Settings/Preferences.h"
#include "Settings/SourcesList.h"
#include "TarnwickApp/IMAPCommands.h"
#include "mailadapter/MCOIMAPMailboxName.h"
#include "mailadapter/MCOIMAPMessage.h"
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
    "       tarnwick paths --source KEY [--json]\n"
    "PATH: .eml, .emlx and mbox files, and folders holding them. KEY: a configured source; for\n"
    "an IMAP account the paths come from the listed headers, no message is downloaded.\n";

QJsonValue pathOrNull(const QString &path) { return path.isEmpty() ? QJsonValue() : QJsonValue(path); }

// The paths of one message, placed as a job places it: an archived message's own outputs
// are found again, and messages listed earlier count as archived at the paths they would
// take.
void describeMessage(QJsonObject &out, MCOAbstractMessage &message, const QString &mainFolder,
                     const QString &mailFolder, const JobOptions &jobOptions,
                     const std::shared_ptr<OutputClaims> &claims)
{
    const QDateTime date = MessageToHTMLToPDF::dateFromMailCoreHeaderAndFixTheHeaderToo(message.header());
    out[QStringLiteral("subject")] = message.header().subject().isNull() ? QJsonValue()
                                                                          : QJsonValue(message.header().subject());
    out[QStringLiteral("date")] = date.isValid() ? QJsonValue(date.toUTC().toString(Qt::ISODate)) : QJsonValue();
    MessageToHTMLToPDF placer(jobOptions);
    placer.setOutputClaims(claims);
    placer.setMainFolder(mainFolder);
    placer.setMailFolder(mailFolder);
    bool archived = false;
    const bool makesPdf = jobOptions.value(JobKey::pdfFormat).toString().size() >= 5;
    placer.setOutputIndex(
        placer.placeMessage(message, makesPdf ? JobKey::pdfFormat : JobKey::emlFormat, &archived, false));
    const JobOptions &options = placer.options();
    const auto dest = [&](const QString &key, const QString &fileName) {
        return MessageToHTMLToPDF::destinationPath(message, mainFolder, mailFolder, key, fileName, options,
                                                   MessageToHTMLToPDF::FolderCreation::No);
    };
    out[QStringLiteral("pdf")] = pathOrNull(dest(JobKey::pdfFormat, QString()));
    out[QStringLiteral("eml")] = pathOrNull(dest(JobKey::emlFormat, QString()));
    QJsonArray attachments;
    for (const QString &name : MessageToHTMLToPDF::attachmentFileNames(message)) {
        const QString path = dest(JobKey::attachmentFormat, name);
        if (!path.isEmpty())
            attachments.append(path);
    }
    out[QStringLiteral("attachments")] = attachments;
}

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
    describeMessage(out, *message, mainFolder, mailFolder, jobOptions, claims);
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

// Prints one message's paths: as text, or as the next element of a JSON array written
// as it goes (an account of 100,000 messages is not held as one document).
struct Reporter {
    bool json = false;
    bool first = true;
    void begin()
    {
        if (json)
            printOut(QByteArrayLiteral("["));
    }
    void add(const QJsonObject &o)
    {
        if (o.contains(QStringLiteral("error")))
            printErr(QStringLiteral("tarnwick paths: %1: %2\n")
                         .arg(o.value(QStringLiteral("source")).toString(), o.value(QStringLiteral("error")).toString()));
        if (!json) {
            printOut(asText(o).toUtf8());
            return;
        }
        printOut((first ? QByteArrayLiteral("\n") : QByteArrayLiteral(",\n")) + QJsonDocument(o).toJson(QJsonDocument::Compact));
        first = false;
    }
    void end()
    {
        if (json)
            printOut(QByteArrayLiteral("\n]\n"));
    }
};

int fail(const QString &message)
{
    printErr(QStringLiteral("tarnwick paths: %1\n").arg(message));
    return 1;
}

// Every message of an account, as its job lists them: folder by folder, headers in chunks.
int describeAccount(const QString &email, JobOptions options, Reporter &reporter)
{
    QString error;
    if (!IMAPCommands::withGoogleToken(options, error))
        return fail(error);
    std::unique_ptr<MCOIMAPSession> session(RenderTool::sessionForOptions(options, nullptr));
    const MCOIMAPResult listing = IMAPCommands::run(session->fetchAllFoldersOperation());
    if (listing.error.isError())
        return fail(QStringLiteral("%1: %2").arg(email, listing.error.description));
    const QStringList skip = options.value(JobKey::foldersToSkip).toStringList();
    const auto claims = std::make_shared<OutputClaims>();
    int status = 0;
    for (const MCOIMAPFolder &folder : listing.folders) {
        if (!folder.isSelectable() || skip.contains(folder.path))
            continue;
        const MCOIMAPResult info = IMAPCommands::run(session->folderInfoOperation(folder.path));
        if (info.error.isError()) {
            status = fail(QStringLiteral("%1: %2").arg(folder.path, info.error.description));
            continue;
        }
        const QString mailFolder = MCOIMAPMailboxName::mailFolderForPath(folder.path, folder.delimiter);
        QSet<quint32> seen;
        for (const RenderTool::HeaderChunk &chunk : RenderTool::headerChunksForFolder(folder, info.info.messageCount)) {
            const MCOIMAPResult headers = IMAPCommands::run(
                session->fetchMessagesByNumberOperation(folder.path, chunk.start, chunk.start + chunk.numToFetch));
            if (headers.error.isError()) {
                status = fail(QStringLiteral("%1: %2").arg(folder.path, headers.error.description));
                continue;
            }
            for (const auto &message : headers.messages) {
                if (seen.contains(message->uid()))
                    continue;
                seen.insert(message->uid());
                QJsonObject o;
                o[QStringLiteral("source")] = QStringLiteral("imap://%1/%2;UID=%3").arg(email, folder.path).arg(message->uid());
                o[QStringLiteral("mailFolder")] = mailFolder;
                o[QStringLiteral("mailappAttachments")] = QJsonValue();
                describeMessage(o, *message, email, mailFolder, options, claims);
                reporter.add(o);
            }
        }
    }
    return status;
}

int runSource(const QStringList &args)
{
    const bool json = args.contains(QStringLiteral("--json"));
    QStringList rest = args;
    rest.removeAll(QStringLiteral("--json"));
    if (rest.size() != 1)
        return fail(QStringLiteral("--source takes one source"));
    if (json)
        Log::setEchoToStderr(false);
    Preferences &prefs = Preferences::shared();
    QString key = rest[0];
    if (!SourcesList::allSourceKeys(prefs).contains(key))
        key = QDir::cleanPath(QFileInfo(key).absoluteFilePath());
    if (!SourcesList::allSourceKeys(prefs).contains(key))
        return fail(QStringLiteral("%1 is not a source (see `tarnwick sources list`)").arg(rest[0]));
    QString error;
    const bool account = SourcesList::isAccount(key, prefs);
    const std::optional<JobOptions> options =
        account ? AccountJobOptions::forAccount(key, prefs, FXKeychain::defaultKeychain(), &error)
                : AccountJobOptions::forFolder(key, prefs, &error);
    if (!options)
        return fail(QStringLiteral("%1: %2").arg(key, error));
    Reporter reporter;
    reporter.json = json;
    reporter.begin();
    int status = 0;
    if (account) {
        status = describeAccount(key, *options, reporter);
    } else {
        QStringList emlxs;
        const QStringList inputs{key};
        const QStringList emls = LocalMailFiles::explodeFilesAndFolders(inputs, &emlxs);
        const QString base = LocalMailFiles::commonAncestorEMLPaths(inputs);
        const QString mainFolder = LocalMailFiles::mainFolderForBasePath(base);
        const auto claims = std::make_shared<OutputClaims>();
        for (const QString &file : LocalMailFiles::renderList(emls, emlxs))
            reporter.add(describe(file, mainFolder, LocalMailFiles::emlSubFolder(file, base, key), *options, claims));
    }
    reporter.end();
    return status;
}

} // namespace

namespace PathsCommand {

int run(const QStringList &args)
{
    if (args.contains(QStringLiteral("--help"))) {
        printOut(QString::fromLatin1(kUsage));
        return 0;
    }
    if (args.value(0) == QLatin1String("--source"))
        return runSource(args.mid(1));
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
