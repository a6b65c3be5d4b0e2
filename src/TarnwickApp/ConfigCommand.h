#pragma once
// `tarnwick config`: the general settings (the keys the general settings pane shows),
// read and written with the types the preference register gives them, and the main
// destination folder.

#include <QStringList>

namespace ConfigCommand {
// `args` are the words after "config". Returns the exit status: 0 done, 2 refused (an
// unknown key, a value of the wrong type, bad usage; the reason on standard error).
int run(const QStringList &args);
}
