#pragma once
// MIME_: the body walk. Streams once through a message file, reading header blocks and
// decoding each part's body into a file of the output folder; parts that are messages
// themselves are saved and walked again from their files one level deeper. Settings,
// counters and the boundary stack are process-wide: one unpack runs at a time.

#include "MIME_headers.h"
#include "ffget.h"
#include "strstack.h"

#include <cstdio>

// Result codes shared by the walk and its decoders.
enum {
    MIME_OK = 0,
    MIME_BASE64_BOUNDARY = 1,  // a base64 body ended at a boundary (done)
    MIME_BASE64_EMPTY = 2,     // a base64 body gave no bytes
    MIME_TEXT_NO_LINES = 100,  // a text body had no lines (end of input)
    MIME_RECURSION = 240,      // nesting deeper than the recursion limit
    MIME_INPUT_ENDED = 241,    // input ended in headers, or a text body without boundary
    MIME_BASE64_INPUT_ENDED = 242,
    MIME_ERROR_FILE = -1,      // an output file or the input could not be opened
};

constexpr int MIME_DEFAULT_RECURSION_LIMIT = 20;
// Nested walks at the same level (multiparts inside multiparts, attached messages walked
// in line) are bounded too, whatever the recursion limit: each one costs stack.
constexpr int MIME_WALK_DEPTH_MAX = 200;

typedef int (*MIME_report_fn)(char *filename, char *contenttype);

// Runs every module's init, zeroes the attachment and defect counters and sets the
// defaults. The nameless counter keeps running (names stay unique within the process).
int MIME_init();
// Everything back to the state of a fresh process, counters included: for tests and the
// fuzzer, which run many unpacks one after another.
int MIME_reset();
// Settings. Each setter takes effect for the next unpack and returns 0 unless noted.
// Report each file written (also sets every module's verbosity).
int MIME_set_verbosity(int level);
// Debug trace in every module.
int MIME_set_debug(int level);
// Quiet: verbosity and debug off, non-fatal open errors not logged.
int MIME_set_quiet(int level);
// On: a name already in the folder is varied (see MIME_test_uniquename); off: overwritten.
int MIME_set_uniquenames(int level);
// 1 infix, 2 prefix, 3 postfix. Returns 0, or -1 (method unchanged) for other values.
int MIME_set_renamemethod(int method);
// Only ASCII letters, digits and "." in names taken from messages.
int MIME_set_paranoid(int level);
// Write every header block read to the headers file (MIME_set_headersname) of the folder.
int MIME_set_dumpheaders(int level);
int MIME_set_headersname(const char *name);
// Remove the nameless parts (blank file prefix) once the unpack is over.
int MIME_set_no_nameless(int level);
// Name nameless parts after their content type ("text-plain3").
int MIME_set_name_by_type(int level);
// Stem of nameless parts (default "textfile"); also marks it as chosen by the user.
int MIME_set_blankfileprefix(const char *prefix);
const char *MIME_get_blankfileprefix();
// The input is a mailbox: "From " lines after an empty line separate messages.
int MIME_set_mailboxformat(int level);
// Deepest nesting level unpacked (default 20).
int MIME_set_recursion_level(int level);
// Decoder switches: uuencoded files, TNEF streams, quoted-printable text, ".mht" parts
// unpacked again. Base64 and OLE are stored only: base64 is always decoded, OLE never.
int MIME_set_decode_uudecode(int level);
int MIME_set_decode_tnef(int level);
int MIME_set_decode_base64(int level);
int MIME_set_decode_qp(int level);
int MIME_set_decode_mht(int level);
int MIME_set_decode_ole(int level);
// Further Content-Type names of a part become hard links to its file.
int MIME_set_multiple_filenames(int level);
// Look for a message past the first blank line of a saved part (bounces).
int MIME_set_header_longsearch(int level);
// Save and walk what follows a CR CR line end in headers.
int MIME_set_decode_doubleCR(int level);
// Report files as "Decoding: name" log lines instead of through the callback.
int MIME_set_verbosity_12x_style(int level);
// Pass the content type to the report callback.
int MIME_set_verbosity_contenttype(int level);
// Log a summary of header defects per message.
int MIME_set_verbose_defects(int level);
// Stored only.
int MIME_set_report_MIME(int level);
// Called with (file name, content type or nullptr) for each file written; also used by
// the uuencode and TNEF decoders.
int MIME_set_filename_report_fn(MIME_report_fn fn);
// Stored only.
int MIME_set_tmpdir(const char *dir);
// Named attachments written (and uudecoded files, TNEF parts) since MIME_init.
int MIME_get_attachment_count();
// Header defects met since MIME_init.
int MIME_get_header_defect_count();
// First Subject met since MIME_init (at most 1023 characters).
const char *MIME_get_subject();

// Unpacks the message file mailpack (or "-" for standard input) into folder. Results 1,
// 100, 240 and 241 count as done (0).
int MIME_unpack(const char *folder, const char *mailpack, int level);
// Closes the headers dump file if one is open.
int MIME_close();
// If folder/name exists, replaces name (capacity size) by the first free variant of the
// chosen method: 1 "stem_N.ext", 2 "N_name", 3 "name_N". Returns 0.
int MIME_test_uniquename(const char *folder, char *name, size_t size, int method);

// Unpacks one message file at level, adding the names written to files.
int MIME_unpack_single(const char *folder, const char *mailpack, int level, struct SS_object *files);
// Same, over an open stream (not closed here).
int MIME_unpack_single_fp(const char *folder, FILE *fp, int level, struct SS_object *files);
// Unpacks a mailbox: each "From " line after an empty line starts a new message.
int MIME_unpack_mailbox(const char *folder, const char *mailpack, int level, struct SS_object *files);
// 1 when folder/name looks like an RFC 822 message (header words in its first lines).
int MIME_is_file_RFC822(const char *folder, const char *name);
