#include "mime.h"

#include "boundary-stack.h"
#include "filename-filters.h"
#include "libmime-decoders.h"
#include "logger.h"
#include "pldstr.h"
#include "tnef/tnef.h"
#include "uuencode.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>


namespace {

constexpr size_t MIME_SETTING_MAX = 1024; // string settings hold at most 1023 characters
constexpr int MIME_TEXT_LINE = 1023;      // text lines of up to 1022 characters
constexpr int MIME_RAW_PIECE = 1025;      // raw pieces of up to 1024 bytes
constexpr size_t MIME_B64_BUFFER = 8192;
constexpr size_t MIME_B64_FLUSH = 8188;
// Header blocks tried when a saved part is searched for a message past its first blank line
// (bounces quote the returned message after a text of their own).
constexpr int MIME_LONGSEARCH_BLOCKS = 10;

struct MIME_settings {
    int verbosity, debug, quiet;
    int uniquenames, renamemethod, paranoid;
    int dumpheaders;
    char headersname[MIME_SETTING_MAX];
    int no_nameless, name_by_type;
    char blankfileprefix[MIME_SETTING_MAX];
    int blankfileprefix_set;
    int mailboxformat, recursion_level;
    int decode_uu, decode_tnef, decode_b64, decode_qp, decode_mht, decode_ole;
    int multiple_filenames, header_longsearch, decode_doubleCR;
    int verbosity_12x, verbosity_contenttype, verbose_defects, report_mime;
    MIME_report_fn report;
    char tmpdir[MIME_SETTING_MAX];
};

MIME_settings mime;
int mime_attachment_count = 0;
int mime_header_defect_count = 0;
char mime_subject[MIME_SETTING_MAX] = "";
int mime_nameless_counter = 0; // runs for the life of the process
int mime_walk_depth = 0;
FILE *mime_headers_file = nullptr;

} // namespace

/* ---- settings --------------------------------------------------------------------- */

static void MIME_defaults()
{
    memset(&mime, 0, sizeof mime);
    mime.renamemethod = 1;
    PLD_strncpy(mime.headersname, "_headers_", sizeof mime.headersname);
    PLD_strncpy(mime.blankfileprefix, "textfile", sizeof mime.blankfileprefix);
    mime.recursion_level = MIME_DEFAULT_RECURSION_LIMIT;
    mime.decode_uu = mime.decode_tnef = mime.decode_b64 = mime.decode_qp = 1;
    mime.decode_mht = mime.decode_ole = 1;
    mime.multiple_filenames = 1;
    mime.decode_doubleCR = 1;
}

int MIME_init()
{
    BS_init();
    MIMEH_init();
    UUENCODE_init();
    FNFILTER_init();
    MDECODE_init();
    TNEF_init();
    FFGET_set_allow_nul(0);
    FFGET_set_watch_SDL(0);
    FFGET_set_crmode(0);
    FFGET_set_doubleCR(0);
    MIME_close();
    MIME_defaults();
    mime_attachment_count = 0;
    mime_header_defect_count = 0;
    mime_subject[0] = '\0';
    mime_walk_depth = 0;
    return 0;
}

int MIME_reset()
{
    MIME_init();
    FFGET_reset();
    MIMEH_reset();
    TNEF_reset();
    LOGGER_reset();
    mime_nameless_counter = 0;
    return 0;
}

int MIME_set_verbosity(int level)
{
    mime.verbosity = level;
    MIMEH_set_verbosity(level);
    MDECODE_set_verbose(level);
    UUENCODE_set_verbosity(level);
    TNEF_set_verbosity(level);
    FNFILTER_set_verbose(level);
    BS_set_verbose(level);
    return 0;
}

int MIME_set_debug(int level)
{
    mime.debug = level;
    MIMEH_set_debug(level);
    MDECODE_set_debug(level);
    UUENCODE_set_debug(level);
    TNEF_set_debug(level);
    FNFILTER_set_debug(level);
    BS_set_debug(level);
    return 0;
}

int MIME_set_quiet(int level)
{
    mime.quiet = level;
    if (level) {
        MIME_set_debug(0);
        MIME_set_verbosity(0);
    }
    return 0;
}

int MIME_set_uniquenames(int level) { return mime.uniquenames = level, 0; }

int MIME_set_renamemethod(int method)
{
    if (method < 1 || method > 3) {
        LOGGER_log("%s:%d:MIME_set_renamemethod:ERROR: selected method not within %d > x > %d range", FL, 0, 4);
        return -1;
    }
    mime.renamemethod = method;
    return 0;
}

int MIME_set_paranoid(int level)
{
    mime.paranoid = level;
    FNFILTER_set_paranoid(level);
    return 0;
}

int MIME_set_dumpheaders(int level) { return mime.dumpheaders = level, 0; }
int MIME_set_headersname(const char *name) { return PLD_strncpy(mime.headersname, name, MIME_SETTING_MAX), 0; }
int MIME_set_no_nameless(int level) { return mime.no_nameless = level, 0; }
int MIME_set_name_by_type(int level) { return mime.name_by_type = level, 0; }

int MIME_set_blankfileprefix(const char *prefix)
{
    PLD_strncpy(mime.blankfileprefix, prefix, sizeof mime.blankfileprefix);
    mime.blankfileprefix_set = 1;
    return 0;
}

const char *MIME_get_blankfileprefix() { return mime.blankfileprefix; }
int MIME_set_mailboxformat(int level) { return mime.mailboxformat = level, MIMEH_set_mailbox(level), 0; }
int MIME_set_recursion_level(int level) { return mime.recursion_level = level, 0; }

int MIME_set_decode_uudecode(int level)
{
    mime.decode_uu = level;
    UUENCODE_set_decode(level);
    return 0;
}

int MIME_set_decode_tnef(int level)
{
    mime.decode_tnef = level;
    TNEF_set_decode(level);
    return 0;
}

int MIME_set_decode_base64(int level) { return mime.decode_b64 = level, 0; }

