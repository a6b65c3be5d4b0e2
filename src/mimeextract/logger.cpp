#include "logger.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <syslog.h>


namespace {

constexpr int LOGGER_BUFFER = 10240;
constexpr int LOGGER_DEFAULT_PRIORITY = 22; // LOG_MAIL | LOG_INFO

int logger_mode = LOGGER_MODE_SYSLOG;
int logger_syslog_priority = LOGGER_DEFAULT_PRIORITY;
int logger_wrap = 0;
int logger_wraplength = 0;
FILE *logger_logfile = nullptr;  // opened here, closed here
FILE *logger_outfile = nullptr;  // lent by the caller

} // namespace

void LOGGER_reset()
{
    LOGGER_close_logfile();
    logger_outfile = nullptr;
    logger_mode = LOGGER_MODE_SYSLOG;
    logger_syslog_priority = LOGGER_DEFAULT_PRIORITY;
    logger_wrap = 0;
    logger_wraplength = 0;
}

void LOGGER_set_output_mode(int mode) { logger_mode = mode; }
void LOGGER_set_syslog_mode(int priority) { logger_syslog_priority = priority; }
void LOGGER_set_wrap(int wrap) { logger_wrap = wrap; }
void LOGGER_set_wraplength(int length) { logger_wraplength = length; }
void LOGGER_set_output_file(FILE *stream) { logger_outfile = stream; }

int LOGGER_set_logfile(const char *path)
{
    LOGGER_close_logfile();
    logger_logfile = path ? fopen(path, "a") : nullptr;
    if (!logger_logfile) {
        syslog(logger_syslog_priority, "LOGGER_set_logfile: ERROR - Cannot open logfile '%s' (%s)",
               path ? path : "(null)", strerror(errno));
        return -1;
    }
    return 0;
}

void LOGGER_close_logfile()
{
    if (logger_logfile)
        fclose(logger_logfile);
    logger_logfile = nullptr;
}

// Breaks a line before a word that would pass the wrap length, and inside a word that is
// longer than the wrap length on its own.
static void LOGGER_wrap_text(const char *in, char *out, size_t outsize)
{
    size_t o = 0;
    int column = 0;
    const int width = logger_wraplength;
    for (const char *p = in; *p && o + 2 < outsize; ++p) {
        if (*p == ' ' && width > 0) {
            size_t word = strcspn(p + 1, " \n");
            if (column + 1 + int(word) > width) {
                out[o++] = '\n';
                column = 0;
                continue;
            }
        }
        if (width > 0 && column >= width && *p != '\n') {
            out[o++] = '\n';
            column = 0;
        }
        out[o++] = *p;
        column = (*p == '\n') ? 0 : column + 1;
    }
    out[o] = '\0';
}

static void LOGGER_write(FILE *stream, const char *prefix, const char *text)
{
    if (!stream)
        return;
    fputs(prefix, stream);
    fputs(text, stream);
    fflush(stream);
}

void LOGGER_log(const char *format, ...)
{
    char message[LOGGER_BUFFER];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);

    // Texts are always handed on as data ("%s"), never as a format, so a "%" taken from a
    // message (a file name, a header) cannot be read as a conversion downstream.
    char wrapped[LOGGER_BUFFER * 2];
    const char *text = message;
    if (logger_wrap > 0 && logger_wraplength > 0) {
        LOGGER_wrap_text(message, wrapped, sizeof wrapped);
        text = wrapped;
    }
    char line[LOGGER_BUFFER * 2 + 2];
    size_t len = strlen(text);
    if (len >= sizeof line - 1)
        len = sizeof line - 2;
    memcpy(line, text, len);
    if (len == 0 || line[len - 1] != '\n')
        line[len++] = '\n';
    line[len] = '\0';

    switch (logger_mode) {
    case LOGGER_MODE_STDERR: LOGGER_write(stderr, "", line); break;
    case LOGGER_MODE_STDOUT: LOGGER_write(stdout, "", line); break;
    case LOGGER_MODE_LOGFILE:
        LOGGER_write(logger_outfile ? logger_outfile : logger_logfile, "", line);
        break;
    case LOGGER_MODE_SYSLOG: syslog(logger_syslog_priority, "%s", line); break;
    case LOGGER_MODE_NONE: break;
    default: LOGGER_write(stdout, "LOGGER-Default: ", line); break;
    }
}
