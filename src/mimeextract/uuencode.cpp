#include "uuencode.h"

#include "filename-filters.h"
#include "logger.h"
#include "pldstr.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>


namespace {

constexpr int UUENCODE_LINE_MAX = 1024; // lines of up to 1023 characters
constexpr size_t UUENCODE_WRITE_BUFFER = 4096;
constexpr size_t UUENCODE_WRITE_FLUSH = 3999;

int uu_decode = 1;
int uu_doubleCR_mode = 0;
int uu_verbosity = 0;
int uu_verbosity_contenttype = 0;
int uu_debug = 0;
int uu_last_error = 0;
UUENCODE_report_fn uu_report = nullptr;

} // namespace

int UUENCODE_init()
{
    uu_decode = 1;
    uu_doubleCR_mode = 0;
    uu_verbosity = 0;
    uu_verbosity_contenttype = 0;
    uu_debug = 0;
    uu_last_error = 0;
    uu_report = nullptr;
    return 0;
}

int UUENCODE_set_decode(int level) { return uu_decode = level; }
int UUENCODE_set_doubleCR_mode(int level) { return uu_doubleCR_mode = level; }
int UUENCODE_set_verbosity(int level) { return uu_verbosity = level; }
int UUENCODE_set_verbosity_contenttype(int level) { return uu_verbosity_contenttype = level; }
int UUENCODE_set_debug(int level) { return uu_debug = level; }
int UUENCODE_get_last_error() { return uu_last_error; }

int UUENCODE_set_filename_report_fn(UUENCODE_report_fn fn)
{
    uu_report = fn;
    return 0;
}

// Splits a begin line into its mode and name (name cut to namesize). Returns 1 when the
// line has the begin line's shape, whatever its mode.
static int UUENCODE_split_begin(const char *line, long *mode, char *name, size_t namesize)
{
    if (strncasecmp(line, "begin", 5) != 0 || !isspace(static_cast<unsigned char>(line[5])))
        return 0;
    const char *p = line + 5;
    p += strspn(p, " \t\r\n");
    if (!*p)
        return 0;
    const size_t modeLen = strcspn(p, " \t\r\n");
    char modeText[32];
    PLD_memtostr(modeText, sizeof modeText, p, modeLen);
    *mode = strtol(modeText, nullptr, 10);
    p += modeLen;
    p += strspn(p, " \t");
    size_t nameLen = strcspn(p, "\r\n");
    if (nameLen == 0) {
        // No third token: the mode token is the name.
        PLD_strncpy(name, modeText, namesize);
    } else {
        PLD_memtostr(name, namesize, p, nameLen);
    }
    return 1;
}

int UUENCODE_is_uuencode_header(const char *line)
{
    if (!uu_decode || !line)
        return 0;
    long mode = 0;
    char name[256];
    if (!UUENCODE_split_begin(line, &mode, name, sizeof name))
        return 0;
    return mode > 0 && mode < 778;
}

int UUENCODE_is_file_uuencoded(const char *folder, const char *name)
{
    FILE *fp = FNFILTER_fopen_input(folder, name);
    if (!fp) {
        uu_last_error = UUENCODE_STATUS_CANNOT_OPEN_FILE;
        LOGGER_log("%s:%d:UUENCODE_is_file_uuencoded:ERROR: cannot open file '%s/%s' for reading (%s)", FL, folder,
                   name, strerror(errno));
        return -1;
    }
    char line[UUENCODE_LINE_MAX];
    int found = 0;
    for (int i = 0; i < 20 && !found && fgets(line, sizeof line, fp); ++i)
        found = UUENCODE_is_uuencode_header(line);
    fclose(fp);
    return found;
}

static int UUENCODE_value(unsigned char c) { return (c - 32) & 63; }

// Decodes one data line into buffer. Returns the number of bytes added.
static size_t UUENCODE_decode_line(char *line, unsigned char *buffer)
{
    const size_t count = size_t(UUENCODE_value(static_cast<unsigned char>(line[0])));
    if (count == 0)
        return 0;
    // A line shorter than its count requires is padded with spaces (value 0).
    const size_t need = 1 + (count + 2) / 3 * 4;
    size_t len = strcspn(line, "\r\n");
    for (; len < need && len < UUENCODE_LINE_MAX - 1; ++len)
        line[len] = ' ';
    size_t out = 0;
    for (size_t i = 1; out < count && i + 3 < need + 1; i += 4) {
        const int a = UUENCODE_value(static_cast<unsigned char>(line[i]));
        const int b = UUENCODE_value(static_cast<unsigned char>(line[i + 1]));
        const int c = UUENCODE_value(static_cast<unsigned char>(line[i + 2]));
        const int d = UUENCODE_value(static_cast<unsigned char>(line[i + 3]));
        const unsigned char bytes[3] = {static_cast<unsigned char>(a << 2 | b >> 4),
                                        static_cast<unsigned char>((b & 15) << 4 | c >> 2),
                                        static_cast<unsigned char>((c & 3) << 6 | d)};
        for (int k = 0; k < 3 && out < count; ++k)
            buffer[out++] = bytes[k];
    }
    return out;
}

