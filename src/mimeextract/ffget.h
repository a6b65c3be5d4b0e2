#pragma once
// FFGET_: the buffered line reader over one input stream. The stream is read in blocks of
// 8191 bytes; lines are cut at LF, or also at CR while headers are read ("watch" mode) or
// once the input showed CR-only line ends ("CR mode"). The reader does not own the stream.

#include <cstddef>
#include <cstdio>

constexpr int FFGET_BUFFER_MAX = 8192;
constexpr int FFGET_BLOCK_READ = FFGET_BUFFER_MAX - 1;

// Kinds of the last line end met.
enum {
    FFGET_LINEBREAK_NONE = 0,
    FFGET_LINEBREAK_LF = 1,
    FFGET_LINEBREAK_CR = 2,
    FFGET_LINEBREAK_LFCR = 3,
    FFGET_LINEBREAK_CRLF = 4,
    FFGET_LINEBREAK_CRCR = 5,
};

struct FFGET_FILE {
    FILE *f;
    // One byte of room before the data, so that one character can always be pushed back.
    char space[1 + FFGET_BUFFER_MAX + 1];
    char *buffer;      // start of the data: space + 1
    char *startpoint;  // next unread byte
    char *endpoint;    // one past the last valid byte; *endpoint is '\0'
    int FILEEND;       // the stream gave its last block
    int FFEOF;         // every byte was consumed
    char c;            // last character of the previous line
    int trueblank;     // the last line was empty (see FFGET_fgets)
    int linebreak;     // FFGET_LINEBREAK_* of the last line
    char lastbreak[4]; // text of that line end
    long linecount;
    long bytes;        // bytes read from the stream so far
    size_t last_length;// length of the last line returned, NUL bytes included
};

// Restores every process-wide flag (allow NUL off, watch off, CR mode off, no double CR,
// full block size).
void FFGET_reset();
// Sets up a reader over stream from its current position.
int FFGET_setstream(struct FFGET_FILE *f, FILE *stream);
// Detaches the reader; the caller closes the stream.
int FFGET_closestream(struct FFGET_FILE *f);
// Reads the next block into the buffer (the rest of the old one must have been used).
// Returns the number of bytes read, 0 at end of input.
int FFGET_getnewblock(struct FFGET_FILE *f);
// Next line, line end included, at most size - 1 bytes (a longer line comes in pieces),
// into line; nullptr at end of input. Sets trueblank when the previous line ended with CR
// or LF and this one starts with one.
char *FFGET_fgets(char *line, int size, struct FFGET_FILE *f);
// Next byte, or EOF.
int FFGET_fgetc(struct FFGET_FILE *f);
// Pushes one byte back; only one push-back between reads is guaranteed.
int FFGET_ungetc(struct FFGET_FILE *f, int c);
// Copies bytes into buffer until it holds size - 1 or a run of CR/LF ends; terminates it.
// Returns the number of bytes copied (0 at end of input).
int FFGET_raw(struct FFGET_FILE *f, char *buffer, int size);
// Unread bytes in the buffer, refilled when empty: *data points at them. 0 at end of input.
size_t FFGET_block(struct FFGET_FILE *f, const char **data);
// Marks n bytes returned by FFGET_block as read.
void FFGET_consume(struct FFGET_FILE *f, size_t n);
int FFGET_feof(struct FFGET_FILE *f);
// Offset of the next unread byte in the stream.
long FFGET_ftell(struct FFGET_FILE *f);
// Moves the stream and drops the buffer. Returns fseek's result.
int FFGET_seek(struct FFGET_FILE *f, long offset, int whence);

// Keep 0x00 bytes instead of reading them as spaces (web form data).
int FFGET_set_allow_nul(int allow);
// While on, CR also ends a line (on while headers are read).
int FFGET_set_watch_SDL(int watch);
int FFGET_get_watch_SDL();
// CR mode is sticky once a lone CR or a CR CR line end was met, until cleared here.
int FFGET_set_crmode(int on);
int FFGET_get_crmode();
// Set when a CR CR line end was met; cleared by the caller.
int FFGET_get_doubleCR();
int FFGET_set_doubleCR(int on);
// Bytes asked of the stream per block, 1 to 8191 (default). Small values make every line
// end straddle a block edge; tests and the fuzzer use them.
int FFGET_set_block_size(int size);