int MIME_set_decode_qp(int level)
{
    mime.decode_qp = level;
    MDECODE_set_decode_qp(level);
    return 0;
}

int MIME_set_decode_mht(int level) { return mime.decode_mht = level, 0; }
int MIME_set_decode_ole(int level) { return mime.decode_ole = level, 0; }
int MIME_set_multiple_filenames(int level) { return mime.multiple_filenames = level, 0; }
int MIME_set_header_longsearch(int level) { return mime.header_longsearch = level, 0; }

int MIME_set_decode_doubleCR(int level)
{
    mime.decode_doubleCR = level;
    MIMEH_set_doubleCR_save(level);
    return 0;
}

int MIME_set_verbosity_12x_style(int level) { return mime.verbosity_12x = level, 0; }

int MIME_set_verbosity_contenttype(int level)
{
    mime.verbosity_contenttype = level;
    UUENCODE_set_verbosity_contenttype(level);
    TNEF_set_verbosity_contenttype(level);
    return 0;
}

int MIME_set_verbose_defects(int level) { return mime.verbose_defects = level, 0; }
int MIME_set_report_MIME(int level) { return mime.report_mime = level, 0; }

int MIME_set_filename_report_fn(MIME_report_fn fn)
{
    mime.report = fn;
    UUENCODE_set_filename_report_fn(fn);
    TNEF_set_filename_report_fn(fn);
    return 0;
}

int MIME_set_tmpdir(const char *dir) { return PLD_strncpy(mime.tmpdir, dir, sizeof mime.tmpdir), 0; }
int MIME_get_attachment_count() { return mime_attachment_count; }
int MIME_get_header_defect_count() { return mime_header_defect_count; }
const char *MIME_get_subject() { return mime_subject; }

int MIME_close()
{
    if (mime_headers_file) {
        fclose(mime_headers_file);
        mime_headers_file = nullptr;
        MIMEH_set_headers_nosave();
    }
    return 0;
}

/* ---- naming ----------------------------------------------------------------------- */

static void MIME_report(const char *name, const char *contenttype)
{
    if (!mime.verbosity)
        return;
    if (mime.verbosity_12x || !mime.report) {
        LOGGER_log("Decoding: %s\n", name);
        return;
    }
    char n[MIMEH_FILENAMELEN_MAX + 1], t[MIMEH_CTYPE_MAX];
    PLD_strncpy(n, name, sizeof n);
    PLD_strncpy(t, contenttype ? contenttype : "", sizeof t);
    mime.report(n, mime.verbosity_contenttype ? t : nullptr);
}

// Writes the candidate name for attempt n of a rename method into out (capacity size).
static void MIME_unique_candidate(char *out, size_t size, const char *name, int method, int n)
{
    char number[16];
    snprintf(number, sizeof number, "%d", n);
    const char *dot = strrchr(name, '.');
    char prefix[24] = "", suffix[MIMEH_FILENAMELEN_MAX + 24] = "";
    size_t baseLen = strlen(name);
    if (method == 2) {
        snprintf(prefix, sizeof prefix, "%s_", number);
    } else if (method == 1 && dot) {
        snprintf(suffix, sizeof suffix, "_%s%s", number, dot);
        baseLen = size_t(dot - name);
    } else {
        snprintf(suffix, sizeof suffix, "_%s", number);
    }
    // The number must survive the length limit, or every attempt would read the same.
    const size_t fixed = strlen(prefix) + strlen(suffix);
    if (fixed + 1 >= size) {
        PLD_strjoin(out, size, {name, "_", number});
        return;
    }
    const size_t room = size - 1 - fixed;
    if (baseLen > room)
        baseLen = room;
    char base[MIMEH_FILENAMELEN_MAX + 1];
    PLD_memtostr(base, sizeof base, name, baseLen);
    PLD_strjoin(out, size, {prefix, base, suffix});
}

int MIME_test_uniquename(const char *folder, char *name, size_t size, int method)
{
    if (!FNFILTER_exists(folder, name))
        return 0;
    if (method == 1 && !strrchr(name, '.'))
        method = 3;
    char candidate[MIMEH_FILENAMELEN_MAX + 1];
    const size_t limit = size < sizeof candidate ? size : sizeof candidate;
    for (int n = 1; n > 0; ++n) {
        MIME_unique_candidate(candidate, limit, name, method, n);
        if (!FNFILTER_exists(folder, candidate)) {
            PLD_strncpy(name, candidate, size);
            return 0;
        }
    }
    return 0;
}

// Gives the part its output name (nameless parts get the blank file prefix and the
// counter), applies unique names, reports it and records it in the file list.
static void MIME_name_part(const char *folder, struct MIMEH_header_info *h, struct SS_object *files)
{
    if (h->filename[0] && isprint(static_cast<unsigned char>(h->filename[0])))
        FNFILTER_filter(h->filename, sizeof h->filename);
    // Whatever the filters left, the name must be one component inside the folder.
    if (h->filename[0] && FNFILTER_confine(h->filename, sizeof h->filename) != 0)
        h->filename[0] = '\0';

    const int named = h->filename[0] != '\0';
    if (named) {
        if (strncmp(h->filename, mime.blankfileprefix, strlen(mime.blankfileprefix)) != 0)
            mime_attachment_count++;
    } else {
        if (mime.name_by_type && h->content_type_string[0]) {
            char type[MIMEH_CTYPE_MAX];
            PLD_strncpy(type, h->content_type_string, sizeof type);
            for (char *p = type; *p; ++p) {
                if (*p == '/' || *p == '\\')
                    *p = '-';
            }
            char number[16];
            snprintf(number, sizeof number, "%d", mime_nameless_counter);
            PLD_strjoin(h->filename, sizeof h->filename,
                        {mime.blankfileprefix_set ? mime.blankfileprefix : "", type, number});
        } else {
            char number[16];
            snprintf(number, sizeof number, "%d", mime_nameless_counter);
            PLD_strjoin(h->filename, sizeof h->filename, {mime.blankfileprefix, number});
        }
        mime_nameless_counter++;
        if (FNFILTER_confine(h->filename, sizeof h->filename) != 0)
            snprintf(h->filename, sizeof h->filename, "%d", mime_nameless_counter - 1);
    }
    if ((named || !mime.no_nameless) && mime.uniquenames)
        MIME_test_uniquename(folder, h->filename, sizeof h->filename, mime.renamemethod);
    MIME_report(h->filename, h->content_type_string);
    SS_push(files, h->filename, strlen(h->filename));
}

