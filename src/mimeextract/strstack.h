#pragma once
// SS_: a stack of strings, last pushed first out. Used for the file names an unpack wrote
// and for the name lists of a header record. The stack owns copies of its strings.

#include <cstddef>

struct SS_node {
    char *data;
    struct SS_node *next;
};

struct SS_object {
    struct SS_node *stack;
    int count;
};

// Starts an empty stack (does not free an old one: use SS_done for that).
void SS_init(struct SS_object *ss);
// Frees every entry and leaves the stack empty.
void SS_done(struct SS_object *ss);
// Pushes a copy of the first len bytes of data. Returns 0, or -1 when out of memory.
int SS_push(struct SS_object *ss, const char *data, size_t len);
// Pops the top entry into buf (cut to size). Returns 0, or 1 when the stack is empty.
int SS_pop(struct SS_object *ss, char *buf, size_t size);
// The top entry, or nullptr; it stays owned by the stack.
const char *SS_top(const struct SS_object *ss);
int SS_count(const struct SS_object *ss);
// 1 when an entry equal to data is on the stack, else 0.
int SS_cmp(const struct SS_object *ss, const char *data);
