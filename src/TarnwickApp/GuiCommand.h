#pragma once
// `tarnwick gui`: the desktop application: the main window over the archive scheduler,
// with renderboxes on a private D-Bus bus of its own.

namespace GuiCommand {
// `argc`/`argv` are the whole command line. Returns the exit status.
int run(int argc, char **argv);
} // namespace GuiCommand
