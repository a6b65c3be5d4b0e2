#pragma once
// `tarnwick archive`: one local-file job, run headless, as files dropped on the
// application are. Exit status 0 when the job is done, 2 when it cannot start, 128 plus
// the signal number (130 for Ctrl-C) when interrupted; the job is then cancelled and
// every renderbox stopped.

#include <QStringList>

namespace ArchiveCommand {
int run(const QStringList &args);
}
