#include "TarnwickApp/CommandLine.h"
#include "TarnwickApp/Renderbox.h"

// Process entry: "--jsonArgs" makes this process a renderbox, before anything else is
// set up; otherwise the command line (or, without a command, the application) runs.
int main(int argc, char **argv)
{
    const QString json = Renderbox::jsonArgument(argc, argv);
    if (!json.isNull())
        return Renderbox::run(argc, argv, json);
    return CommandLine::run(argc, argv);
}