static void MIME_generate_multiple_hardlink_filenames(struct MIMEH_header_info *h, const char *folder)
{
    if (!mime.multiple_filenames || SS_count(&h->ss_names) <= 1)
        return;
    char name[MIMEH_FILENAMELEN_MAX + 1];
    while (SS_pop(&h->ss_names, name, sizeof name) == 0) {
        if (FNFILTER_confine(name, sizeof name) != 0 || strcmp(name, h->filename) == 0)
            continue;
        if (FNFILTER_link(folder, h->filename, name) == 0) {
            MIME_report(name, h->content_type_string);
        } else if (errno != EEXIST) {
            LOGGER_log("%s:%d:MIME_generate_multiple_hardlink_filenames:WARNING: While trying to create '%s' link to "
                       "'%s' (%s)",
                       FL, name, h->filename, strerror(errno));
        }
    }
}

/* ---- reader flags around side readers ----------------------------------------------- */

// Side readers (sniffing, uudecoding a saved file) must not change the line-end state of
// the walk's own reader: the flags are process-wide.
struct MIME_reader_flags {
    int crmode, doubleCR, watch;
};

static MIME_reader_flags MIME_save_reader_flags()
{
    return {FFGET_get_crmode(), FFGET_get_doubleCR(), FFGET_get_watch_SDL()};
}

static void MIME_restore_reader_flags(const MIME_reader_flags &flags)
{
    FFGET_set_crmode(flags.crmode);
    FFGET_set_doubleCR(flags.doubleCR);
    FFGET_set_watch_SDL(flags.watch);
}

/* ---- decoders ----------------------------------------------------------------------- */

static int MIME_decode_TNEF(const char *folder, struct MIMEH_header_info *h)
{
    TNEF_set_path(folder);
    return TNEF_main(folder, h->filename);
}

// Uudecodes every uuencoded file found in the part's saved file (caller: the raw or text
// decoder). Returns 0, or -1 on a failure that is not just "no file found".
static int MIME_uudecode_saved(const char *folder, struct MIMEH_header_info *h)
{
    const MIME_reader_flags flags = MIME_save_reader_flags();
    h->uudec_name[0] = '\0';
    int count = UUENCODE_decode_uu(nullptr, folder, h->filename, h->uudec_name, sizeof h->uudec_name, 1);
    MIME_restore_reader_flags(flags);
    if (count < 0) {
        const int error = UUENCODE_get_last_error();
        if (error == UUENCODE_STATUS_CANNOT_ALLOCATE_MEMORY) {
            LOGGER_log("%s:%d:MIME_decode_raw:ERROR: Failure to allocate memory for UUdecode process", FL);
            return -1;
        }
        if (error != UUENCODE_STATUS_SHORT_FILE && error != UUENCODE_STATUS_CANNOT_OPEN_FILE &&
            error != UUENCODE_STATUS_NO_FILENAME) {
            LOGGER_log("%s:%d:MIME_decode_raw:ERROR: Unknown return code from UUDecode process [%d]", FL, error);
            return -1;
        }
        count = 0;
    }
    mime_attachment_count += count;
    if (count > 0) {
        if (strncasecmp(h->uudec_name, "winmail.dat", 11) == 0) {
            PLD_strncpy(h->filename, "winmail.dat", sizeof h->filename);
            MIME_decode_TNEF(folder, h);
        } else {
            LOGGER_log("%s:%d:MIME_decode_raw:WARNING: hinfo has been clobbered.\n", FL);
        }
    }
    return 0;
}

static int MIME_decode_raw(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h)
{
    FILE *out = FNFILTER_fopen_output(folder, h->filename, 0600);
    if (!out) {
        LOGGER_log("%s:%d:MIME_decode_raw:ERROR: cannot open %s/%s for writing (%s)", FL, folder, h->filename,
                   strerror(errno));
        return -1;
    }
    char piece[MIME_RAW_PIECE];
    int uuencoded = 0, n;
    while ((n = FFGET_raw(f, piece, sizeof piece)) > 0) {
        if (BS_count() > 0 && BS_cmp(piece, size_t(n)))
            break;
        if (!uuencoded && UUENCODE_is_uuencode_header(piece))
            uuencoded = 1;
        fwrite(piece, 1, size_t(n), out);
    }
    fclose(out);
    if (uuencoded && MIME_uudecode_saved(folder, h) < 0)
        return -1;
    return 0;
}

static int MIME_decode_text(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h)
{
    FILE *out = FNFILTER_fopen_output(folder, h->filename, 0644);
    if (!out) {
        LOGGER_log("%s:%d:MIME_decode_text:ERROR: cannot open %s/%s for writing", FL, folder, h->filename);
        return -1;
    }
    const int qp = h->content_transfer_encoding == _CTRANS_ENCODING_QP && MDECODE_get_decode_qp();
    char line[MIME_TEXT_LINE + 1];
    int lines = 0, uuencoded = 0, result = MIME_INPUT_ENDED;
    while (FFGET_fgets(line, MIME_TEXT_LINE, f)) {
        ++lines;
        size_t len = f->last_length;
        if (line[0] == '-' && BS_count() > 0 && BS_cmp(line, len)) {
            result = MIME_OK;
            break;
        }
        if (!uuencoded && UUENCODE_is_uuencode_header(line))
            uuencoded = 1;
        if (qp)
            len = MDECODE_decode_quoted_printable(line, '=', len);
        fwrite(line, 1, len, out);
    }
    fclose(out);
    if (lines == 0)
        result = MIME_TEXT_NO_LINES;
    if (uuencoded && MIME_uudecode_saved(folder, h) < 0)
        return -1;
    return result;
}

