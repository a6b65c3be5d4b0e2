#include "MIME_headers.h"

#include "filename-filters.h"
#include "libmime-decoders.h"
#include "logger.h"
#include "pldstr.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>


namespace {

constexpr int MIMEH_LINE_MAX = 1023; // FFGET size: lines of up to 1022 characters

int mimeh_verbose = 0;
int mimeh_debug = 0;
int mimeh_headerfix = 1;
int mimeh_doubleCR_save = 1;
int mimeh_save_original = 0;
int mimeh_longsearch = 0;
int mimeh_mailbox = 0;
int mimeh_webform = 0;
FILE *mimeh_headers_file = nullptr;
char mimeh_outputdir[1024] = "";

int mimeh_doubleCR = 0;
int mimeh_doubleCR_count = 0; // numbers of double-CR files, never going back
char mimeh_doubleCR_name[MIMEH_FILENAMELEN_MAX + 1] = "";
// Name of the last AppleDouble container, for the applefile part that follows it.
char mimeh_appledouble_filename[MIMEH_FILENAMELEN_MAX + 1] = "";

} // namespace

int MIMEH_init()
{
    mimeh_verbose = 0;
    mimeh_debug = 0;
    mimeh_headerfix = 1;
    mimeh_doubleCR_save = 1;
    mimeh_save_original = 0;
    mimeh_longsearch = 0;
    mimeh_mailbox = 0;
    mimeh_webform = 0;
    mimeh_headers_file = nullptr;
    mimeh_outputdir[0] = '\0';
    mimeh_doubleCR = 0;
    return 0;
}

int MIMEH_reset()
{
    MIMEH_init();
    mimeh_doubleCR_count = 0;
    mimeh_doubleCR_name[0] = '\0';
    mimeh_appledouble_filename[0] = '\0';
    return 0;
}

int MIMEH_set_verbosity(int level) { return mimeh_verbose = level; }
int MIMEH_set_debug(int level) { return mimeh_debug = level; }
int MIMEH_set_headerfix(int level) { return mimeh_headerfix = level; }
int MIMEH_set_doubleCR_save(int level) { return mimeh_doubleCR_save = level; }
int MIMEH_get_doubleCR_save() { return mimeh_doubleCR_save; }
int MIMEH_set_headers_save_original(int level) { return mimeh_save_original = level; }
int MIMEH_set_header_longsearch(int blocks) { return mimeh_longsearch = blocks > 0 ? blocks : 0; }
int MIMEH_get_header_longsearch() { return mimeh_longsearch; }
int MIMEH_set_mailbox(int level) { return mimeh_mailbox = level; }
int MIMEH_set_webform(int level) { return mimeh_webform = level; }
int MIMEH_get_doubleCR() { return mimeh_doubleCR; }
int MIMEH_set_doubleCR(int level) { return mimeh_doubleCR = level; }
const char *MIMEH_get_doubleCR_name() { return mimeh_doubleCR_name; }
FILE *MIMEH_get_headers_save() { return mimeh_headers_file; }

int MIMEH_set_outputdir(const char *dir)
{
    PLD_strncpy(mimeh_outputdir, dir ? dir : "", sizeof mimeh_outputdir);
    return 0;
}

int MIMEH_set_headers_save(FILE *f)
{
    mimeh_headers_file = f;
    return 0;
}

int MIMEH_set_headers_nosave()
{
    mimeh_headers_file = nullptr;
    return 0;
}

void MIMEH_header_info_init(struct MIMEH_header_info *h)
{
    memset(h, 0, sizeof *h);
    SS_init(&h->ss_names);
    SS_init(&h->ss_filenames);
    h->content_type = _CTYPE_UNKNOWN;
    PLD_strncpy(h->content_type_string, "text/plain", sizeof h->content_type_string);
    PLD_strncpy(h->delimeter, "\n", sizeof h->delimeter);
}

void MIMEH_header_info_done(struct MIMEH_header_info *h)
{
    SS_done(&h->ss_names);
    SS_done(&h->ss_filenames);
}

