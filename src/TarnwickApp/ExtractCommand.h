#pragma once
// `tarnwick extract [options] -i MAILPACK -d DIR`: the MIME extraction engine's own front
// end. Every part of the message (or of each message of a folder, or of a mailbox) is
// written into DIR; the options switch the engine's settings.

#include <QStringList>

#include <string>
#include <vector>

namespace ExtractCommand {
// `args` are the words after "extract". Returns the exit status: 0 done, 1 bad usage
// (an unknown option prints the usage), 2 when an input could not be read or the folder
// not made; with --extended-errors the unpack's result code (its low 8 bits).
int run(const QStringList &args);
// The same over plain strings.
int run(const std::vector<std::string> &args);
// The usage text.
const char *usage();
}