// Base64 decoding state; bytes are collected 8 KB at a time.
struct MIME_b64 {
    FILE *out;
    unsigned char buffer[MIME_B64_BUFFER];
    size_t used;
    unsigned int acc;
    int n;      // characters of the current group
    long total; // bytes decoded
    int lfs;    // consecutive LF bytes (single-part bodies only)
};

enum { MIME_B64_GO_ON, MIME_B64_PADDING, MIME_B64_END_OF_INPUT, MIME_B64_BOUNDARY, MIME_B64_BLANK_LINES };

static void MIME_b64_flush(MIME_b64 *d)
{
    if (d->used)
        fwrite(d->buffer, 1, d->used, d->out);
    d->used = 0;
}

static inline void MIME_b64_group(MIME_b64 *d)
{
    d->buffer[d->used] = static_cast<unsigned char>(d->acc >> 16);
    d->buffer[d->used + 1] = static_cast<unsigned char>(d->acc >> 8);
    d->buffer[d->used + 2] = static_cast<unsigned char>(d->acc);
    d->used += 3;
    d->total += 3;
    d->acc = 0;
    d->n = 0;
    if (d->used > MIME_B64_FLUSH)
        MIME_b64_flush(d);
}

// "=": a group of three characters gives two bytes, of two gives one.
static void MIME_b64_padding(MIME_b64 *d)
{
    int bytes = d->n == 3 ? 2 : d->n == 2 ? 1 : 0;
    const unsigned int acc = d->acc << (6 * (4 - d->n));
    for (int i = 0; i < bytes; ++i)
        d->buffer[d->used++] = static_cast<unsigned char>(acc >> (16 - 8 * i));
    d->total += bytes;
    d->acc = 0;
    d->n = 0;
}

// Decodes a line already taken from the reader (the rest of a line that began with "-"),
// with the same rules as the fast loop. Returns a MIME_B64_* state.
static int MIME_b64_line(MIME_b64 *d, const char *line, size_t len)
{
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        const unsigned char v = MDECODE_b64_table[c];
        if (v != MDECODE_B64_SKIP) {
            d->acc = d->acc << 6 | v;
            if (++d->n == 4)
                MIME_b64_group(d);
            continue;
        }
        if (c == 0xFF)
            return MIME_B64_END_OF_INPUT;
        if (c == '=') {
            MIME_b64_padding(d);
            return MIME_B64_PADDING;
        }
        if (c == '-' && i > 0 && BS_cmp(line + i, len - i))
            return MIME_B64_BOUNDARY;
    }
    return MIME_B64_GO_ON;
}

// Reads and drops the rest of the current line.
static void MIME_skip_line(struct FFGET_FILE *f)
{
    char junk[MIME_TEXT_LINE + 1];
    while (FFGET_fgets(junk, sizeof junk, f)) {
        if (f->linebreak != FFGET_LINEBREAK_NONE)
            break;
    }
}

// Byte classes of the body decoder: alphabet values 0..63, then bytes that are skipped,
// LF (counted in single-part bodies) and the bytes that need a decision ("=", "-", 0xFF).
enum : unsigned char { MIME_B64_CLASS_SKIP = 0x40, MIME_B64_CLASS_LF = 0x41, MIME_B64_CLASS_SPECIAL = 0x42 };

struct MIME_b64_classes {
    unsigned char of[256];
    constexpr MIME_b64_classes() : of()
    {
        for (int c = 0; c < 256; ++c)
            of[c] = MIME_B64_CLASS_SKIP;
        const char *alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        for (int i = 0; i < 64; ++i)
            of[static_cast<unsigned char>(alphabet[i])] = static_cast<unsigned char>(i);
        of[static_cast<unsigned char>('\n')] = MIME_B64_CLASS_LF;
        of[static_cast<unsigned char>('=')] = MIME_B64_CLASS_SPECIAL;
        of[static_cast<unsigned char>('-')] = MIME_B64_CLASS_SPECIAL;
        of[0xFF] = MIME_B64_CLASS_SPECIAL;
    }
};

constexpr MIME_b64_classes mime_b64_classes;

// Decodes p[0..avail) up to the first byte that needs a decision. The state lives in
// locals here: stores into the output buffer could otherwise alias it and force the
// compiler to reload it for every byte. Returns the index of the byte that stopped it
// (avail when none did); *blank is set when the third LF in a row ended the body.
static size_t MIME_b64_fast(const unsigned char *p, size_t avail, MIME_b64 *d, int countLf, int *blank)
{
    const unsigned char *cls = mime_b64_classes.of;
    unsigned int acc = d->acc;
    int n = d->n, lfs = d->lfs;
    size_t used = d->used, i = 0;
    long total = d->total;
    unsigned char *out = d->buffer;
    for (;;) {
        if (n == 0) {
            // Whole groups of four alphabet characters: nearly every byte of a body.
            while (i + 4 <= avail) {
                const unsigned int a = cls[p[i]], b = cls[p[i + 1]], c = cls[p[i + 2]], e = cls[p[i + 3]];
                if ((a | b | c | e) & 0xC0)
                    break;
                const unsigned int v = a << 18 | b << 12 | c << 6 | e;
                out[used] = static_cast<unsigned char>(v >> 16);
                out[used + 1] = static_cast<unsigned char>(v >> 8);
                out[used + 2] = static_cast<unsigned char>(v);
                used += 3;
                total += 3;
                lfs = 0;
                i += 4;
                if (used > MIME_B64_FLUSH) {
                    d->used = used;
                    MIME_b64_flush(d);
                    used = 0;
                }
            }
        }
        if (i >= avail)
            break;
        const unsigned char v = cls[p[i]];
        if (v < 64) {
            acc = acc << 6 | v;
            lfs = 0;
            ++i;
            if (++n == 4) {
                out[used] = static_cast<unsigned char>(acc >> 16);
                out[used + 1] = static_cast<unsigned char>(acc >> 8);
                out[used + 2] = static_cast<unsigned char>(acc);
                used += 3;
                total += 3;
                n = 0;
                acc = 0;
                if (used > MIME_B64_FLUSH) {
                    d->used = used;
                    MIME_b64_flush(d);
                    used = 0;
                }
            }
            continue;
        }
        if (v == MIME_B64_CLASS_LF) {
            ++i;
            if (countLf && ++lfs == 3) {
                *blank = 1;
                break;
            }
            continue;
        }
        if (v == MIME_B64_CLASS_SPECIAL)
            break;
        lfs = 0; // CR, other controls, bytes above 127, anything outside the alphabet
        ++i;
    }
    d->acc = acc;
    d->n = n;
    d->lfs = lfs;
    d->used = used;
    d->total = total;
    return i;
}

