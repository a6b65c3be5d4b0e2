#include "tnef/tnef.h"

#include "filename-filters.h"
#include "logger.h"
#include "pldstr.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>


namespace {

// Attribute ids acted on (names as in the published TNEF format).
constexpr uint32_t attAttachRendData = 0x00069002;
constexpr uint32_t attAttachTitle = 0x00018010;
constexpr uint32_t attAttachData = 0x0006800F;
constexpr uint32_t attMAPIProps = 0x00069003;
constexpr uint32_t attTnefVersion = 0x00089006;
constexpr uint32_t attAttachment = 0x00069005;
constexpr uint32_t PR_RTF_COMPRESSED = 0x10090102;
constexpr uint16_t PR_ATTACH_LONG_FILENAME = 0x3707;
constexpr uint16_t PT_STRING8 = 30;
constexpr uint16_t PT_UNICODE = 31;
constexpr uint16_t PT_OBJECT = 13;
constexpr uint16_t PT_BINARY = 258;

constexpr size_t TNEF_TITLE_MAX = 255;

int tnef_decode = 1;
int tnef_verbosity = 0;
int tnef_verbosity_contenttype = 0;
int tnef_debug = 0;
int tnef_rtf_count = 0; // XAM_N.rtf numbers, for the life of the process
char tnef_path[1024] = "";
TNEF_report_fn tnef_report = nullptr;

// Bounds-checked cursor over the loaded stream.
struct TNEF_cursor {
    const unsigned char *data;
    size_t size;
    size_t pos;
};

// The attachment being assembled from its attributes.
struct TNEF_attachment {
    char title[TNEF_TITLE_MAX + 1];
    int haveTitle;
    size_t dataPos;
    size_t dataSize;
    int haveData;
    char longname[TNEF_TITLE_MAX + 1]; // from the attachment's MAPI properties, if any
    char saved[TNEF_TITLE_MAX + 1];    // name the data was written under
};

} // namespace

int TNEF_init()
{
    tnef_decode = 1;
    tnef_verbosity = 0;
    tnef_verbosity_contenttype = 0;
    tnef_debug = 0;
    tnef_path[0] = '\0';
    tnef_report = nullptr;
    return 0;
}

int TNEF_reset()
{
    TNEF_init();
    tnef_rtf_count = 0;
    return 0;
}

int TNEF_set_decode(int level) { return tnef_decode = level; }
int TNEF_set_verbosity(int level) { return tnef_verbosity = level; }
int TNEF_set_verbosity_contenttype(int level) { return tnef_verbosity_contenttype = level; }
int TNEF_set_debug(int level) { return tnef_debug = level; }

int TNEF_set_path(const char *path)
{
    PLD_strncpy(tnef_path, path ? path : "", sizeof tnef_path);
    return 0;
}

int TNEF_set_filename_report_fn(TNEF_report_fn fn)
{
    tnef_report = fn;
    return 0;
}

static int TNEF_read_32(TNEF_cursor *c, uint32_t *value)
{
    if (c->pos > c->size || c->size - c->pos < 4) {
        LOGGER_log("%s:%d:TNEF_read_32:ERROR: Attempting to read beyond end of memory block", FL);
        return -1;
    }
    const unsigned char *p = c->data + c->pos;
    *value = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    c->pos += 4;
    return 0;
}

static int TNEF_read_16(TNEF_cursor *c, uint16_t *value)
{
    if (c->pos > c->size || c->size - c->pos < 2) {
        LOGGER_log("%s:%d:TNEF_read_16:ERROR: Attempting to read past end\n", FL);
        return -1;
    }
    *value = uint16_t(c->data[c->pos] | c->data[c->pos + 1] << 8);
    c->pos += 2;
    return 0;
}

static void TNEF_report_file(const char *name, const char *type)
{
    if (!tnef_verbosity)
        return;
    if (tnef_report) {
        char copy[TNEF_TITLE_MAX + 1], ctype[32];
        PLD_strncpy(copy, name, sizeof copy);
        PLD_strncpy(ctype, type, sizeof ctype);
        tnef_report(copy, tnef_verbosity_contenttype ? ctype : nullptr);
    } else {
        LOGGER_log("Decoding: %s\n", name);
    }
}

// Writes bytes to the output folder under name (already confined). Returns 0 or -1.
static int TNEF_save_data(const char *name, const unsigned char *bytes, size_t size)
{
    FILE *out = FNFILTER_fopen_output(tnef_path, name, 0644);
    if (!out) {
        LOGGER_log("%s:%d:TNEF_save_attach_data:ERROR: Failed opening file %s/%s for writing (%s)\n", FL, tnef_path,
                   name, strerror(errno));
        return -1;
    }
    if (size)
        fwrite(bytes, 1, size, out);
    fclose(out);
    return 0;
}

