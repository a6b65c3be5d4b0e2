#pragma once
// Process-wide GMime set-up shared by everything in the mail adapter.

// GMime's headers pull in GIO, whose `signals` members clash with Qt's keyword macro:
// they are included first, by the .cpp files only.
typedef struct _GMimeParserOptions GMimeParserOptions;

class MCOGMime {
public:
    // Initialises GMime exactly once, whatever thread calls first. Every entry point of
    // the adapter that touches GMime calls this; calling it again costs one atomic load.
    static void ensureInitialized();

    // The parser options every message is parsed with: loose RFC 2047, address and
    // parameter parsing, and fallback charsets for raw 8-bit header text. Owned by this
    // class for the life of the process; read-only, safe to share between threads.
    static GMimeParserOptions *parserOptions();
};