static void UUENCODE_report_file(const char *name)
{
    if (!uu_verbosity)
        return;
    if (uu_report) {
        char copy[256], type[] = "uuencoded";
        PLD_strncpy(copy, name, sizeof copy);
        uu_report(copy, uu_verbosity_contenttype ? type : nullptr);
    } else {
        LOGGER_log("Decoded: %s\n", name);
    }
}

// Writes the data lines that follow a begin line into folder/name, up to the "end" line.
// Returns 1 when the file was completed, 0 when input ended first, -1 when it could not
// be created.
static int UUENCODE_write_file(struct FFGET_FILE *f, const char *folder, const char *name, unsigned char *buffer)
{
    FILE *out = FNFILTER_fopen_output(folder, name, 0644);
    if (!out) {
        uu_last_error = UUENCODE_STATUS_CANNOT_OPEN_FILE;
        LOGGER_log("%s:%d:UUENCODE_decode_uu:ERROR: Cannot open file '%s/%s' (%s)", FL, folder, name,
                   strerror(errno));
        return -1;
    }
    char line[UUENCODE_LINE_MAX];
    size_t used = 0;
    int completed = 0;
    while (FFGET_fgets(line, UUENCODE_LINE_MAX - 1, f)) {
        if (strncasecmp(line, "end", 3) == 0) {
            completed = 1;
            break;
        }
        if (line[0] == '\r' || line[0] == '\n')
            continue;
        if (!strpbrk(line, "\r\n"))
            LOGGER_log("%s:%d:UUENCODE_decode_uu:WARNING: Excessive length line", FL);
        used += UUENCODE_decode_line(line, buffer + used);
        if (used > UUENCODE_WRITE_FLUSH) {
            fwrite(buffer, 1, used, out);
            used = 0;
        }
    }
    if (used)
        fwrite(buffer, 1, used, out);
    fclose(out);
    if (!completed) {
        uu_last_error = UUENCODE_STATUS_SHORT_FILE;
        if (uu_debug)
            LOGGER_log("%s:%d:UUENCODE_decode_uu:WARNING: Short file (%s)\n", FL, name);
    }
    return completed;
}

int UUENCODE_decode_uu(struct FFGET_FILE *f, const char *folder, const char *input_name, char *namebuf,
                       size_t size, int whole_file)
{
    uu_last_error = 0;
    FILE *in = nullptr;
    FFGET_FILE *reader = f;
    const int ownReader = (f == nullptr);
    int savedCrmode = FFGET_get_crmode();
    if (ownReader) {
        in = FNFILTER_fopen_input(folder, input_name);
        reader = in ? static_cast<FFGET_FILE *>(malloc(sizeof(FFGET_FILE))) : nullptr;
        if (!reader) {
            if (in)
                fclose(in);
            uu_last_error = UUENCODE_STATUS_CANNOT_OPEN_FILE;
            LOGGER_log("%s:%d:UUENCODE_decode_uu:ERROR: Cannot open file '%s/%s' for reading (%s)", FL, folder,
                       input_name ? input_name : "", strerror(errno));
            return -1;
        }
        FFGET_setstream(reader, in);
        if (uu_doubleCR_mode)
            FFGET_set_crmode(1);
    }
    unsigned char *buffer = static_cast<unsigned char *>(malloc(UUENCODE_WRITE_BUFFER));
    if (!buffer) {
        LOGGER_log("%s:%d:UUENCODE_decode_uu:ERROR: cannot allocate 100K of memory for the write buffer", FL);
        uu_last_error = UUENCODE_STATUS_CANNOT_ALLOCATE_MEMORY;
        if (ownReader) {
            fclose(in);
            free(reader);
        }
        return -1;
    }

    const int givenName = namebuf && namebuf[0];
    int files = 0;
    char line[UUENCODE_LINE_MAX];
    while (FFGET_fgets(line, UUENCODE_LINE_MAX - 1, reader)) {
        long mode = 0;
        char name[UUENCODE_LINE_MAX];
        if (!UUENCODE_is_uuencode_header(line) || !UUENCODE_split_begin(line, &mode, name, sizeof name))
            continue;
        if (givenName)
            PLD_strncpy(name, namebuf, sizeof name);
        if (!name[0]) {
            LOGGER_log("%s:%d:UUENCODE_decode_uu:WARNING: unable to obtain filename from UUencoded text file header",
                       FL);
            uu_last_error = UUENCODE_STATUS_NO_FILENAME;
            break;
        }
        FNFILTER_filter(name, size && size < sizeof name ? size : sizeof name);
        if (FNFILTER_confine(name, sizeof name) != 0) {
            uu_last_error = UUENCODE_STATUS_NO_FILENAME;
            break;
        }
        if (namebuf && size && !givenName)
            PLD_strncpy(namebuf, name, size);
        const int written = UUENCODE_write_file(reader, folder, name, buffer);
        if (written < 0)
            break;
        if (written > 0) {
            UUENCODE_report_file(name);
            ++files;
        }
        if (!written || (!whole_file && !ownReader))
            break;
    }

    free(buffer);
    if (ownReader) {
        fclose(in);
        free(reader);
        FFGET_set_crmode(savedCrmode);
    }
    if (files == 0 && uu_last_error)
        return -1;
    return files;
}
