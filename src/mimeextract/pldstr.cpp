#include "pldstr.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>


char *PLD_strncpy(char *dst, const char *src, size_t size)
{
    if (!dst || size == 0)
        return dst;
    if (!src)
        src = "";
    size_t len = strnlen(src, size - 1);
    memcpy(dst, src, len);
    dst[len] = '\0';
    return dst;
}

char *PLD_strncat(char *dst, const char *src, size_t size)
{
    if (!dst || size == 0 || !src)
        return dst;
    size_t used = strnlen(dst, size);
    if (used >= size - 1) {
        dst[size - 1] = '\0';
        return dst;
    }
    PLD_strncpy(dst + used, src, size - used);
    return dst;
}

char *PLD_strjoin(char *dst, size_t size, std::initializer_list<const char *> parts)
{
    if (!dst || size == 0)
        return dst;
    dst[0] = '\0';
    for (const char *part : parts)
        PLD_strncat(dst, part, size);
    return dst;
}

char *PLD_memtostr(char *dst, size_t size, const char *src, size_t len)
{
    if (!dst || size == 0)
        return dst;
    if (len > size - 1)
        len = size - 1;
    if (len)
        memcpy(dst, src, len);
    dst[len] = '\0';
    return dst;
}

char *PLD_strstr(const char *haystack, const char *needle, int insensitive)
{
    if (!haystack || !needle)
        return nullptr;
    if (!insensitive)
        return const_cast<char *>(strstr(haystack, needle));
    size_t n = strlen(needle);
    if (n == 0)
        return const_cast<char *>(haystack);
    const int first = tolower(static_cast<unsigned char>(needle[0]));
    for (const char *p = haystack; *p; ++p) {
        if (tolower(static_cast<unsigned char>(*p)) == first && strncasecmp(p, needle, n) == 0)
            return const_cast<char *>(p);
    }
    return nullptr;
}

char *PLD_strtolower(char *s)
{
    for (char *p = s; p && *p; ++p)
        *p = static_cast<char>(tolower(static_cast<unsigned char>(*p)));
    return s;
}

char *PLD_dprintf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int len = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (len < 0)
        return nullptr;
    char *out = static_cast<char *>(malloc(size_t(len) + 1));
    if (!out)
        return nullptr;
    va_start(args, format);
    vsnprintf(out, size_t(len) + 1, format, args);
    va_end(args);
    return out;
}

int PLD_strreplace(char *s, size_t size, const char *search, const char *replace)
{
    if (!s || !search || !*search || !replace || size == 0)
        return 0;
    const size_t slen = strlen(search), rlen = strlen(replace);
    int count = 0;
    char *p = s;
    while ((p = strstr(p, search)) != nullptr) {
        size_t total = strlen(s);
        if (total - slen + rlen >= size) {
            p += slen;
            continue;
        }
        memmove(p + rlen, p + slen, strlen(p + slen) + 1);
        memcpy(p, replace, rlen);
        p += rlen;
        ++count;
    }
    return count;
}

char *PLD_strtok(struct PLD_strtok *st, char *line, const char *delimiters)
{
    if (!st)
        return nullptr;
    char *p = line ? line : st->start;
    st->delimeter = '\0';
    if (!p)
        return nullptr;
    p += strspn(p, delimiters);
    if (*p == '\0') {
        st->start = nullptr;
        return nullptr;
    }
    char *end = p + strcspn(p, delimiters);
    if (*end) {
        st->delimeter = *end;
        *end = '\0';
        st->start = end + 1;
    } else {
        st->start = nullptr;
    }
    return p;
}
