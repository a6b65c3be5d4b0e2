#pragma once
// `tarnwick paths`: where each message's outputs would go, computed exactly as an
// archiving job computes them, without writing anything.

#include <QStringList>

namespace PathsCommand {
// `args` are the words after "paths". Returns the exit status.
int run(const QStringList &args);
}