// The loop over the reader's blocks. Returns a MIME_B64_* state other than GO_ON.
static int MIME_b64_run(struct FFGET_FILE *f, MIME_b64 *d, int boundaries)
{
    for (;;) {
        const char *data;
        const size_t avail = FFGET_block(f, &data);
        if (avail == 0)
            return MIME_B64_END_OF_INPUT;
        const unsigned char *p = reinterpret_cast<const unsigned char *>(data);
        int blank = 0;
        const size_t i = MIME_b64_fast(p, avail, d, !boundaries, &blank);
        if (blank) {
            FFGET_consume(f, i);
            return MIME_B64_BLANK_LINES;
        }
        if (i == avail) {
            FFGET_consume(f, avail);
            continue;
        }
        const unsigned char c = p[i];
        FFGET_consume(f, i + 1);
        d->lfs = 0;
        if (c == 0xFF)
            return MIME_B64_END_OF_INPUT;
        if (c == '=') {
            MIME_b64_padding(d);
            MIME_skip_line(f);
            return MIME_B64_PADDING;
        }
        if (c == '-' && boundaries) {
            // The rest of this line decides: an active boundary ends the body,
            // anything else is decoded on (the "-" itself is skipped).
            char line[MIME_TEXT_LINE + 2];
            line[0] = '-';
            size_t len = 1;
            if (FFGET_fgets(line + 1, MIME_TEXT_LINE, f))
                len += f->last_length;
            else
                line[1] = '\0';
            if (BS_cmp(line, len))
                return MIME_B64_BOUNDARY;
            const int state = MIME_b64_line(d, line + 1, len - 1);
            if (state != MIME_B64_GO_ON)
                return state;
        }
    }
}

static int MIME_decode_64(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h)
{
    MIME_b64 *d = static_cast<MIME_b64 *>(malloc(sizeof(MIME_b64)));
    if (!d)
        return -1;
    d->out = FNFILTER_fopen_output(folder, h->filename, 0600);
    if (!d->out) {
        LOGGER_log("%s:%d:MIME_decode_64:ERROR: Cannot open output file %s/%s for BASE64 decoding. (%s)", FL, folder,
                   h->filename, strerror(errno));
        free(d);
        return -1;
    }
    d->used = 0;
    d->acc = 0;
    d->n = 0;
    d->total = 0;
    d->lfs = 0;
    const int state = MIME_b64_run(f, d, BS_count() > 0);
    MIME_b64_flush(d);
    fclose(d->out);
    const long total = d->total;
    free(d);
    if (state == MIME_B64_END_OF_INPUT)
        return MIME_BASE64_INPUT_ENDED;
    if (state == MIME_B64_BOUNDARY)
        return MIME_BASE64_BOUNDARY;
    return total == 0 ? MIME_BASE64_EMPTY : MIME_OK;
}

// Drops lines up to and including the next boundary line.
static void MIME_decode_64_cleanup(struct FFGET_FILE *f)
{
    char line[128];
    while (FFGET_fgets(line, sizeof line, f)) {
        if (BS_count() > 0 && BS_cmp(line, f->last_length))
            break;
    }
}

/* ---- sniffing --------------------------------------------------------------------- */

int MIME_is_file_RFC822(const char *folder, const char *name)
{
    static const char *const prefixes[] = {"Received: ", "From: ",   "Subject: ", "Date: ",
                                           "Content-",   "content-", "from: ",    "subject: ",
                                           "date: ",     "boundary=", "Boundary="};
    FILE *fp = FNFILTER_fopen_input(folder, name);
    if (!fp) {
        if (!mime.quiet)
            LOGGER_log("%s:%d:MIME_is_file_mime:ERROR: cannot open file '%s/%s' for reading (%s)", FL, folder, name,
                       strerror(errno));
        return 0;
    }
    FFGET_FILE *f = static_cast<FFGET_FILE *>(malloc(sizeof(FFGET_FILE)));
    if (!f) {
        fclose(fp);
        return 0;
    }
    const MIME_reader_flags flags = MIME_save_reader_flags();
    FFGET_set_watch_SDL(0);
    FFGET_setstream(f, fp);
    char line[1025];
    int hits = 0;
    for (int lines = 0; lines < 100 && hits <= 1 && FFGET_fgets(line, 1024, f); ++lines) {
        if ((line[0] == '\r' || line[0] == '\n') && !mime.header_longsearch)
            break;
        for (const char *prefix : prefixes) {
            if (strncasecmp(line, prefix, strlen(prefix)) == 0)
                ++hits;
        }
    }
    MIME_restore_reader_flags(flags);
    free(f);
    fclose(fp);
    return hits > 1;
}

/* ---- the walk ----------------------------------------------------------------------- */

static int MIME_unpack_stage2(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                              struct SS_object *files);