// Clears what one header block fills; the name lists stay.
static void MIMEH_reset_record(struct MIMEH_header_info *h, const struct FFGET_FILE *f)
{
    h->content_type = _CTYPE_UNKNOWN;
    PLD_strncpy(h->content_type_string, "text/plain", sizeof h->content_type_string);
    h->boundary[0] = '\0';
    h->boundary_located = 0;
    h->filename[0] = '\0';
    h->name[0] = '\0';
    h->content_transfer_encoding = _CTRANS_ENCODING_NONE;
    h->content_transfer_encoding_string[0] = '\0';
    h->content_disposition = _CDISPOSITION_NONE;
    h->content_disposition_string[0] = '\0';
    h->charset[0] = '\0';
    h->subject[0] = '\0';
    h->date[0] = h->from[0] = h->to[0] = h->messageid[0] = h->received[0] = '\0';
    h->uudec_name[0] = '\0';
    h->recognised = 0;
    h->crlf_count = h->crcr_count = h->lf_count = 0;
    PLD_strncpy(h->delimeter, f && f->linebreak == FFGET_LINEBREAK_CRLF ? "\r\n" : "\n", sizeof h->delimeter);
    memset(h->defects, 0, sizeof h->defects);
    h->header_defect_count = 0;
}

static void MIMEH_defect(struct MIMEH_header_info *h, int defect)
{
    if (defect > 0 && defect < MIMEH_DEFECT_ARRAY_SIZE) {
        h->defects[defect]++;
        h->header_defect_count++;
    }
}

int MIMEH_get_defect_count(const struct MIMEH_header_info *h) { return h->header_defect_count; }

int MIMEH_dump_defects(const struct MIMEH_header_info *h)
{
    for (int i = 0; i < MIMEH_DEFECT_ARRAY_SIZE; ++i) {
        if (h->defects[i])
            LOGGER_log("%s:%d:MIMEH_dump_defects: defect %d: %d time(s)", FL, i, h->defects[i]);
    }
    return 0;
}

/* ---- reading one block ------------------------------------------------------------ */

// Growing text of one header block, capped at MIMEH_MAX_HEADER_BYTES.
struct MIMEH_block {
    char *text;
    size_t len;
    size_t cap;
    int full;
};

static int MIMEH_block_append(struct MIMEH_block *b, const char *data, size_t n)
{
    if (b->full || b->len + n > MIMEH_MAX_HEADER_BYTES) {
        b->full = 1; // the rest of the block is dropped: it is already larger than any real one
        return 0;
    }
    if (b->len + n + 1 > b->cap) {
        size_t cap = b->cap ? b->cap : 4096;
        while (cap < b->len + n + 1)
            cap *= 2;
        char *grown = static_cast<char *>(realloc(b->text, cap));
        if (!grown) {
            LOGGER_log("%s:%d:MIMEH_read_headers:ERROR: Cannot allocate %d bytes to contain new headers ", FL,
                       int(cap));
            return -1;
        }
        b->text = grown;
        b->cap = cap;
    }
    memcpy(b->text + b->len, data, n);
    b->len += n;
    b->text[b->len] = '\0';
    return 0;
}

// Writes the rest of the line on which a CR CR line end was met (up to and including the
// next LF) to the next free doubleCR.N of the output folder.
static void MIMEH_save_doubleCR(struct FFGET_FILE *f)
{
    char name[MIMEH_FILENAMELEN_MAX + 1];
    do {
        ++mimeh_doubleCR_count;
        snprintf(name, sizeof name, "doubleCR.%d", mimeh_doubleCR_count);
    } while (FNFILTER_exists(mimeh_outputdir, name));

    FILE *out = FNFILTER_fopen_output(mimeh_outputdir, name, 0600);
    if (!out) {
        LOGGER_log("%s:%d:MIMEH_save_doubleCR:ERROR: unable to open '%s/%s' to write (%s)", FL, mimeh_outputdir,
                   name, strerror(errno));
        return;
    }
    int c;
    while ((c = FFGET_fgetc(f)) != EOF) {
        fputc(c, out);
        f->c = static_cast<char>(c);
        if (c == '\n')
            break;
    }
    fclose(out);
    PLD_strncpy(mimeh_doubleCR_name, name, sizeof mimeh_doubleCR_name);
    mimeh_doubleCR = 1;
}

static void MIMEH_count_linebreak(struct MIMEH_header_info *h, const struct FFGET_FILE *f)
{
    switch (f->linebreak) {
    case FFGET_LINEBREAK_CRLF: h->crlf_count++; break;
    case FFGET_LINEBREAK_CRCR: h->crcr_count++; break;
    case FFGET_LINEBREAK_LF: h->lf_count++; break;
    default: break;
    }
}

