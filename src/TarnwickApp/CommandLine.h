#pragma once
// The command-line front end: `tarnwick <sub-command> ...`.

namespace CommandLine {
// Runs the process: dispatches on the first argument and returns the exit status.
int run(int argc, char **argv);
}