// Saves the attachment once both its title and its data are known.
static void TNEF_save_attachment(const TNEF_cursor *c, TNEF_attachment *a)
{
    if (!a->haveTitle || !a->haveData)
        return;
    // The title is chosen by the sender: keep one harmless path component of it.
    char name[TNEF_TITLE_MAX + 1];
    PLD_strncpy(name, a->longname[0] ? a->longname : a->title, sizeof name);
    if (FNFILTER_confine(name, sizeof name) != 0)
        PLD_strncpy(name, "untitled-attachment", sizeof name);
    if (TNEF_save_data(name, c->data + a->dataPos, a->dataSize) != 0) {
        LOGGER_log("%s:%d:TNEF_read_attribute:ERROR: While saving attachment '%s'\n", FL, name);
        return;
    }
    PLD_strncpy(a->saved, name, sizeof a->saved);
    TNEF_report_file(name, "tnef");
}

// Titles are 8.3 names ("ZAPPA_~2.JPG"); the attachment's own properties, which follow
// its data, carry the real one. The file is named after it, renamed if already saved.
static void TNEF_use_long_name(TNEF_attachment *a, const char *longname)
{
    char name[TNEF_TITLE_MAX + 1];
    PLD_strncpy(name, longname, sizeof name);
    if (FNFILTER_confine(name, sizeof name) != 0)
        return;
    PLD_strncpy(a->longname, name, sizeof a->longname);
    if (!a->saved[0] || strcmp(a->saved, name) == 0)
        return;
    if (FNFILTER_rename(tnef_path, a->saved, name) == 0) {
        PLD_strncpy(a->saved, name, sizeof a->saved);
        TNEF_report_file(name, "tnef");
    } else if (tnef_debug) {
        LOGGER_log("%s:%d:TNEF_use_long_name:DEBUG: cannot rename '%s' to '%s' (%s)", FL, a->saved, name,
                   strerror(errno));
    }
}

// UTF-16LE text of at most len bytes into UTF-8 (unpaired surrogates become "_").
static void TNEF_utf16_to_utf8(const unsigned char *in, size_t len, char *out, size_t size)
{
    size_t o = 0;
    for (size_t i = 0; i + 1 < len; i += 2) {
        uint32_t cp = uint32_t(in[i] | in[i + 1] << 8);
        if (cp == 0)
            break;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 3 < len) {
            const uint32_t low = uint32_t(in[i + 2] | in[i + 3] << 8);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            } else {
                cp = '_';
            }
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = '_';
        }
        char bytes[4];
        size_t n;
        if (cp < 0x80) {
            bytes[0] = char(cp);
            n = 1;
        } else if (cp < 0x800) {
            bytes[0] = char(0xC0 | cp >> 6);
            bytes[1] = char(0x80 | (cp & 0x3F));
            n = 2;
        } else if (cp < 0x10000) {
            bytes[0] = char(0xE0 | cp >> 12);
            bytes[1] = char(0x80 | (cp >> 6 & 0x3F));
            bytes[2] = char(0x80 | (cp & 0x3F));
            n = 3;
        } else {
            bytes[0] = char(0xF0 | cp >> 18);
            bytes[1] = char(0x80 | (cp >> 12 & 0x3F));
            bytes[2] = char(0x80 | (cp >> 6 & 0x3F));
            bytes[3] = char(0x80 | (cp & 0x3F));
            n = 4;
        }
        if (o + n + 1 > size)
            break;
        memcpy(out + o, bytes, n);
        o += n;
    }
    out[o] = '\0';
}

// Size of a property's value after its tag, for the fixed-size types.
static long TNEF_fixed_value_size(uint16_t type)
{
    switch (type) {
    case 2: return 2;
    case 3: case 4: case 6: case 7: case 10: case 11: return 4;
    case 5: case 64: return 8;
    case 20: return 16;
    case 72: return 16; // a class id: without it the walk would lose step
    default: return 0;
    }
}

// Walks a MAPI property block inside [c->pos, end): saves a compressed RTF body, and
// notes an attachment's long file name when a is given.
static void TNEF_read_mapi(TNEF_cursor outer, size_t end, TNEF_attachment *a)
{
    TNEF_cursor c = {outer.data, end, outer.pos};
    uint32_t count;
    if (TNEF_read_32(&c, &count) != 0)
        return;
    for (uint32_t i = 0; i < count && c.pos < c.size; ++i) {
        uint32_t tag;
        if (TNEF_read_32(&c, &tag) != 0)
            return;
        const uint16_t type = uint16_t(tag & 0xFFFF);
        // Unicode strings and embedded objects share the layout of strings and binaries.
        if (type == PT_STRING8 || type == PT_BINARY || type == PT_UNICODE || type == PT_OBJECT) {
            uint32_t values, length;
            if (TNEF_read_32(&c, &values) != 0 || TNEF_read_32(&c, &length) != 0)
                return;
            const size_t padded = (size_t(length) + 3) & ~size_t(3);
            if (padded > c.size - c.pos || padded < length)
                return;
            if (tag == PR_RTF_COMPRESSED) {
                char name[32];
                snprintf(name, sizeof name, "XAM_%d.rtf", tnef_rtf_count++);
                if (TNEF_save_data(name, c.data + c.pos, length) == 0)
                    TNEF_report_file(name, "tnef");
            } else if (a && tag >> 16 == PR_ATTACH_LONG_FILENAME && (type == PT_STRING8 || type == PT_UNICODE)) {
                char name[TNEF_TITLE_MAX + 1];
                if (type == PT_UNICODE)
                    TNEF_utf16_to_utf8(c.data + c.pos, length, name, sizeof name);
                else
                    PLD_memtostr(name, sizeof name, reinterpret_cast<const char *>(c.data + c.pos),
                                 strnlen(reinterpret_cast<const char *>(c.data + c.pos), length));
                TNEF_use_long_name(a, name);
            }
            c.pos += padded;
            continue;
        }
        const long skip = TNEF_fixed_value_size(type);
        if (size_t(skip) > c.size - c.pos)
            return;
        c.pos += size_t(skip);
    }
}

