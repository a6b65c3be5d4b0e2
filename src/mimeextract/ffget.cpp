#include "ffget.h"

#include "logger.h"
#include "pldstr.h"

#include <cerrno>
#include <cstring>


namespace {

int ffget_allow_nul = 0;
int ffget_watch = 0;
int ffget_crmode = 0;
int ffget_doubleCR = 0;
int ffget_block_size = FFGET_BLOCK_READ;

} // namespace

void FFGET_reset()
{
    ffget_allow_nul = 0;
    ffget_watch = 0;
    ffget_crmode = 0;
    ffget_doubleCR = 0;
    ffget_block_size = FFGET_BLOCK_READ;
}

int FFGET_set_allow_nul(int allow) { return ffget_allow_nul = allow; }
int FFGET_set_watch_SDL(int watch) { return ffget_watch = watch; }
int FFGET_get_watch_SDL() { return ffget_watch; }
int FFGET_set_crmode(int on) { return ffget_crmode = on; }
int FFGET_get_crmode() { return ffget_crmode; }
int FFGET_get_doubleCR() { return ffget_doubleCR; }
int FFGET_set_doubleCR(int on) { return ffget_doubleCR = on; }

int FFGET_set_block_size(int size)
{
    if (size < 1 || size > FFGET_BLOCK_READ)
        return -1;
    ffget_block_size = size;
    return 0;
}

int FFGET_setstream(struct FFGET_FILE *f, FILE *stream)
{
    f->f = stream;
    f->buffer = f->space + 1;
    f->startpoint = f->endpoint = f->buffer;
    *f->endpoint = '\0';
    f->FILEEND = 0;
    f->FFEOF = 0;
    // A first line that is empty counts as an empty line: the message has no headers.
    f->c = '\n';
    f->trueblank = 0;
    f->linebreak = FFGET_LINEBREAK_NONE;
    f->lastbreak[0] = '\0';
    f->linecount = 0;
    f->bytes = 0;
    f->last_length = 0;
    return 0;
}

int FFGET_closestream(struct FFGET_FILE *f)
{
    f->f = nullptr;
    f->startpoint = f->endpoint = f->buffer;
    f->FILEEND = 1;
    return 0;
}

int FFGET_getnewblock(struct FFGET_FILE *f)
{
    f->startpoint = f->endpoint = f->buffer;
    *f->endpoint = '\0';
    if (f->FILEEND || !f->f)
        return 0;
    size_t n = fread(f->buffer, 1, size_t(ffget_block_size), f->f);
    if (n < size_t(ffget_block_size)) {
        if (ferror(f->f))
            LOGGER_log("%s:%d:FFGET_getnewblock:ERROR: File read failed with error:%s", FL, strerror(errno));
        f->FILEEND = 1;
    }
    if (!ffget_allow_nul) {
        // NUL bytes would cut every C string the walk builds from a line.
        for (char *p = static_cast<char *>(memchr(f->buffer, 0, n)); p;
             p = static_cast<char *>(memchr(p, 0, size_t(f->buffer + n - p))))
            *p = ' ';
    }
    f->endpoint = f->buffer + n;
    *f->endpoint = '\0';
    f->bytes += long(n);
    return int(n);
}

// The next byte without consuming it, refilling the buffer when it is used up; -1 at end.
static int FFGET_peek(struct FFGET_FILE *f)
{
    if (f->startpoint >= f->endpoint && FFGET_getnewblock(f) == 0)
        return -1;
    return static_cast<unsigned char>(*f->startpoint);
}

int FFGET_fgetc(struct FFGET_FILE *f)
{
    int c = FFGET_peek(f);
    if (c < 0) {
        f->FFEOF = 1;
        return EOF;
    }
    f->startpoint++;
    return c;
}

int FFGET_ungetc(struct FFGET_FILE *f, int c)
{
    if (c == EOF || f->startpoint <= f->space)
        return EOF;
    *--f->startpoint = static_cast<char>(c);
    f->FFEOF = 0;
    return c;
}

static void FFGET_set_break(struct FFGET_FILE *f, int kind, const char *text)
{
    f->linebreak = kind;
    PLD_strncpy(f->lastbreak, text, sizeof f->lastbreak);
}