// Reads lines up to an empty line. Returns 0, 1 when nothing was read, -1 at end of input
// or when memory runs out.
static int MIMEH_read_headers(struct FFGET_FILE *f, struct MIMEH_header_info *h, struct MIMEH_block *b)
{
    char line[MIMEH_LINE_MAX + 1];
    int result = 0, lines = 0, savedDoubleCR = 0;
    const int watch = FFGET_get_watch_SDL();
    FFGET_set_watch_SDL(1);
    for (;;) {
        if (!FFGET_fgets(line, MIMEH_LINE_MAX, f)) {
            result = -1;
            break;
        }
        MIMEH_count_linebreak(h, f);
        if (f->trueblank)
            break;
        ++lines;
        // A folded line joins the previous one, its leading blank kept.
        if ((line[0] == ' ' || line[0] == '\t') && b->len > 0) {
            while (b->len > 0 && (b->text[b->len - 1] == '\r' || b->text[b->len - 1] == '\n'))
                b->text[--b->len] = '\0';
        }
        if (MIMEH_block_append(b, line, f->last_length) < 0) {
            result = -1;
            break;
        }
        if (f->linebreak == FFGET_LINEBREAK_CRCR && mimeh_doubleCR_save && !savedDoubleCR) {
            MIMEH_save_doubleCR(f);
            savedDoubleCR = 1;
        }
    }
    FFGET_set_watch_SDL(watch);
    if (result == 0 && lines == 0)
        result = 1;
    if (h->crlf_count > 0 && h->crlf_count >= h->lf_count)
        PLD_strncpy(h->delimeter, "\r\n", sizeof h->delimeter);
    else
        PLD_strncpy(h->delimeter, "\n", sizeof h->delimeter);
    return result;
}

int MIMEH_fix_header_mistakes(char *text)
{
    int joins = 0;
    for (char *p = strchr(text, ';'); p; p = strchr(p + 1, ';')) {
        if (p[1] != '\r' && p[1] != '\n')
            continue;
        char *eol = p + 1;
        size_t n = (eol[1] == '\r' || eol[1] == '\n') ? 2 : 1;
        if (strncasecmp(eol + n, "Content-Type:", 13) == 0)
            continue;
        memset(eol, ' ', n);
        ++joins;
    }
    return joins;
}

int MIMEH_are_headers_RFC822(const char *text)
{
    static const char *const words[] = {"received", "from", "subject", "date", "content", "boundary"};
    int found[6] = {0, 0, 0, 0, 0, 0};
    for (const char *p = text; p && *p;) {
        for (int i = 0; i < 6; ++i) {
            if (!found[i] && strncasecmp(p, words[i], strlen(words[i])) == 0)
                found[i] = 1;
        }
        p = strpbrk(p, "\r\n");
        if (p)
            p += strspn(p, "\r\n");
    }
    return found[0] + found[1] + found[2] + found[3] + found[4] + found[5];
}

static void MIMEH_dump(const char *text)
{
    if (mimeh_headers_file && text) {
        fputs(text, mimeh_headers_file);
        fputs("\n", mimeh_headers_file);
    }
}

// Reads one block into *text (malloc'd, to be freed by the caller), repaired, decoded and
// dumped. With long search, blocks that do not look like headers are skipped.
static int MIMEH_headers_get(struct FFGET_FILE *f, struct MIMEH_header_info *h, char **text)
{
    int result = 0;
    for (int block = 1;; ++block) {
        MIMEH_reset_record(h, f);
        MIMEH_block b = {nullptr, 0, 0, 0};
        result = MIMEH_read_headers(f, h, &b);
        if (!b.text) {
            b.text = static_cast<char *>(calloc(1, 1));
            if (!b.text)
                return -1;
        }
        if (mimeh_save_original)
            MIMEH_dump(b.text);
        if (mimeh_headerfix)
            MIMEH_fix_header_mistakes(b.text);
        MDECODE_decode_ISO(b.text, b.len + 1);
        MIMEH_dump(b.text);
        if (mimeh_longsearch > 0 && result == 0 && block < mimeh_longsearch && !MIMEH_are_headers_RFC822(b.text)) {
            free(b.text);
            continue;
        }
        *text = b.text;
        return result;
    }
}

/* ---- processing one block --------------------------------------------------------- */

