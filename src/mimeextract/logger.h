#pragma once
// LOGGER_: the extraction engine's one-line logger. Settings are process-wide; until a
// mode is chosen, lines go to the system log with priority 22 (mail, info).

#include <cstdio>

// Source module and line, the first two fields of every engine log line.
#define FL __FILE__, __LINE__

enum {
    LOGGER_MODE_STDERR = 1,
    LOGGER_MODE_STDOUT = 2,
    LOGGER_MODE_LOGFILE = 3,
    LOGGER_MODE_SYSLOG = 4,
    LOGGER_MODE_NONE = 5,
};

// Restores the defaults: system log, priority 22, no wrapping; closes an open log file.
void LOGGER_reset();
// Formats one line (at most 10240 bytes) and writes it in the current mode, adding a line
// feed unless the text ends with one.
void LOGGER_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
// 1 standard error, 2 standard output, 3 log file, 4 system log, 5 nothing; any other
// value writes to standard output with the prefix "LOGGER-Default: ".
void LOGGER_set_output_mode(int mode);
// System log priority used in mode 4.
void LOGGER_set_syslog_mode(int priority);
// Opens (appending) the file used in mode 3. Returns 0, or -1 when it cannot be opened.
int LOGGER_set_logfile(const char *path);
// Uses an already open stream for mode 3; the logger does not close it.
void LOGGER_set_output_file(FILE *stream);
// Positive: break lines at the wrap length; 0 or less: no wrapping.
void LOGGER_set_wrap(int wrap);
void LOGGER_set_wraplength(int length);
// Closes the file opened by LOGGER_set_logfile, if any.
void LOGGER_close_logfile();
