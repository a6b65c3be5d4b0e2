#pragma once
// UUENCODE_: finds uuencoded files (a "begin MODE NAME" line, data lines, an "end" line)
// in a part, a saved file or a double-CR file, and writes each into the output folder.

#include "ffget.h"

#include <cstddef>

// Last error codes, kept for the callers.
enum {
    UUENCODE_STATUS_SHORT_FILE = 100,
    UUENCODE_STATUS_CANNOT_OPEN_FILE = 101,
    UUENCODE_STATUS_CANNOT_ALLOCATE_MEMORY = 102,
    UUENCODE_STATUS_NO_FILENAME = 103,
};

// Called with (file name, content type or nullptr) for each file written.
typedef int (*UUENCODE_report_fn)(char *filename, char *contenttype);

// Restores the settings: decoding on, double-CR mode off, quiet, no report callback.
int UUENCODE_init();
// Settings: decoding on or off; CR also ends lines (double-CR files); reports of files
// written (verbosity, with the content type "uuencoded", through the callback); debug.
int UUENCODE_set_decode(int level);
int UUENCODE_set_doubleCR_mode(int level);
int UUENCODE_set_verbosity(int level);
int UUENCODE_set_verbosity_contenttype(int level);
int UUENCODE_set_filename_report_fn(UUENCODE_report_fn fn);
int UUENCODE_set_debug(int level);
// Error code of the last UUENCODE_decode_uu that failed.
int UUENCODE_get_last_error();
// 1 when line is a begin line: "begin", a blank, a decimal mode between 1 and 777, a name
// (decoding must be on). Else 0.
int UUENCODE_is_uuencode_header(const char *line);
// 1 when one of the first 20 lines of folder/name is a begin line, 0 if none, -1 when the
// file cannot be opened.
int UUENCODE_is_file_uuencoded(const char *folder, const char *name);
// Decodes uuencoded files into folder. With a reader f, reads from it and stops after one
// file; without, opens folder/input_name and decodes every file in it (as also in whole-file
// mode). A name already in namebuf (size bytes) is used instead of the begin line's; an
// empty namebuf receives the name used. Returns the number of files written, or -1 with
// the last error set.
int UUENCODE_decode_uu(struct FFGET_FILE *f, const char *folder, const char *input_name, char *namebuf,
                       size_t size, int whole_file);