// Removes "(comments)" outside double quotes; a "(" whose line has no ")" stays.
static void MIMEH_strip_comments(char *text)
{
    char *out = text;
    int quoted = 0;
    const char *noCloseUntil = text; // end of a line known to hold no further ")"
    for (char *p = text; *p;) {
        if (*p == '\r' || *p == '\n') {
            quoted = 0;
            *out++ = *p++;
            continue;
        }
        if (*p == '"')
            quoted = !quoted;
        if (*p == '(' && !quoted && p >= noCloseUntil) {
            char *close = p + 1 + strcspn(p + 1, ")\r\n");
            if (*close == ')') {
                p = close + 1;
                continue;
            }
            noCloseUntil = close;
        }
        *out++ = *p++;
    }
    *out = '\0';
}

static void MIMEH_copy_value(char *dst, size_t size, const char *value)
{
    PLD_strncpy(dst, value, size);
}

// Copies value up to the first of the delimiters, lower-cased.
static void MIMEH_copy_token(char *dst, size_t size, const char *value, const char *delimiters)
{
    PLD_memtostr(dst, size, value, strcspn(value, delimiters));
    PLD_strtolower(dst);
}

int MIMEH_content_type_code(const char *lowered)
{
    static const struct {
        const char *text;
        int code;
    } table[] = {
        {"multipart/appledouble", _CTYPE_MULTIPART_APPLEDOUBLE},
        {"multipart/signed", _CTYPE_MULTIPART_SIGNED},
        {"multipart/related", _CTYPE_MULTIPART_RELATED},
        {"multipart/mixed", _CTYPE_MULTIPART_MIXED},
        {"multipart/alternative", _CTYPE_MULTIPART_ALTERNATIVE},
        {"multipart/report", _CTYPE_MULTIPART_REPORT},
        {"multipart/", _CTYPE_MULTIPART},
        {"text/calendar", _CTYPE_TEXT_CALENDAR},
        {"text/plain", _CTYPE_TEXT_PLAIN},
        {"text/html", _CTYPE_TEXT_HTML},
        {"text/", _CTYPE_TEXT},
        {"image/gif", _CTYPE_IMAGE_GIF},
        {"image/jpeg", _CTYPE_IMAGE_JPEG},
        {"image/", _CTYPE_IMAGE},
        {"audio/", _CTYPE_AUDIO},
        {"message/rfc822", _CTYPE_RFC822},
        {"/octet-stream", _CTYPE_OCTECT},
        {"/ms-tnef", _CTYPE_TNEF},
        {"application/applefile", _CTYPE_APPLICATION_APPLEFILE},
    };
    for (const auto &row : table) {
        if (strstr(lowered, row.text))
            return row.code;
    }
    return _CTYPE_UNKNOWN;
}

int MIMEH_is_contenttype(int range, int code) { return range / 100 == code / 100 ? 1 : 0; }

static int MIMEH_transfer_encoding_code(const char *lowered)
{
    if (!*lowered)
        return _CTRANS_ENCODING_NONE;
    if (strstr(lowered, "base64"))
        return _CTRANS_ENCODING_B64;
    if (strstr(lowered, "7bit"))
        return _CTRANS_ENCODING_7BIT;
    if (strstr(lowered, "8bit"))
        return _CTRANS_ENCODING_8BIT;
    if (strstr(lowered, "quoted-printable"))
        return _CTRANS_ENCODING_QP;
    if (strstr(lowered, "binary"))
        return _CTRANS_ENCODING_BINARY;
    if (strstr(lowered, "uu") || strstr(lowered, "x-u") || strcmp(lowered, "u") == 0)
        return _CTRANS_ENCODING_UUENCODE;
    return _CTRANS_ENCODING_RAW;
}

