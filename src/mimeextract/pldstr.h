#pragma once
// PLD_: bounded string helpers for the extraction engine. Sizes are buffer capacities in
// bytes, terminator included; every result is terminated, long input is cut.

#include <cstddef>
#include <initializer_list>

// Copies at most size - 1 bytes of src and terminates dst. Returns dst.
char *PLD_strncpy(char *dst, const char *src, size_t size);
// Appends src to the text in dst, never passing size bytes in all. Returns dst.
char *PLD_strncat(char *dst, const char *src, size_t size);
// Joins the parts into dst, cut to size - 1 bytes (the end is what gets cut). Returns dst.
char *PLD_strjoin(char *dst, size_t size, std::initializer_list<const char *> parts);
// Copies len bytes of src (which need not be terminated), cut to size - 1. Returns dst.
char *PLD_memtostr(char *dst, size_t size, const char *src, size_t len);
// First occurrence of needle in haystack; case-insensitive when insensitive is non-zero.
char *PLD_strstr(const char *haystack, const char *needle, int insensitive);
// Lower-cases an ASCII text in place. Returns s.
char *PLD_strtolower(char *s);
// Formats into newly allocated memory (free() it). Returns nullptr when out of memory.
char *PLD_dprintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// Replaces every occurrence of search in s by replace, in place, within size bytes;
// replacements that would not fit are left out. Returns the number made.
int PLD_strreplace(char *s, size_t size, const char *search, const char *replace);

// Tokeniser state for PLD_strtok: unlike strtok(3) it keeps no hidden state.
struct PLD_strtok {
    char *start;
    char delimeter; // the delimiter that ended the last token, or '\0'
};
// Splits line (on the first call) or the rest of the previous line (line == nullptr) at
// any of the delimiters; runs of delimiters count as one. Returns nullptr when done.
char *PLD_strtok(struct PLD_strtok *st, char *line, const char *delimiters);
