#include "boundary-stack.h"

#include "logger.h"
#include "pldstr.h"

#include <cctype>
#include <cstdlib>
#include <cstring>


namespace {

struct BS_entry {
    char *boundary;
    size_t length;
    int alnum;
    BS_entry *next;
};

constexpr int BS_LINE_COPY = 128; // a line is compared on at most 127 characters

BS_entry *bs_top = nullptr;
int bs_count = 0;
long bs_smallest_length = -1;
int bs_has_blank = 0;
int bs_hold_limit = 0;
int bs_detect_limit = 4;
int bs_verbose = 0;
int bs_debug = 0;

} // namespace

static int BS_alnum_count(const char *s, size_t len)
{
    int n = 0;
    for (size_t i = 0; i < len; ++i) {
        if (isalnum(static_cast<unsigned char>(s[i])))
            ++n;
    }
    return n;
}

int BS_init()
{
    BS_clear();
    bs_hold_limit = 0;
    bs_detect_limit = 4;
    bs_verbose = 0;
    bs_debug = 0;
    return 0;
}

int BS_set_verbose(int level) { return bs_verbose = level; }
int BS_set_debug(int level) { return bs_debug = level; }
int BS_set_hold_limit(int limit) { return bs_hold_limit = limit; }

int BS_set_boundary_detect_limit(int limit)
{
    if (limit < 1 || limit > 1023)
        return -1;
    bs_detect_limit = limit;
    return 0;
}

int BS_push(const char *boundary)
{
    if (!boundary)
        return -1;
    if ((bs_hold_limit > 0 && bs_count >= bs_hold_limit) || bs_count >= BS_MAX_ENTRIES) {
        if (bs_debug)
            LOGGER_log("%s:%d:BS_push:DEBUG: stack full (%d), boundary '%s' ignored", FL, bs_count, boundary);
        return 0;
    }
    BS_entry *e = static_cast<BS_entry *>(malloc(sizeof(BS_entry)));
    if (!e)
        return -1;
    e->length = strlen(boundary);
    e->boundary = static_cast<char *>(malloc(e->length + 1));
    if (!e->boundary) {
        free(e);
        return -1;
    }
    memcpy(e->boundary, boundary, e->length + 1);
    e->alnum = BS_alnum_count(boundary, e->length);
    e->next = bs_top;
    bs_top = e;
    bs_count++;
    if (e->length == 0)
        bs_has_blank = 1;
    if (bs_smallest_length < 0 || long(e->length) < bs_smallest_length)
        bs_smallest_length = long(e->length);
    if (bs_debug)
        LOGGER_log("%s:%d:BS_push:DEBUG: pushed '%s', %d active", FL, boundary, bs_count);
    return 0;
}

int BS_pop()
{
    BS_entry *e = bs_top;
    if (!e)
        return 1;
    bs_top = e->next;
    bs_count--;
    free(e->boundary);
    free(e);
    return 0;
}

const char *BS_top() { return bs_top ? bs_top->boundary : nullptr; }

int BS_count() { return bs_count; }

int BS_clear()
{
    while (BS_pop() == 0) {
    }
    bs_smallest_length = -1;
    bs_has_blank = 0;
    return 0;
}

// True when the entry's text appears in the line at one of the first window offsets.
static int BS_entry_matches(const BS_entry *e, const char *copy, size_t copylen)
{
    if (e->length == 0)
        return copylen >= 2 && copy[0] == '-' && copy[1] == '-';
    for (int shift = 0; shift < bs_detect_limit && size_t(shift) + e->length <= copylen; ++shift) {
        if (memcmp(copy + shift, e->boundary, e->length) == 0)
            return 1;
    }
    return 0;
}

int BS_cmp(const char *line, size_t len)
{
    if (!line || !bs_top || long(len) < bs_smallest_length)
        return 0;
    const int alnum = BS_alnum_count(line, len);
    char copy[BS_LINE_COPY];
    size_t copylen = len < sizeof copy - 1 ? len : sizeof copy - 1;
    memcpy(copy, line, copylen);
    copy[copylen] = '\0';

    for (BS_entry *e = bs_top; e; e = e->next) {
        if (e->alnum != alnum && !(e->length == 0 && bs_has_blank))
            continue;
        if (!BS_entry_matches(e, copy, copylen))
            continue;
        // The inner multiparts above an outer boundary are over.
        while (bs_top != e)
            BS_pop();
        if (bs_debug)
            LOGGER_log("%s:%d:BS_cmp:DEBUG: boundary '%s' matched", FL, e->boundary);
        return 1;
    }
    return 0;
}