// Unpacks a file that the walk saved in the folder (links in the folder are not followed).
static int MIME_unpack_saved(const char *folder, const char *name, int level, struct SS_object *files)
{
    if (level > mime.recursion_level) {
        LOGGER_log("%s:%d:MIME_unpack_single:WARNING: Current recursion level of %d is greater than permitted %d", FL,
                   level, mime.recursion_level);
        return MIME_RECURSION;
    }
    FILE *fp = FNFILTER_fopen_input(folder, name);
    if (!fp) {
        LOGGER_log("%s:%d:MIME_unpack_single:ERROR: Cannot open file '%s/%s' for reading.\n", FL, folder, name);
        return MIME_ERROR_FILE;
    }
    int result = MIME_unpack_single_fp(folder, fp, level, files);
    fclose(fp);
    if (result == MIME_INPUT_ENDED && level > 1)
        result = MIME_OK;
    return result;
}

static int MIME_decode_encoding(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h,
                                struct SS_object *files, int level)
{
    MIME_name_part(folder, h, files);
    int result;
    switch (h->content_transfer_encoding) {
    case _CTRANS_ENCODING_NONE:
        result = h->content_disposition == _CDISPOSITION_FORMDATA ? MIME_decode_raw(f, folder, h)
                                                                   : MIME_decode_text(f, folder, h);
        break;
    case _CTRANS_ENCODING_B64:
        result = MIME_decode_64(f, folder, h);
        if (result == MIME_OK)
            MIME_decode_64_cleanup(f);
        if (result == MIME_BASE64_BOUNDARY)
            result = MIME_OK;
        break;
    case _CTRANS_ENCODING_7BIT:
    case _CTRANS_ENCODING_8BIT:
    case _CTRANS_ENCODING_QP:
        result = MIME_decode_text(f, folder, h);
        break;
    case _CTRANS_ENCODING_UUENCODE: {
        // A real part name is used for the file; otherwise the begin line names it.
        char uuname[MIMEH_FILENAMELEN_MAX + 1] = "";
        if (strncmp(h->filename, mime.blankfileprefix, strlen(mime.blankfileprefix)) != 0)
            PLD_strncpy(uuname, h->filename, sizeof uuname);
        const int count = UUENCODE_decode_uu(f, folder, nullptr, uuname, sizeof uuname, 0);
        if (count > 0)
            mime_attachment_count += count;
        result = MIME_OK;
        break;
    }
    case _CTRANS_ENCODING_UNSPECIFIED:
        result = MIME_decode_text(f, folder, h);
        if (result != MIME_ERROR_FILE && MIME_is_file_RFC822(folder, h->filename))
            MIME_unpack_saved(folder, h->filename, level + 1, files);
        break;
    default:
        result = MIME_decode_raw(f, folder, h);
        break;
    }

    if (result == MIME_TEXT_NO_LINES || result == MIME_RECURSION || result == MIME_INPUT_ENDED)
        return result;
    if (result != MIME_ERROR_FILE) {
        if (h->content_type == _CTYPE_TNEF) {
            mime_attachment_count++;
            MIME_decode_TNEF(folder, h);
        }
        if (mime.decode_mht && (PLD_strstr(h->filename, ".mht", 1) || PLD_strstr(h->name, ".mht", 1)))
            MIME_unpack_saved(folder, h->filename, level + 1, files);
    }
    MIME_generate_multiple_hardlink_filenames(h, folder);
    return result;
}

// Reads header blocks until one holds a recognised header. Returns 0, or 241 when the
// input ended first.
static int MIME_read_headers(struct FFGET_FILE *f, struct MIMEH_header_info *h)
{
    for (;;) {
        const int r = MIMEH_parse_headers(f, h);
        mime_header_defect_count += MIMEH_get_defect_count(h);
        if (h->recognised > 0) {
            if (h->subject[0] && !mime_subject[0])
                PLD_strncpy(mime_subject, h->subject, sizeof mime_subject);
            return MIME_OK;
        }
        if (r == -1)
            return MIME_INPUT_ENDED;
    }
}

// Pushes a declared boundary, and its variants without a stray double quote.
static void MIME_push_boundary(struct MIMEH_header_info *h)
{
    BS_push(h->boundary);
    const size_t len = strlen(h->boundary);
    if (len > 0 && h->boundary[0] == '"') {
        BS_push(h->boundary + 1);
        mime_header_defect_count++;
        h->defects[MIMEH_DEFECT_BOUNDARY_QUOTED]++;
    }
    if (len > 0 && h->boundary[len - 1] == '"') {
        char trimmed[MIMEH_STRLEN_MAX];
        PLD_memtostr(trimmed, sizeof trimmed, h->boundary, len - 1);
        BS_push(trimmed);
        mime_header_defect_count++;
        h->defects[MIMEH_DEFECT_BOUNDARY_QUOTED]++;
    }
}

static int MIME_doubleCR_decode(const char *folder, int level, struct SS_object *files)
{
    char name[MIMEH_FILENAMELEN_MAX + 1];
    PLD_strncpy(name, MIMEH_get_doubleCR_name(), sizeof name);
    if (!name[0])
        return 0;
    if (MIME_is_file_RFC822(folder, name)) {
        if (mime.verbosity)
            LOGGER_log("Attempting to decode Double-CR delimeted MIME attachment '%s'\n", name);
        return MIME_unpack_saved(folder, name, level, files);
    }
    if (UUENCODE_is_file_uuencoded(folder, name) == 1) {
        if (mime.verbosity)
            LOGGER_log("Attempting to decode UUENCODED attachment from Double-CR delimeted attachment '%s'\n", name);
        const MIME_reader_flags flags = MIME_save_reader_flags();
        UUENCODE_set_doubleCR_mode(1);
        char uuname[MIMEH_FILENAMELEN_MAX + 1] = "";
        const int count = UUENCODE_decode_uu(nullptr, folder, name, uuname, sizeof uuname, 1);
        UUENCODE_set_doubleCR_mode(0);
        MIME_restore_reader_flags(flags);
        if (count > 0)
            mime_attachment_count += count;
    }
    return 0;
}

