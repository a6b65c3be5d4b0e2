#include "libmime-decoders.h"

#include "logger.h"

#include <cctype>
#include <cstring>


namespace {

int mdecode_verbose = 0;
int mdecode_debug = 0;
int mdecode_decode_qp = 1;

constexpr unsigned char X = MDECODE_B64_SKIP;

} // namespace

const unsigned char MDECODE_b64_table[256] = {
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  62, X,  X,  X,  63,
    52, 53, 54, 55, 56, 57, 58, 59, 60, 61, X,  X,  X,  X,  X,  X,
    X,  0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14,
    15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, X,  X,  X,  X,  X,
    X,  26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40,
    41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
    X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,  X,
};

int MDECODE_init()
{
    mdecode_verbose = 0;
    mdecode_debug = 0;
    mdecode_decode_qp = 1;
    return 0;
}

int MDECODE_set_verbose(int level) { return mdecode_verbose = level; }
int MDECODE_set_debug(int level) { return mdecode_debug = level; }
int MDECODE_set_decode_qp(int level) { return mdecode_decode_qp = level; }
int MDECODE_get_decode_qp() { return mdecode_decode_qp; }

static int MDECODE_hex(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = tolower(c);
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

size_t MDECODE_decode_quoted_printable(char *line, char escape, size_t len)
{
    if (!line)
        return 0;
    size_t in = 0, out = 0;
    while (in < len) {
        const char c = line[in];
        if (c != escape) {
            line[out++] = c;
            ++in;
            continue;
        }
        if (in + 1 >= len) { // a lone escape at the very end
            ++in;
            continue;
        }
        size_t blank = in + 1;
        while (blank < len && (line[blank] == ' ' || line[blank] == '\t'))
            ++blank;
        if (blank < len && (line[blank] == '\r' || line[blank] == '\n')) {
            // Soft line break: one line end, CR LF or LF CR counting as one.
            const char first = line[blank++];
            if (blank < len && (line[blank] == '\r' || line[blank] == '\n') && line[blank] != first)
                ++blank;
            in = blank;
            continue;
        }
        const int hi = MDECODE_hex(static_cast<unsigned char>(line[in + 1]));
        const int lo = in + 2 < len ? MDECODE_hex(static_cast<unsigned char>(line[in + 2])) : -1;
        if (hi >= 0 && lo >= 0) {
            line[out++] = static_cast<char>(hi * 16 + lo);
            in += 3;
        } else {
            line[out++] = c;
            ++in;
        }
    }
    line[out] = '\0';
    return out;
}

size_t MDECODE_decode_short64(char *text)
{
    if (!text)
        return 0;
    size_t out = 0;
    unsigned int acc = 0;
    int bits = 0;
    for (const unsigned char *p = reinterpret_cast<unsigned char *>(text); *p && *p != '='; ++p) {
        const unsigned char v = MDECODE_b64_table[*p];
        if (v == MDECODE_B64_SKIP)
            continue;
        acc = (acc << 6) | v;
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            text[out++] = static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    text[out] = '\0';
    return out;
}

// Decodes the encoded word whose "=?" is at i, in place. The decoded bytes (and a kept
// terminator) are put back just before the rest of the text, so that they are searched
// again like the rest while the text already passed stays behind out. Returns the new read
// position, or nullptr when decoding of the text must stop.
static char *MDECODE_decode_word(char *text, char *&out, char *i)
{
    char *charsetEnd = strchr(i + 2, '?');
    if (!charsetEnd || !charsetEnd[1] || charsetEnd[2] != '?')
        return nullptr;
    const char encoding = charsetEnd[1];
    char *data = charsetEnd + 3;
    char *dataEnd = data + strcspn(data, "?;\r\n\t");
    const char terminator = *dataEnd;

    size_t decodedLen;
    switch (encoding) {
    case 'B':
    case 'b':
        *dataEnd = '\0';
        decodedLen = MDECODE_decode_short64(data);
        *dataEnd = terminator;
        break;
    case 'Q':
    case 'q':
        decodedLen = MDECODE_decode_quoted_printable(data, '=', size_t(dataEnd - data));
        *dataEnd = terminator; // the decoder terminated its output, maybe at dataEnd
        break;
    default:
        LOGGER_log("%s:%d:MDECODE_decode_ISO:ERROR: The encoding character '%c' is not a valid type of encoding\n",
                   FL, encoding);
        return nullptr;
    }

    char *rest = terminator ? dataEnd + 1 : dataEnd;
    while (*rest == '=' || *rest == '?')
        ++rest;
    char *afterBlanks = rest + strspn(rest, " \t");
    if (afterBlanks[0] == '=' && afterBlanks[1] == '?')
        rest = afterBlanks; // adjacent encoded words join without their blanks

    const size_t keep = (terminator != '?' && terminator != '\0') ? 1 : 0;
    char *next = rest - decodedLen - keep; // never before out: the word was longer than this
    memmove(next, data, decodedLen);
    if (keep)
        next[decodedLen] = terminator;
    // A "=" already passed and a decoded "?" make a new "=?": search from that "=".
    if (out > text && out[-1] == '=' && decodedLen + keep > 0 && next[0] == '?') {
        --out;
        *--next = '=';
    }
    return next;
}

int MDECODE_decode_ISO(char *text, size_t length)
{
    if (!text || length == 0)
        return 0;
    if (strnlen(text, length) >= length)
        text[length - 1] = '\0';
    char *out = text;
    char *i = text;
    while (*i) {
        if (i[0] == '=' && i[1] == '?') {
            char *next = MDECODE_decode_word(text, out, i);
            if (!next) {
                memmove(out, i, strlen(i) + 1);
                return 0;
            }
            i = next;
            continue;
        }
        *out++ = *i++;
    }
    *out = '\0';
    return 0;
}
