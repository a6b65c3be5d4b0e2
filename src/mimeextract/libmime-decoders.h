#pragma once
// MDECODE_: the in-place text decoders: quoted-printable (also used with "%" for RFC 2231
// values), short base64 and RFC 2047 encoded words. Decoded text never grows, so every
// decoder works inside the caller's buffer.

#include <cstddef>

// Base64 alphabet of RFC 2045: value 0..63 for alphabet bytes, MDECODE_B64_SKIP otherwise.
constexpr unsigned char MDECODE_B64_SKIP = 0xFF;
extern const unsigned char MDECODE_b64_table[256];

// Restores the settings: quoted-printable decoding on, quiet.
int MDECODE_init();
// Settings: verbosity, debug, and whether quoted-printable text parts are decoded.
int MDECODE_set_verbose(int level);
int MDECODE_set_debug(int level);
int MDECODE_set_decode_qp(int level);
int MDECODE_get_decode_qp();
// Decodes the first len bytes of line in place with escape ("=" or "%"): escape + two hex
// digits is that byte; "=" + blanks + line end is a soft line break; an escape that ends
// the text is dropped; any other escape stays. Terminates the result and returns its
// length (decoded bytes may include NUL).
size_t MDECODE_decode_quoted_printable(char *line, char escape, size_t len);
// Decodes base64 text in place, stopping at the first "=" or the end. Returns the length.
size_t MDECODE_decode_short64(char *text);
// Decodes RFC 2047 encoded words ("=?charset?B|Q?text?=") of a terminated text in place;
// the charset is ignored. Adjacent encoded words separated by blanks join. length is the
// buffer's capacity. Returns 0.
int MDECODE_decode_ISO(char *text, size_t length);
