#pragma once
// BS_: the process-wide stack of active multipart boundaries. It lives for one top-level
// unpack (cleared when it ends). A line matches when it is, give or take up to three
// leading characters ("--") and anything that is neither a letter nor a digit after it,
// one of the boundaries; matching an outer boundary ends the inner multiparts above it.

#include <cstddef>

// Pushes beyond this many entries are ignored, whatever the hold limit, so that a
// message declaring boundaries without end cannot make every line test slow.
constexpr int BS_MAX_ENTRIES = 1024;

// Empties the stack and restores the settings (hold limit 0, shift window 4).
int BS_init();
int BS_set_verbose(int level);
int BS_set_debug(int level);
// Positive: pushes beyond this many entries are ignored; 0: no limit of its own.
int BS_set_hold_limit(int limit);
// How many leading characters a boundary may be shifted by in a line, 1 to 1023.
// Returns 0, or -1 (unchanged) when out of range.
int BS_set_boundary_detect_limit(int limit);
// Pushes a copy of the boundary text (which may be empty: it then matches any "--" line).
int BS_push(const char *boundary);
// Removes the top entry. Returns 0, or 1 when the stack was empty.
int BS_pop();
// The top boundary, or nullptr; owned by the stack.
const char *BS_top();
int BS_count();
// Empties the stack (the shortest length and empty flag start over too).
int BS_clear();
// 1 when the first len bytes of line are an active boundary line, else 0.
int BS_cmp(const char *line, size_t len);