// A multipart or message part that is itself encoded or named is saved, then its file
// is walked; otherwise the walk goes on into it in line.
static int MIME_handle_container(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                                 struct SS_object *files, int isMessage)
{
    if (h->content_transfer_encoding == _CTRANS_ENCODING_B64 || h->filename[0]) {
        int result = MIME_decode_encoding(f, folder, h, files, level);
        if (result != MIME_ERROR_FILE)
            MIME_unpack_saved(folder, h->filename, level, files);
        return isMessage ? MIME_OK : result;
    }
    h->boundary_located = 0;
    const int result = MIME_unpack_stage2(f, folder, h, level, files);
    if (BS_top())
        PLD_strncpy(h->boundary, BS_top(), sizeof h->boundary);
    return result;
}

static int MIME_handle_plain(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                             struct SS_object *files)
{
    const int result = MIME_decode_encoding(f, folder, h, files, level);
    if ((result == MIME_OK || result == MIME_INPUT_ENDED) && MIME_is_file_RFC822(folder, h->filename)) {
        const int longsearch = MIMEH_get_header_longsearch();
        if (mime.header_longsearch)
            MIMEH_set_header_longsearch(MIME_LONGSEARCH_BLOCKS);
        MIME_unpack_saved(folder, h->filename, level, files);
        MIMEH_set_header_longsearch(longsearch);
    }
    return result;
}

static void MIME_clear_part(struct MIMEH_header_info *h)
{
    h->content_type = _CTYPE_UNSPECIFIED;
    h->filename[0] = '\0';
    h->name[0] = '\0';
    h->content_transfer_encoding = _CTRANS_ENCODING_UNSPECIFIED;
    h->content_disposition = _CDISPOSITION_UNSPECIFIED;
}

// The parts after a multipart preamble, one header block and body at a time.
static int MIME_walk_parts(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                           struct SS_object *files)
{
    for (;;) {
        MIME_clear_part(h);
        if (MIME_read_headers(f, h) != MIME_OK)
            return MIME_INPUT_ENDED;
        if (h->boundary_located)
            MIME_push_boundary(h);

        const int multipart = MIMEH_is_contenttype(_CTYPE_MULTIPART, h->content_type);
        int result;
        if (h->content_type != _CTYPE_RFC822 && !multipart) {
            result = MIME_decode_encoding(f, folder, h, files, level);
            if (result != MIME_OK)
                return result;
            if (MIME_is_file_RFC822(folder, h->filename))
                MIME_unpack_saved(folder, h->filename, level + 1, files);
            continue;
        }
        if (h->content_type == _CTYPE_RFC822) {
            result = MIME_handle_container(f, folder, h, level, files, 1);
        } else if (h->content_transfer_encoding == _CTRANS_ENCODING_B64 || h->filename[0]) {
            // An encoded or named multipart is taken for an AppleDouble container.
            h->content_type = _CTYPE_MULTIPART_APPLEDOUBLE;
            if (h->content_disposition == _CDISPOSITION_INLINE) {
                result = MIME_decode_encoding(f, folder, h, files, level);
                if (result != MIME_ERROR_FILE)
                    MIME_unpack_saved(folder, h->filename, level, files);
                if (result == MIME_OK)
                    continue;
            } else {
                result = MIME_unpack_stage2(f, folder, h, level, files);
            }
        } else {
            result = MIME_unpack_stage2(f, folder, h, level, files);
            if (BS_top())
                PLD_strncpy(h->boundary, BS_top(), sizeof h->boundary);
        }
        if (result != MIME_OK && result != MIME_TEXT_NO_LINES)
            return result;
    }
}

static int MIME_stage2_body(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                            struct SS_object *files)
{
    if (MIME_read_headers(f, h) != MIME_OK)
        return MIME_INPUT_ENDED;

    if (FFGET_get_doubleCR() || MIMEH_get_doubleCR()) {
        if (MIMEH_get_doubleCR())
            MIME_doubleCR_decode(folder, level, files);
        MIMEH_set_doubleCR(0);
        FFGET_set_doubleCR(0);
        FFGET_set_crmode(0);
    }

    if (h->boundary_located) {
        MIME_push_boundary(h);
        const int result = MIME_decode_encoding(f, folder, h, files, level); // the preamble
        if (result != MIME_OK || BS_count() == 0)
            return result;
        return MIME_walk_parts(f, folder, h, level, files);
    }
    if (h->content_type == _CTYPE_RFC822)
        return MIME_handle_container(f, folder, h, level, files, 1);
    if (MIMEH_is_contenttype(_CTYPE_MULTIPART, h->content_type))
        return MIME_handle_container(f, folder, h, level, files, 0);
    return MIME_handle_plain(f, folder, h, level, files);
}

static int MIME_unpack_stage2(struct FFGET_FILE *f, const char *folder, struct MIMEH_header_info *h, int level,
                              struct SS_object *files)
{
    if (level > mime.recursion_level || mime_walk_depth >= MIME_WALK_DEPTH_MAX) {
        if (mime.verbosity)
            LOGGER_log("%s:%d:MIME_unpack_single:WARNING: Current recursion level of %d is greater than permitted %d",
                       FL, level, mime.recursion_level);
        return MIME_RECURSION;
    }
    ++mime_walk_depth;
    const int result = MIME_stage2_body(f, folder, h, level, files);
    --mime_walk_depth;
    return result;
}

/* ---- entry points ------------------------------------------------------------------ */

