#pragma once
// `tarnwick sources`: the configured sources (IMAP accounts and local folders) listed,
// added, removed, and given their own destination and path formats, in the same
// preference and password stores the desktop uses.

#include <QStringList>

namespace SourcesCommand {
// `args` are the words after "sources". Returns the exit status: 0 done, 2 refused or
// failed (the reason on standard error).
int run(const QStringList &args);
}
