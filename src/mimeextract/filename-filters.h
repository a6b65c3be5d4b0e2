#pragma once
// FNFILTER_: cleaning of file names taken from messages, and the only way the engine opens,
// links or removes a file in its output folder.
//
// Names come from headers, uuencode begin lines and TNEF titles, all chosen by whoever
// sent the message. Two layers keep the output inside its folder: the filters turn a name
// into a single path component, and every file operation below works relative to the
// folder on that one component, refusing anything else (empty, ".", "..", a "/") and never
// following a symbolic link that is already in the folder.

#include <cstddef>
#include <cstdio>
#include <sys/types.h>

// Restores the settings: paranoid off, Mac mode off, quiet.
int FNFILTER_init();
int FNFILTER_set_verbose(int level);
int FNFILTER_set_debug(int level);
// On: every character that is not an ASCII letter, digit or "." becomes "_".
int FNFILTER_set_paranoid(int level);
// Mac mode turns "/" into "-" (classic Mac names use "/" freely); never switched off
// during a run.
int FNFILTER_set_mac(int level);
int FNFILTER_get_mac();
// Cleans a header file name in place (size is the buffer capacity): quotes, folders,
// query strings, then the paranoid filter. Returns 0.
int FNFILTER_filter(char *name, size_t size);
// "." and ".." become "_" and "__"; a remaining "/" or "\\" keeps what follows the last;
// in paranoid mode, unsafe characters become "_". len is the text's length. Returns 0.
int FNFILTER_paranoid_filter(char *name, size_t len);
// Makes name a single harmless path component in place: only what follows the last "/" or
// "\\" is kept (trailing separators ignored) and a name of dots only becomes as many
// underscores. Returns 0, or -1 when nothing usable is left (the name is then emptied).
int FNFILTER_confine(char *name, size_t size);
// 1 when name is a single component that the file operations below accept, else 0.
int FNFILTER_is_confined(const char *name);

// Creates or empties folder/name for writing. A symbolic link, or anything that is not a
// regular file, at that name is refused (errno ELOOP or EEXIST); a regular file with
// other hard links is unlinked first so that the other names keep their content.
// Returns the stream, or nullptr with errno set.
FILE *FNFILTER_fopen_output(const char *folder, const char *name, mode_t mode);
// Opens folder/name for reading, refusing symbolic links and non-regular files.
FILE *FNFILTER_fopen_input(const char *folder, const char *name);
// 1 when anything (a dangling link included) exists at folder/name, else 0.
int FNFILTER_exists(const char *folder, const char *name);
// Makes folder/newname a hard link to folder/existing. Returns 0 or -1 (errno set).
int FNFILTER_link(const char *folder, const char *existing, const char *newname);
// Renames folder/from to folder/to (a link at `to` is replaced, never followed).
// Returns 0 or -1 (errno set).
int FNFILTER_rename(const char *folder, const char *from, const char *to);
// Removes folder/name (a link itself, never its target). Returns 0 or -1 (errno set).
int FNFILTER_remove(const char *folder, const char *name);