int MIME_unpack_single_fp(const char *folder, FILE *fp, int level, struct SS_object *files)
{
    if (level > mime.recursion_level) {
        LOGGER_log("%s:%d:MIME_unpack_single:WARNING: Current recursion level of %d is greater than permitted %d", FL,
                   level, mime.recursion_level);
        return MIME_RECURSION;
    }
    int openedDump = 0;
    if (mime.dumpheaders && !mime_headers_file) {
        char name[MIMEH_FILENAMELEN_MAX + 1];
        PLD_strncpy(name, mime.headersname, sizeof name);
        FNFILTER_confine(name, sizeof name);
        mime_headers_file = FNFILTER_fopen_output(folder, name, 0644);
        if (!mime_headers_file) {
            LOGGER_log("%s:%d:MIME_unpack_single_fp:ERROR: Cannot open '%s/%s' for writing  (%s)", FL, folder, name,
                       strerror(errno));
            mime.dumpheaders = 0;
        } else {
            MIMEH_set_headers_save(mime_headers_file);
            openedDump = 1;
        }
    }

    FFGET_FILE *f = static_cast<FFGET_FILE *>(malloc(sizeof(FFGET_FILE)));
    MIMEH_header_info *h = static_cast<MIMEH_header_info *>(malloc(sizeof(MIMEH_header_info)));
    int result = MIME_ERROR_FILE;
    if (f && h) {
        FFGET_setstream(f, fp);
        MIMEH_header_info_init(h);
        result = MIME_unpack_stage2(f, folder, h, level + 1, files);
        if (mime.verbose_defects) {
            LOGGER_log("Total header defects: %d", MIMEH_get_defect_count(h) + mime_header_defect_count);
            MIMEH_dump_defects(h);
        }
        MIMEH_header_info_done(h);
    }
    free(h);
    free(f);
    if (openedDump)
        MIME_close();
    return result;
}

int MIME_unpack_single(const char *folder, const char *mailpack, int level, struct SS_object *files)
{
    if (level > mime.recursion_level) {
        LOGGER_log("%s:%d:MIME_unpack_single:WARNING: Current recursion level of %d is greater than permitted %d", FL,
                   level, mime.recursion_level);
        return MIME_RECURSION;
    }
    FILE *fp = strcmp(mailpack, "-") == 0 ? stdin : fopen(mailpack, "rb");
    if (!fp) {
        LOGGER_log("%s:%d:MIME_unpack_single:ERROR: Cannot open file '%s' for reading.\n", FL, mailpack);
        return MIME_ERROR_FILE;
    }
    int result = MIME_unpack_single_fp(folder, fp, level, files);
    if (fp != stdin)
        fclose(fp);
    if (result == MIME_INPUT_ENDED && level > 1)
        result = MIME_OK;
    return result;
}

// Closes, unpacks and removes one mailbox piece.
static void MIME_mailbox_piece_done(const char *folder, FILE **out, const char *name, int level,
                                    struct SS_object *files)
{
    if (!*out)
        return;
    fclose(*out);
    *out = nullptr;
    MIME_unpack_saved(folder, name, level, files);
    if (FNFILTER_remove(folder, name) != 0)
        LOGGER_log("%s:%d:MIME_unpack_mailbox:ERROR: removing temporary mailpack '%s/%s' (%s)", FL, folder, name,
                   strerror(errno));
}

int MIME_unpack_mailbox(const char *folder, const char *mailpack, int level, struct SS_object *files)
{
    FILE *in = strcmp(mailpack, "-") == 0 ? stdin : fopen(mailpack, "rb");
    if (!in) {
        LOGGER_log("%s:%d:MIME_unpack_mailbox:ERROR: Cannot open file '%s' for reading.\n", FL, mailpack);
        return MIME_ERROR_FILE;
    }
    FFGET_FILE *f = static_cast<FFGET_FILE *>(malloc(sizeof(FFGET_FILE)));
    if (!f) {
        if (in != stdin)
            fclose(in);
        return MIME_ERROR_FILE;
    }
    FFGET_setstream(f, in);
    int number = 0, previousEmpty = 1, atLineStart = 1, written = 0;
    char name[MIMEH_FILENAMELEN_MAX + 1];
    snprintf(name, sizeof name, "tmp.email%03d.mailpack", number);
    FILE *out = FNFILTER_fopen_output(folder, name, 0600);
    char line[1025];
    while (out && FFGET_fgets(line, 1024, f)) {
        const size_t len = f->last_length;
        if (atLineStart && previousEmpty && strncasecmp(line, "From ", 5) == 0) {
            if (written) {
                MIME_mailbox_piece_done(folder, &out, name, level, files);
                snprintf(name, sizeof name, "tmp.email%03d.mailpack", ++number);
                out = FNFILTER_fopen_output(folder, name, 0600);
                written = 0;
            }
        } else if (out) {
            fwrite(line, 1, len, out);
            written = 1;
        }
        const int endsLine = line[len - 1] == '\n' || line[len - 1] == '\r';
        previousEmpty = atLineStart && endsLine && strspn(line, "\r\n") == len;
        atLineStart = endsLine;
    }
    if (!out)
        LOGGER_log("%s:%d:MIME_unpack_mailbox:ERROR: Cannot open '%s/%s' for writing (%s)", FL, folder, name,
                   strerror(errno));
    MIME_mailbox_piece_done(folder, &out, name, level, files);
    free(f);
    if (in != stdin)
        fclose(in);
    return MIME_OK;
}

int MIME_unpack(const char *folder, const char *mailpack, int level)
{
    if (level > mime.recursion_level)
        return MIME_RECURSION;
    MIMEH_set_outputdir(folder);
    SS_object files;
    SS_init(&files);
    int result = mime.mailboxformat ? MIME_unpack_mailbox(folder, mailpack, level + 1, &files)
                                    : MIME_unpack_single(folder, mailpack, level + 1, &files);

    if (mime.no_nameless) {
        char name[MIMEH_FILENAMELEN_MAX + 1];
        const size_t prefixLen = strlen(mime.blankfileprefix);
        while (SS_pop(&files, name, sizeof name) == 0) {
            if (strncmp(name, mime.blankfileprefix, prefixLen) != 0)
                continue;
            const int status = FNFILTER_remove(folder, name);
            if (mime.verbosity) {
                if (status == 0)
                    LOGGER_log("Removed %s [status = %d]\n", name, status);
                else
                    LOGGER_log("Error removing '%s'; %s", name, strerror(errno));
            }
        }
    }
    SS_done(&files);
    if (result == MIME_BASE64_BOUNDARY || result == MIME_TEXT_NO_LINES || result == MIME_RECURSION ||
        result == MIME_INPUT_ENDED)
        result = MIME_OK;
    if (level == 0)
        BS_clear();
    return result;
}
