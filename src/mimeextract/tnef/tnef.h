#pragma once
// TNEF_: unpacks the attachments of a TNEF stream (winmail.dat, application/ms-tnef) into
// the output folder. An attachment is written under its title, or under the long file name
// of its MAPI properties when they carry one; a compressed RTF body becomes XAM_N.rtf. Every
// read is checked against the end of the loaded data; a length that runs past it ends
// decoding. Names are reduced to one component inside the folder.

#include <cstddef>

constexpr unsigned long TNEF_SIGNATURE = 0x223E9F78UL;

typedef int (*TNEF_report_fn)(char *filename, char *contenttype);

// Restores the settings: decoding on, no output folder, quiet, no callback. The RTF file
// counter keeps running.
int TNEF_init();
// TNEF_init plus the RTF file counter back to 0.
int TNEF_reset();
// Settings: decoding on or off, reports of files written (verbosity, with the content
// type "tnef", through the callback), debug.
int TNEF_set_decode(int level);
// Folder the attachments are written to (copied, at most 1023 characters).
int TNEF_set_path(const char *path);
int TNEF_set_verbosity(int level);
int TNEF_set_verbosity_contenttype(int level);
int TNEF_set_filename_report_fn(TNEF_report_fn fn);
int TNEF_set_debug(int level);
// Loads folder/name (a file the walk saved; links are not followed) and decodes it.
// Returns 0, or -1 when it cannot be read.
int TNEF_main(const char *folder, const char *name);
// Decodes a TNEF stream held in memory. Returns 0, or -1 when decoding ended early.
int TNEF_decode_tnef(const unsigned char *data, size_t size);
