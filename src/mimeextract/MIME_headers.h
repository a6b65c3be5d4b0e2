#pragma once
// MIMEH_: reads one header block from the line reader, repairs and unfolds it, decodes its
// encoded words and fills a header record with what steers the body walk (content type,
// boundary, file name, transfer encoding, disposition). Malformed constructs never fail:
// they are counted as defects and parsed as far as they go.

#include "ffget.h"
#include "strstack.h"

#include <cstddef>
#include <cstdio>

constexpr size_t MIMEH_FILENAMELEN_MAX = 128; // characters of a part name
constexpr size_t MIMEH_STRLEN_MAX = 1024;     // boundary, raw name, informational fields
constexpr size_t MIMEH_SUBJECTLEN_MAX = 128;
constexpr size_t MIMEH_CTYPE_MAX = 128;
constexpr size_t MIMEH_CTRANS_MAX = 256;
constexpr int MIMEH_DEFECT_ARRAY_SIZE = 100;
// A header block keeps at most this many bytes; further lines up to its end are read and
// dropped, so that a block without end cannot exhaust memory.
constexpr size_t MIMEH_MAX_HEADER_BYTES = 1024 * 1024;

// Content type codes, tested in the order of MIMEH_content_type_code.
enum {
    _CTYPE_UNSPECIFIED = -1,
    _CTYPE_UNKNOWN = 0,
    _CTYPE_MULTIPART = 100,
    _CTYPE_MULTIPART_MIXED = 101,
    _CTYPE_MULTIPART_APPLEDOUBLE = 102,
    _CTYPE_MULTIPART_RELATED = 103,
    _CTYPE_MULTIPART_ALTERNATIVE = 104,
    _CTYPE_MULTIPART_REPORT = 105,
    _CTYPE_MULTIPART_SIGNED = 106,
    _CTYPE_TEXT = 200,
    _CTYPE_TEXT_PLAIN = 201,
    _CTYPE_TEXT_HTML = 203,
    _CTYPE_TEXT_CALENDAR = 204,
    _CTYPE_IMAGE = 300,
    _CTYPE_IMAGE_GIF = 301,
    _CTYPE_IMAGE_JPEG = 302,
    _CTYPE_AUDIO = 400,
    _CTYPE_RFC822 = 500,
    _CTYPE_TNEF = 600,
    _CTYPE_APPLICATION_APPLEFILE = 701,
    _CTYPE_OCTECT = 800,
};

// Transfer encoding codes.
enum {
    _CTRANS_ENCODING_UNSPECIFIED = -1,
    _CTRANS_ENCODING_NONE = 0,
    _CTRANS_ENCODING_B64 = 100,
    _CTRANS_ENCODING_7BIT = 101,
    _CTRANS_ENCODING_8BIT = 102,
    _CTRANS_ENCODING_QP = 103,
    _CTRANS_ENCODING_RAW = 104,
    _CTRANS_ENCODING_BINARY = 105,
    _CTRANS_ENCODING_UUENCODE = 106,
};

// Disposition codes.
enum {
    _CDISPOSITION_UNSPECIFIED = -1,
    _CDISPOSITION_NONE = 0,
    _CDISPOSITION_INLINE = 100,
    _CDISPOSITION_ATTACHMENT = 200,
    _CDISPOSITION_FORMDATA = 300,
};

// Defect numbers.
enum {
    MIMEH_DEFECT_MULTIPLE_QUOTES = 1,
    MIMEH_DEFECT_UNBALANCED_QUOTES = 2,
    MIMEH_DEFECT_MULTIPLE_EQUALS_SEPARATORS = 3,
    MIMEH_DEFECT_MULTIPLE_BOUNDARIES = 5,
    MIMEH_DEFECT_BOUNDARY_QUOTED = 6,
    MIMEH_DEFECT_MISSING_SEPARATORS = 8,
    MIMEH_DEFECT_MULTIPLE_NAMES = 9,
    MIMEH_DEFECT_MULTIPLE_FILENAMES = 10,
};

