#pragma once
// `tarnwick render`: renders message files in this process, one after another, through
// the same pipeline a renderbox runs, and prints the render log. For diagnosing one
// message; archiving runs use renderboxes.

namespace RenderCommand {
// `argc`/`argv` are the whole command line. Returns the exit status.
int run(int argc, char **argv);
} // namespace RenderCommand
