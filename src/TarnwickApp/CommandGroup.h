#pragma once
// The opening every `tarnwick <group> <command> ...` (config, sources) shares.

#include "TarnwickApp/ConsoleOutput.h"
#include "Utils/Log.h"

#include <QStringList>

#include <functional>
#include <optional>

namespace CommandGroup {

// "--verbose" anywhere echoes the log; no command, or --help/-h, ends the run with the
// group's usage (`usage` prints it after a message and gives the exit status). Otherwise
// the command is taken off `args` into `command` and nothing is returned.
inline std::optional<int> takeCommand(QStringList &args, const char *usageText,
                                      const std::function<int(const QString &)> &usage, QString &command)
{
    if (args.removeAll(QStringLiteral("--verbose")) > 0)
        Log::setEchoAlways();
    if (args.isEmpty())
        return usage(QStringLiteral("no command given"));
    if (args[0] == QLatin1String("--help") || args[0] == QLatin1String("-h")) {
        printOut(QString::fromLatin1(usageText));
        return 0;
    }
    command = args.takeFirst();
    return std::nullopt;
}

} // namespace CommandGroup