// Reads one attribute at c->pos and acts on it. Returns 0, or -1 to end decoding.
static int TNEF_read_attribute(TNEF_cursor *c, TNEF_attachment *a)
{
    const size_t start = c->pos;
    if (c->pos >= c->size)
        return -1;
    c->pos += 1; // level, not examined
    uint32_t id, length;
    if (TNEF_read_32(c, &id) != 0 || TNEF_read_32(c, &length) != 0)
        return -1;
    if (size_t(length) > c->size - c->pos) {
        if (tnef_debug)
            LOGGER_log("%s:%d:TNEF_decode_tnef:WARNING: TNEF - Attempting to read attribute at %d resulted in a "
                       "sub-zero response, ending decoding to be safe\n",
                       FL, int(start));
        return -1;
    }
    const size_t dataPos = c->pos;
    const size_t dataEnd = dataPos + length;

    switch (id) {
    case attAttachRendData:
        memset(a, 0, sizeof *a);
        break;
    case attAttachTitle: {
        const size_t n = strnlen(reinterpret_cast<const char *>(c->data + dataPos), length);
        PLD_memtostr(a->title, sizeof a->title, reinterpret_cast<const char *>(c->data + dataPos), n);
        a->haveTitle = 1;
        if (a->haveData)
            TNEF_save_attachment(c, a);
        break;
    }
    case attAttachData:
        a->dataPos = dataPos;
        a->dataSize = length;
        a->haveData = 1;
        if (a->haveTitle && length > 0)
            TNEF_save_attachment(c, a);
        break;
    case attMAPIProps:
        TNEF_read_mapi(*c, dataEnd, nullptr);
        break;
    case attAttachment:
        TNEF_read_mapi(*c, dataEnd, a);
        break;
    case attTnefVersion: {
        TNEF_cursor v = {c->data, dataEnd, dataPos};
        uint32_t version;
        TNEF_read_32(&v, &version);
        break;
    }
    default:
        break;
    }
    c->pos = dataEnd;
    uint16_t checksum;
    if (TNEF_read_16(c, &checksum) != 0)
        return -1;
    return 0;
}

int TNEF_decode_tnef(const unsigned char *data, size_t size)
{
    TNEF_cursor c = {data, size, 0};
    uint32_t signature;
    uint16_t key;
    if (TNEF_read_32(&c, &signature) != 0)
        return -1;
    if (signature != TNEF_SIGNATURE && tnef_verbosity)
        LOGGER_log("%s:%d:TNEF_decode_tnef:WARNING: Bad TNEF signature, expecting %lx got %lx\n", FL, TNEF_SIGNATURE,
                   static_cast<unsigned long>(signature));
    if (TNEF_read_16(&c, &key) != 0)
        return -1;
    TNEF_attachment a;
    memset(&a, 0, sizeof a);
    while (c.pos < c.size) {
        if (TNEF_read_attribute(&c, &a) != 0)
            return -1;
    }
    return 0;
}

int TNEF_main(const char *folder, const char *name)
{
    if (!tnef_decode)
        return 0;
    char path[2048];
    snprintf(path, sizeof path, "%s/%s", folder, name);
    FILE *in = FNFILTER_fopen_input(folder, name);
    if (!in) {
        LOGGER_log("%s:%d:TNEF_main:ERROR: opening file %s for reading (%s)\n", FL, path, strerror(errno));
        return -1;
    }
    struct stat st;
    if (fstat(fileno(in), &st) != 0) {
        LOGGER_log("%s:%d:TNEF_main:ERROR: while attempting to get details on file %s (%s)\n", FL, path,
                   strerror(errno));
        fclose(in);
        return -1;
    }
    const size_t size = size_t(st.st_size);
    unsigned char *data = static_cast<unsigned char *>(malloc(size ? size : 1));
    if (!data) {
        LOGGER_log("%s:%d:TNEF_main:ERROR: When allocating %d bytes for loading file (%s)\n", FL, int(size),
                   strerror(errno));
        fclose(in);
        return -1;
    }
    const size_t got = fread(data, 1, size, in);
    fclose(in);
    if (got != size) {
        LOGGER_log("%s:%d:TNEF_main:ERROR: while reading stream from file %s (%s)\n", FL, path, strerror(errno));
        free(data);
        return -1;
    }
    TNEF_decode_tnef(data, size);
    free(data);
    return 0;
}