// One header record per message file walked. Its fields are reset before each header
// block, except the two name lists, which keep their entries for the whole message file
// (until the hard links for further names empty the name list).
struct MIMEH_header_info {
    int content_type;
    char content_type_string[MIMEH_CTYPE_MAX];
    char boundary[MIMEH_STRLEN_MAX];
    int boundary_located;
    char filename[MIMEH_FILENAMELEN_MAX + 1];
    char name[MIMEH_STRLEN_MAX];
    struct SS_object ss_names;     // distinct Content-Type name values
    struct SS_object ss_filenames; // Content-Disposition filename and Content-Location values
    int content_transfer_encoding;
    char content_transfer_encoding_string[MIMEH_CTRANS_MAX];
    int content_disposition;
    char content_disposition_string[MIMEH_CTRANS_MAX];
    char charset[MIMEH_SUBJECTLEN_MAX + 1];
    char subject[MIMEH_SUBJECTLEN_MAX + 1];
    char date[MIMEH_STRLEN_MAX];
    char from[MIMEH_STRLEN_MAX];
    char to[MIMEH_STRLEN_MAX];
    char messageid[MIMEH_STRLEN_MAX];
    char received[MIMEH_STRLEN_MAX];
    char uudec_name[MIMEH_FILENAMELEN_MAX + 1];
    int recognised;  // known headers in the last block; the walk skips blocks with none
    int crlf_count, crcr_count, lf_count;
    char delimeter[3];
    int x_mac;
    int defects[MIMEH_DEFECT_ARRAY_SIZE];
    int header_defect_count;
};

// Restores the settings: header fix on, double-CR save on, no dump file, long search off,
// output folder "". Process-long counters (double-CR file numbers) are kept.
int MIMEH_init();
// MIMEH_init plus the process-long counters and remembered names, back to their start.
int MIMEH_reset();
// Settings (process-wide). Each returns 0 or the value set.
int MIMEH_set_verbosity(int level);
int MIMEH_set_debug(int level);
// Folder in which double-CR files are written (copied, at most 1023 characters).
int MIMEH_set_outputdir(const char *dir);
// Join parameter lists broken after ";" (on by default).
int MIMEH_set_headerfix(int level);
// Save what follows a CR CR line end as doubleCR.N (on by default).
int MIMEH_set_doubleCR_save(int level);
int MIMEH_get_doubleCR_save();
// Header blocks are also written to this stream (owned by the caller).
int MIMEH_set_headers_save(FILE *f);
int MIMEH_set_headers_nosave();
FILE *MIMEH_get_headers_save();
// Also write each block's text as read, before repair and decoding.
int MIMEH_set_headers_save_original(int level);
// 0: off. Positive: blocks that do not look like RFC 822 headers are skipped, up to this
// many blocks.
int MIMEH_set_header_longsearch(int blocks);
int MIMEH_get_header_longsearch();
// Stored only: the header rules are the same for mailboxes and web forms.
int MIMEH_set_mailbox(int level);
int MIMEH_set_webform(int level);
// Set when a double-CR file was saved while the last block was read.
int MIMEH_get_doubleCR();
int MIMEH_set_doubleCR(int level);
// Name (inside the output folder) of the last double-CR file.
const char *MIMEH_get_doubleCR_name();

// Starts a record for a new message file (empty name lists, "text/plain").
void MIMEH_header_info_init(struct MIMEH_header_info *h);
// Frees the record's name lists.
void MIMEH_header_info_done(struct MIMEH_header_info *h);

// Reads and processes one header block. Returns 0, 1 when the block was empty, or -1 when
// the input ended (what was read is still processed).
int MIMEH_parse_headers(struct FFGET_FILE *f, struct MIMEH_header_info *h);
// Processes the text of one complete block (after repair and decoding) into h.
int MIMEH_headers_process(struct MIMEH_header_info *h, char *text);
// Joins a parameter list broken after ";" without indentation. Returns the joins made.
int MIMEH_fix_header_mistakes(char *text);
// Number of typical RFC 822 header words found at line starts (0: not headers).
int MIMEH_are_headers_RFC822(const char *text);
// Looks for parameter `param` at the start of text. Returns 0 and the value (cut to size)
// with *after just past it, or 1 when the text does not start with that parameter.
int MIMEH_parse_header_parameter(struct MIMEH_header_info *h, const char *text, const char *param, char *value,
                                 size_t size, const char **after);
// Code of a content type (lower-cased text).
int MIMEH_content_type_code(const char *lowered);
// 1 when code lies in the hundreds of range (MIMEH_is_contenttype(100, 104) is 1).
int MIMEH_is_contenttype(int range, int code);
// Total defects counted in h.
int MIMEH_get_defect_count(const struct MIMEH_header_info *h);
// Logs one line per defect kind met.
int MIMEH_dump_defects(const struct MIMEH_header_info *h);