static int MIMEH_is_param_delimiter(char c) { return c == ';' || c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// RFC 2231: name*0*=charset'lang'%XX..;name*1=more... Every piece in the rest of the
// header is appended in order; the first one must be at text itself.
static int MIMEH_parse_rfc2231(const char *text, const char *param, char *value, size_t size, const char **after)
{
    const size_t n = strlen(param);
    int pieces = 0;
    value[0] = '\0';
    for (const char *p = text; (p = PLD_strstr(p, param, 1)) != nullptr;) {
        if (p != text && !MIMEH_is_param_delimiter(p[-1])) {
            p += n;
            continue;
        }
        const char *q = p + n;
        if (*q != '*') {
            if (p == text)
                return 1;
            p = q;
            continue;
        }
        ++q;
        while (isdigit(static_cast<unsigned char>(*q)))
            ++q;
        if (*q == '*')
            ++q;
        // name*= and name*N*= carry a charset and percent escapes; name*N= is plain text.
        const int extended = (q[-1] == '*');
        if (*q != '=') {
            if (p == text)
                return 1; // not a piece: the caller moves on without scanning the rest again
            p = q;
            continue;
        }
        ++q;
        const size_t len = strcspn(q, "; \t\r\n");
        char piece[MIMEH_STRLEN_MAX];
        PLD_memtostr(piece, sizeof piece, q, len);
        size_t plen = strlen(piece);
        if (plen >= 2 && piece[0] == '"' && piece[plen - 1] == '"') {
            memmove(piece, piece + 1, plen - 2);
            piece[plen - 2] = '\0';
        }
        if (extended) {
            const char *first = strchr(piece, '\'');
            const char *second = first ? strchr(first + 1, '\'') : nullptr;
            if (second)
                memmove(piece, second + 1, strlen(second + 1) + 1);
            MDECODE_decode_quoted_printable(piece, '%', strlen(piece));
        }
        PLD_strncat(value, piece, size);
        ++pieces;
        p = q + len;
        *after = p;
    }
    return pieces > 0 ? 0 : 1;
}

int MIMEH_parse_header_parameter(struct MIMEH_header_info *h, const char *text, const char *param, char *value,
                                 size_t size, const char **after)
{
    if (!text || !param || !value || size == 0)
        return 1;
    const size_t n = strlen(param);
    if (strncasecmp(text, param, n) != 0 || !strchr(" \t*=", text[n]) || text[n] == '\0')
        return 1;
    const char *p = text + n;
    if (*p == '*')
        return MIMEH_parse_rfc2231(text, param, value, size, after);

    p += strspn(p, " \t");
    if (*p != '=') {
        MIMEH_defect(h, MIMEH_DEFECT_MISSING_SEPARATORS);
    } else {
        ++p;
        for (;;) {
            p += strspn(p, " \t");
            if (*p != '=')
                break;
            MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_EQUALS_SEPARATORS);
            ++p;
        }
    }
    const char *start = p, *end;
    if (*p == '"') {
        ++p;
        while (*p == '"') {
            MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_QUOTES);
            ++p;
        }
        const char *close = strchr(p, '"');
        if (close) {
            start = p;
            end = close;
            *after = close + 1;
        } else {
            // Unbalanced: the value keeps its opening quote and runs to the next delimiter.
            MIMEH_defect(h, MIMEH_DEFECT_UNBALANCED_QUOTES);
            end = p + strcspn(p, "; \r\n\t");
            *after = end;
        }
    } else {
        end = p + strcspn(p, "; \r\n\t");
        *after = end;
    }
    PLD_memtostr(value, size, start, size_t(end - start));
    size_t vlen = strlen(value);
    if (vlen >= 2 && (value[0] == '"' || value[0] == '\'') && value[vlen - 1] == value[0]) {
        memmove(value, value + 1, vlen - 2);
        value[vlen - 2] = '\0';
    }
    return 0;
}

// A name or filename parameter value, filtered into a part name.
static void MIMEH_filtered_name(char *dst, size_t size, const char *raw)
{
    PLD_strncpy(dst, raw, size);
    FNFILTER_filter(dst, size);
}

static void MIMEH_set_filename(struct MIMEH_header_info *h, const char *filtered, const char *raw)
{
    PLD_strncpy(h->filename, filtered, sizeof h->filename);
    PLD_strncpy(h->name, raw, sizeof h->name);
}

