#pragma once
// `tarnwick search`: the search view's query from a terminal, over the same index.
// `tarnwick index`: brings the index up to date (or makes it again) with a progress line.

#include <QStringList>

namespace SearchCommand {
// `args` are the words after "search". Exit status 0 when something was found, 1 when
// nothing was, 2 on a usage error.
int runSearch(const QStringList &args);
// `args` are the words after "index". Exit status 0, 2 on a usage error or a failure.
int runIndex(const QStringList &args);
}