// Takes the line end that begins with ch (already stored in line) and completes it from
// the input. Returns the new count.
static int FFGET_take_linebreak(struct FFGET_FILE *f, char *line, int count, int max, int ch)
{
    const int next = FFGET_peek(f);
    if (ch == '\n') {
        if (next == '\r' && count < max) {
            line[count++] = '\r';
            f->startpoint++;
            FFGET_set_break(f, FFGET_LINEBREAK_LFCR, "\n\r");
        } else {
            FFGET_set_break(f, FFGET_LINEBREAK_LF, "\n");
        }
        return count;
    }
    if (next == '\n' && !ffget_crmode && count < max) {
        line[count++] = '\n';
        f->startpoint++;
        FFGET_set_break(f, FFGET_LINEBREAK_CRLF, "\r\n");
    } else if (next == '\n') {
        // CR mode: the LF starts the next line.
        FFGET_set_break(f, FFGET_LINEBREAK_CR, "\r");
    } else if (next == '\r' && count < max) {
        line[count++] = '\r';
        f->startpoint++;
        ffget_doubleCR = 1;
        ffget_crmode = 1;
        FFGET_set_break(f, FFGET_LINEBREAK_CRCR, "\r\r");
    } else {
        ffget_crmode = 1;
        FFGET_set_break(f, FFGET_LINEBREAK_CR, "\r");
    }
    return count;
}

char *FFGET_fgets(char *line, int size, struct FFGET_FILE *f)
{
    if (!line || size < 2 || !f)
        return nullptr;
    const int max = size - 1;
    int count = 0;
    f->linebreak = FFGET_LINEBREAK_NONE;
    f->lastbreak[0] = '\0';
    while (count < max) {
        if (f->startpoint >= f->endpoint && FFGET_getnewblock(f) == 0)
            break;
        // Copy the plain run up to the next possible line end in one go.
        const bool crEnds = ffget_watch || ffget_crmode;
        char *p = f->startpoint;
        char *stop = f->endpoint;
        if (stop - p > max - count)
            stop = p + (max - count);
        char *q = p;
        while (q < stop && *q != '\n' && !(crEnds && *q == '\r'))
            ++q;
        memcpy(line + count, p, size_t(q - p));
        count += int(q - p);
        f->startpoint = q;
        if (q == stop)
            continue;
        const int ch = static_cast<unsigned char>(*q);
        line[count++] = static_cast<char>(ch);
        f->startpoint++;
        count = FFGET_take_linebreak(f, line, count, max, ch);
        break;
    }
    if (count == 0) {
        f->FFEOF = 1;
        line[0] = '\0';
        return nullptr;
    }
    line[count] = '\0';
    f->trueblank = (f->c == '\r' || f->c == '\n') && (line[0] == '\r' || line[0] == '\n');
    f->c = line[count - 1];
    f->last_length = size_t(count);
    f->linecount++;
    return line;
}

int FFGET_raw(struct FFGET_FILE *f, char *buffer, int size)
{
    if (!buffer || size < 2)
        return 0;
    int count = 0;
    bool inBreak = false;
    while (count < size - 1) {
        const int c = FFGET_peek(f);
        if (c < 0)
            break;
        const bool isBreak = (c == '\r' || c == '\n');
        if (inBreak && !isBreak)
            break;
        inBreak = isBreak;
        buffer[count++] = static_cast<char>(c);
        f->startpoint++;
    }
    buffer[count] = '\0';
    if (count > 0)
        f->c = buffer[count - 1];
    else
        f->FFEOF = 1;
    return count;
}

size_t FFGET_block(struct FFGET_FILE *f, const char **data)
{
    if (f->startpoint >= f->endpoint && FFGET_getnewblock(f) == 0) {
        f->FFEOF = 1;
        *data = f->endpoint;
        return 0;
    }
    *data = f->startpoint;
    return size_t(f->endpoint - f->startpoint);
}

void FFGET_consume(struct FFGET_FILE *f, size_t n)
{
    const size_t left = size_t(f->endpoint - f->startpoint);
    f->startpoint += n < left ? n : left;
    if (n > 0)
        f->c = f->startpoint[-1];
}

int FFGET_feof(struct FFGET_FILE *f) { return f->FFEOF; }

long FFGET_ftell(struct FFGET_FILE *f) { return f->bytes - long(f->endpoint - f->startpoint); }

int FFGET_seek(struct FFGET_FILE *f, long offset, int whence)
{
    if (!f->f)
        return -1;
    int r = fseek(f->f, offset, whence);
    f->startpoint = f->endpoint = f->buffer;
    *f->endpoint = '\0';
    f->FILEEND = 0;
    f->FFEOF = 0;
    long pos = ftell(f->f);
    f->bytes = pos < 0 ? 0 : pos;
    return r;
}
