#include "strstack.h"

#include "pldstr.h"

#include <cstdlib>
#include <cstring>


void SS_init(struct SS_object *ss)
{
    ss->stack = nullptr;
    ss->count = 0;
}

void SS_done(struct SS_object *ss)
{
    while (ss->stack) {
        SS_node *next = ss->stack->next;
        free(ss->stack->data);
        free(ss->stack);
        ss->stack = next;
    }
    ss->count = 0;
}

int SS_push(struct SS_object *ss, const char *data, size_t len)
{
    SS_node *node = static_cast<SS_node *>(malloc(sizeof(SS_node)));
    char *copy = static_cast<char *>(malloc(len + 1));
    if (!node || !copy) {
        free(node);
        free(copy);
        return -1;
    }
    memcpy(copy, data, len);
    copy[len] = '\0';
    node->data = copy;
    node->next = ss->stack;
    ss->stack = node;
    ss->count++;
    return 0;
}

int SS_pop(struct SS_object *ss, char *buf, size_t size)
{
    SS_node *top = ss->stack;
    if (!top)
        return 1;
    if (buf)
        PLD_strncpy(buf, top->data, size);
    ss->stack = top->next;
    ss->count--;
    free(top->data);
    free(top);
    return 0;
}

const char *SS_top(const struct SS_object *ss) { return ss->stack ? ss->stack->data : nullptr; }

int SS_count(const struct SS_object *ss) { return ss->count; }

int SS_cmp(const struct SS_object *ss, const char *data)
{
    for (const SS_node *n = ss->stack; n; n = n->next) {
        if (strcmp(n->data, data) == 0)
            return 1;
    }
    return 0;
}