static void MIMEH_parse_contenttype(struct MIMEH_header_info *h, const char *value)
{
    char *lowered = strdup(value);
    if (!lowered)
        return;
    PLD_strtolower(lowered);
    h->content_type = MIMEH_content_type_code(lowered);
    MIMEH_copy_token(h->content_type_string, sizeof h->content_type_string, lowered, "; \t\r\n");
    if (strstr(lowered, "x-mac-type=") && strstr(lowered, "x-mac-creator=")) {
        h->x_mac = 1;
        FNFILTER_set_mac(1);
    }
    free(lowered);

    // Parameters are read from the text as written: boundaries and names keep their case.
    const char *p = value + strcspn(value, ";\t\n\r ");
    while (*p) {
        p += strspn(p, ";\t\n\r ");
        if (!*p)
            break;
        char raw[MIMEH_STRLEN_MAX];
        const char *afterName = p;
        if (MIMEH_parse_header_parameter(h, p, "name", raw, sizeof raw, &afterName) == 0) {
            char filtered[MIMEH_FILENAMELEN_MAX + 1];
            MIMEH_filtered_name(filtered, sizeof filtered, raw);
            if (!SS_cmp(&h->ss_names, filtered)) {
                SS_push(&h->ss_names, filtered, strlen(filtered));
                if (SS_count(&h->ss_names) > 1)
                    MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_NAMES);
            }
            // A name already listed (an earlier part of the same name) still names this one.
            if (h->filename[0] == '\0')
                MIMEH_set_filename(h, filtered, raw);
        }
        const char *from = afterName > p ? afterName : p;
        const char *afterBoundary = from;
        if (MIMEH_parse_header_parameter(h, from, "boundary", h->boundary, sizeof h->boundary, &afterBoundary) == 0) {
            if (++h->boundary_located > 1) {
                MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_BOUNDARIES);
                h->boundary_located = 1;
            }
            from = afterBoundary;
        }
        p = from + strcspn(from, ";\n\r ");
    }
}

static void MIMEH_parse_contentdisposition(struct MIMEH_header_info *h, const char *value)
{
    char *lowered = strdup(value);
    if (!lowered)
        return;
    PLD_strtolower(lowered);
    if (strstr(lowered, "inline"))
        h->content_disposition = _CDISPOSITION_INLINE;
    else if (strstr(lowered, "form-data"))
        h->content_disposition = _CDISPOSITION_FORMDATA;
    else if (strstr(lowered, "attachment"))
        h->content_disposition = _CDISPOSITION_ATTACHMENT;
    else
        h->content_disposition = _CDISPOSITION_NONE;
    MIMEH_copy_token(h->content_disposition_string, sizeof h->content_disposition_string, lowered, " ;\t\r\n");
    free(lowered);

    char lastRaw[MIMEH_STRLEN_MAX] = "";
    char lastFiltered[MIMEH_FILENAMELEN_MAX + 1] = "";
    const char *p = value + strcspn(value, ";\t\n\r ");
    while (*p) {
        p += strspn(p, ";\t\n\r ");
        if (!*p)
            break;
        const char *after = p;
        char raw[MIMEH_STRLEN_MAX];
        if (MIMEH_parse_header_parameter(h, p, "filename", raw, sizeof raw, &after) == 0) {
            PLD_strncpy(lastRaw, raw, sizeof lastRaw);
            MIMEH_filtered_name(lastFiltered, sizeof lastFiltered, raw);
            SS_push(&h->ss_filenames, lastFiltered, strlen(lastFiltered));
            if (SS_count(&h->ss_filenames) > 1)
                MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_FILENAMES);
        }
        const char *from = after > p ? after : p;
        p = from + strcspn(from, ";\n\r ");
    }
    if (h->filename[0] == '\0' && lastFiltered[0])
        MIMEH_set_filename(h, lastFiltered, lastRaw);
}

static void MIMEH_parse_contentlocation(struct MIMEH_header_info *h, const char *value)
{
    char location[MIMEH_STRLEN_MAX];
    PLD_memtostr(location, sizeof location, value, strcspn(value, " \t\r\n"));
    const char *slash = strrchr(location, '/');
    const char *backslash = strrchr(location, '\\');
    const char *sep = slash > backslash ? slash : backslash;
    const char *last = sep ? sep + 1 : location;
    char filtered[MIMEH_FILENAMELEN_MAX + 1];
    MIMEH_filtered_name(filtered, sizeof filtered, last);
    MIMEH_set_filename(h, filtered, last);
    SS_push(&h->ss_filenames, filtered, strlen(filtered));
    if (SS_count(&h->ss_filenames) > 1)
        MIMEH_defect(h, MIMEH_DEFECT_MULTIPLE_FILENAMES);
}

