#include "TarnwickApp/CommandLine.h"
#include "TarnwickApp/GuiCommand.h"
#include "TarnwickApp/ConsoleOutput.h"

#include "TarnwickApp/ArchiveCommand.h"
#include "TarnwickApp/ConfigCommand.h"
#include "TarnwickApp/ExtractCommand.h"
#include "TarnwickApp/PathsCommand.h"
#include "TarnwickApp/RenderCommand.h"
#include "TarnwickApp/SearchCommand.h"
#include "TarnwickApp/SourcesCommand.h"
#include "CustomPaths/CustomPath.h"
#include "Utils/Log.h"

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

const char *kUsage =
    "Usage: tarnwick <command> [options]\n"
    "\n"
    "Commands:\n"
    "  gui [FILE...]\n"
    "      Start the desktop application (also what tarnwick alone does on a display);\n"
    "      files given are archived as files dropped on its window are.\n"
    "  archive [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] PATH...\n"
    "      Archive the messages of the files and folders given into DIR, rendering in\n"
    "      renderbox child processes. Messages already archived are skipped.\n"
    "  archive --source KEY | --all\n"
    "      Archive a configured source (an IMAP account or a folder), or all of them.\n"
    "  paths [--dest DIR] [--pdf-format F] [--attachment-format F] [--eml-format F] [--json] FILE...\n"
    "  paths --source KEY [--json]\n"
    "      Show where each message's PDF, .eml copy and attachments would be written.\n"
    "      Nothing is written.\n"
    "  render [--dest DIR] [format options] PATH...\n"
    "      Render each message to PDF in this process and print the render log.\n"
    "  extract [options] -i MAILPACK -d DIR\n"
    "      Write every part of a raw message into DIR (\"tarnwick extract --help\").\n"
    "  preview-format FORMAT\n"
    "      Print the preview of a path format on the sample message.\n"
    "  sources list|add-folder|add-account|remove|set-dest|set-format|folders|trust ...\n"
    "      Show and change the configured sources (\"tarnwick sources --help\").\n"
    "  config list|get|set|unset|set-destination ...\n"
    "      Show and change the general settings (\"tarnwick config --help\").\n"
    "  search [--subject S] [--email E] [--text T] [--in PATH] [--json] [--limit N]\n"
    "      Find archived files by subject, address and text (\"tarnwick search --help\").\n"
    "  index [--rebuild]\n"
    "      Bring the search index up to date with the archive folders.\n"
    "\n"
    "Options everywhere: --help, --version\n";


int previewFormat(const QStringList &args)
{
    if (args.size() != 1 || args[0] == QLatin1String("--help")) {
        printErr(QStringLiteral("Usage: tarnwick preview-format FORMAT\n"));
        return args.size() == 1 ? 0 : 1;
    }
    printOut(CustomPath::getExample(args[0]) + QLatin1Char('\n'));
    return 0;
}

} // namespace

namespace CommandLine {

int run(int argc, char **argv)
{
    Log::install("tarnwick");
    // The HTML engine needs its schemes declared and a widget application: decided
    // before any application object exists.
    if (argc > 1 && QByteArray(argv[1]) == "render")
        return RenderCommand::run(argc, argv);
    if (argc > 1 && QByteArray(argv[1]) == "gui")
        return GuiCommand::run(argc, argv);
    // Without a command, the desktop application, where there is a display to show it on.
    if (argc == 1 && (qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY")))
        return GuiCommand::run(argc, argv);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarnwick"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARNWICK_VERSION));

    QStringList args = app.arguments();
    args.removeFirst();
    if (args.isEmpty() || args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h")) {
        printOut(QString::fromLatin1(kUsage));
        return args.isEmpty() ? 1 : 0;
    }
    if (args[0] == QLatin1String("--version")) {
        printOut(QStringLiteral("tarnwick %1\n").arg(QStringLiteral(TARNWICK_VERSION)));
        return 0;
    }
    const QString command = args.takeFirst();
    if (command == QLatin1String("preview-format"))
        return previewFormat(args);
    if (command == QLatin1String("paths"))
        return PathsCommand::run(args);
    if (command == QLatin1String("archive"))
        return ArchiveCommand::run(args);
    if (command == QLatin1String("extract"))
        return ExtractCommand::run(args);
    if (command == QLatin1String("sources"))
        return SourcesCommand::run(args);
    if (command == QLatin1String("config"))
        return ConfigCommand::run(args);
    if (command == QLatin1String("search"))
        return SearchCommand::runSearch(args);
    if (command == QLatin1String("index"))
        return SearchCommand::runIndex(args);
    printErr(QStringLiteral("tarnwick: unknown command '%1'\n\n").arg(command) + QString::fromLatin1(kUsage));
    return 1;
}

} // namespace CommandLine
