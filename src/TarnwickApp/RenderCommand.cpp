#include "TarnwickApp/RenderCommand.h"
#include "TarnwickApp/ConsoleOutput.h"
#include "TarnwickApp/JobArguments.h"

#include "RenderEngine/HTMLEngine/LocalMessageToHTMLToPDF.h"
#include "Utils/Log.h"
#include "localmail/LocalMailFiles.h"
#include "localmail/MailStores.h"
#include "mailadapter/MCOMessageParser.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <cstdio>

namespace {

const char *kUsage =
    "Usage: tarnwick render [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] PATH...\n"
    "Renders each message in this process and prints the render log.\n";


} // namespace

namespace RenderCommand {

int run(int argc, char **argv)
{
    LocalMessageToHTMLToPDF::prepareProcess();
    QApplication app(argc, argv);
    const QStringList args = app.arguments().mid(2);
    if (args.contains(QStringLiteral("--help"))) {
        printOut(QString::fromLatin1(kUsage));
        return 0;
    }
    JobArguments arguments;
    QString error;
    if (!arguments.parse(args, {}, error)) {
        printErr(QStringLiteral("tarnwick render: %1\n").arg(error) + QString::fromLatin1(kUsage));
        return 1;
    }
    const JobOptions options = arguments.jobOptions();
    const QStringList paths = options.value(JobKey::emlFiles).toStringList();

    QStringList emlxs;
    const QStringList emls = LocalMailFiles::explodeFilesAndFolders(paths, &emlxs);
    const QStringList messages = LocalMailFiles::renderList(emls, emlxs);
    const QString base = LocalMailFiles::commonAncestorEMLPaths(paths);
    const QString mainFolder = LocalMailFiles::mainFolderForBasePath(base);
    const QString jobName = JobArguments::jobNameFor(options);

    LocalMessageToHTMLToPDF renderer(options);
    renderer.setUpLocalRendering();
    int failures = 0, pdfs = 0, skipped = 0;
    for (const QString &file : messages) {
        Log::captureStart();
        QElapsedTimer clock;
        clock.start();
        QString mailapp;
        const auto message = LocalMailFiles::makeMCOMessage(file, &mailapp);
        const QString mailFolder = LocalMailFiles::emlSubFolder(file, base, jobName);
        if (message) {
            QEventLoop loop;
            QTimer poll;
            poll.setInterval(100);
            QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
                if (!renderer.busyDoingSomething())
                    loop.quit();
            });
            renderer.setExtraTags(MailStores::tagsOfMessageFile(file));
            renderer.startRender(message, mainFolder, mailFolder, nullptr, false, jobName, mailapp);
            if (renderer.busyDoingSomething()) {
                poll.start();
                loop.exec();
            }
        }
        const qint64 elapsedMs = clock.elapsed();
        const QStringList log = Log::captureTake();
        bool isRetry = false;
        const bool failed = message && renderer.getAndClearFailedMessage(&isRetry).has_value();
        failures += failed ? 1 : 0;
        skipped += message ? 0 : 1;
        const QString pdf = message ? MessageToHTMLToPDF::destinationPath(*message, mainFolder, mailFolder,
                                                                         JobKey::pdfFormat, QString(), options,
                                                                         MessageToHTMLToPDF::FolderCreation::No)
                                    : QString();
        printOut(QStringLiteral("%1\n").arg(file));
        printOut(QStringLiteral("  time: %1 ms\n").arg(elapsedMs));
        for (const QString &line : log)
            printOut(QStringLiteral("  log: %1\n").arg(line));
        if (!message) {
            printOut(QStringLiteral("  result: skipped (not a message)\n"));
        } else if (MessageToHTMLToPDF::pdfFilelooksOK(pdf)) {
            printOut(QStringLiteral("  result: PDF %1\n").arg(pdf));
            ++pdfs;
        }
        else
            printOut(QStringLiteral("  result: no PDF%1\n").arg(failed ? QStringLiteral(" (emergency .eml beside its path)")
                                                                       : QString()));
    }
    renderer.shutdown();
    printOut(QStringLiteral("%1 messages: %2 with a PDF, %3 failed, %4 skipped\n")
                 .arg(messages.size())
                 .arg(pdfs)
                 .arg(failures)
                 .arg(skipped));
    return failures ? 3 : 0;
}

} // namespace RenderCommand