// Offers one header line (name lower-cased, value from after the ":") to the parsers.
static void MIMEH_process_line(struct MIMEH_header_info *h, const char *name, const char *value)
{
    static const struct {
        const char *word;
        size_t offset;
        size_t size;
    } simple[] = {
        {"subject", offsetof(MIMEH_header_info, subject), sizeof(MIMEH_header_info::subject)},
        {"date", offsetof(MIMEH_header_info, date), sizeof(MIMEH_header_info::date)},
        {"from", offsetof(MIMEH_header_info, from), sizeof(MIMEH_header_info::from)},
        {"to", offsetof(MIMEH_header_info, to), sizeof(MIMEH_header_info::to)},
        {"message-id", offsetof(MIMEH_header_info, messageid), sizeof(MIMEH_header_info::messageid)},
        {"received", offsetof(MIMEH_header_info, received), sizeof(MIMEH_header_info::received)},
        {"charset", offsetof(MIMEH_header_info, charset), sizeof(MIMEH_header_info::charset)},
    };
    if (strcmp(name, "content-type") == 0) {
        MIMEH_parse_contenttype(h, value);
    } else if (strcmp(name, "content-transfer-encoding") == 0) {
        MIMEH_copy_token(h->content_transfer_encoding_string, sizeof h->content_transfer_encoding_string, value,
                         " ;\t\r\n");
        h->content_transfer_encoding = MIMEH_transfer_encoding_code(h->content_transfer_encoding_string);
    } else if (strcmp(name, "content-disposition") == 0) {
        MIMEH_parse_contentdisposition(h, value);
    } else if (strcmp(name, "content-location") == 0 && h->filename[0] == '\0') {
        MIMEH_parse_contentlocation(h, value);
    } else {
        bool known = false;
        for (const auto &row : simple) {
            if (strcmp(name, row.word) == 0) {
                MIMEH_copy_value(reinterpret_cast<char *>(h) + row.offset, row.size, value);
                known = true;
                break;
            }
        }
        if (!known)
            return;
    }
    h->recognised++;
}

int MIMEH_headers_process(struct MIMEH_header_info *h, char *text)
{
    if (!h || !text)
        return -1;
    MIMEH_strip_comments(text);
    for (char *line = text; *line;) {
        char *eol = line + strcspn(line, "\r\n");
        const char saved = *eol;
        *eol = '\0';
        const size_t nameLen = strcspn(line, ":\t ");
        if (nameLen > 0 && nameLen < 64 && line[nameLen]) {
            char name[64];
            PLD_memtostr(name, sizeof name, line, nameLen);
            PLD_strtolower(name);
            const char *value = line + nameLen;
            value += strspn(value, " \t");
            if (*value == ':')
                ++value;
            value += strspn(value, " \t");
            MIMEH_process_line(h, name, value);
        }
        *eol = saved;
        line = eol + strspn(eol, "\r\n");
    }

    if (h->content_type == _CTYPE_MULTIPART_APPLEDOUBLE && h->filename[0]) {
        PLD_strncpy(mimeh_appledouble_filename, h->filename, sizeof mimeh_appledouble_filename);
        char prefixed[MIMEH_STRLEN_MAX];
        PLD_strjoin(prefixed, sizeof prefixed, {"mac-", h->filename});
        PLD_strncpy(h->filename, prefixed, sizeof h->filename);
        PLD_strjoin(prefixed, sizeof prefixed, {"mac-", h->name});
        PLD_strncpy(h->name, prefixed, sizeof h->name);
    }
    if (h->content_type == _CTYPE_APPLICATION_APPLEFILE && h->filename[0] == '\0') {
        if (mimeh_appledouble_filename[0])
            PLD_strjoin(h->filename, sizeof h->filename, {mimeh_appledouble_filename, ".applemeta"});
        else
            PLD_strncpy(h->filename, "applefile", sizeof h->filename);
    }
    // An octet stream without a transfer encoding is copied as it is.
    if (h->content_type == _CTYPE_OCTECT && h->content_transfer_encoding_string[0] == '\0')
        h->content_transfer_encoding = _CTRANS_ENCODING_RAW;
    if (mimeh_debug)
        LOGGER_log("%s:%d:MIMEH_headers_process:DEBUG: type '%s' (%d), encoding %d, name '%s', boundary '%s'", FL,
                   h->content_type_string, h->content_type, h->content_transfer_encoding, h->filename, h->boundary);
    return 0;
}

int MIMEH_parse_headers(struct FFGET_FILE *f, struct MIMEH_header_info *h)
{
    char *text = nullptr;
    int result = MIMEH_headers_get(f, h, &text);
    if (text) {
        MIMEH_headers_process(h, text);
        free(text);
    }
    return result;
}
