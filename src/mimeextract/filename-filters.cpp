#include "filename-filters.h"

#include "logger.h"
#include "pldstr.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>


namespace {

int fnfilter_paranoid = 0;
int fnfilter_mac = 0;
int fnfilter_verbose = 0;
int fnfilter_debug = 0;

} // namespace

int FNFILTER_init()
{
    fnfilter_paranoid = 0;
    fnfilter_mac = 0;
    fnfilter_verbose = 0;
    fnfilter_debug = 0;
    return 0;
}

int FNFILTER_set_verbose(int level) { return fnfilter_verbose = level; }
int FNFILTER_set_debug(int level) { return fnfilter_debug = level; }
int FNFILTER_set_paranoid(int level) { return fnfilter_paranoid = level; }
int FNFILTER_set_mac(int level) { return fnfilter_mac = level; }
int FNFILTER_get_mac() { return fnfilter_mac; }

// Keeps only the text after position p (which is inside name).
static void FNFILTER_keep_after(char *name, char *p)
{
    memmove(name, p + 1, strlen(p + 1) + 1);
}

static char *FNFILTER_last_separator(char *name)
{
    char *slash = strrchr(name, '/');
    char *backslash = strrchr(name, '\\');
    return slash > backslash ? slash : backslash;
}

int FNFILTER_paranoid_filter(char *name, size_t len)
{
    if (!name)
        return 0;
    if (strnlen(name, len + 1) > len)
        name[len] = '\0';
    if (strcmp(name, "..") == 0) {
        name[0] = name[1] = '_';
        return 0;
    }
    if (strcmp(name, ".") == 0) {
        name[0] = '_';
        return 0;
    }
    char *sep;
    while ((sep = FNFILTER_last_separator(name)) != nullptr) {
        if (sep[1] == '\0') {
            *sep = '\0';
            continue;
        }
        FNFILTER_keep_after(name, sep);
        break;
    }
    if (fnfilter_paranoid) {
        for (unsigned char *p = reinterpret_cast<unsigned char *>(name); *p; ++p) {
            if (!(isascii(*p) && (isalnum(*p) || *p == '.')))
                *p = '_';
        }
    }
    return 0;
}

int FNFILTER_filter(char *name, size_t size)
{
    if (!name || size == 0)
        return 0;
    size_t len = strnlen(name, size);
    if (len >= size) {
        len = size - 1;
        name[len] = '\0';
    }
    if (fnfilter_mac) {
        for (char *p = name; *p; ++p) {
            if (*p == '/')
                *p = '-';
        }
    }
    if (len > 2 && name[0] == '"' && name[len - 1] == '"') {
        memmove(name, name + 1, len - 2);
        name[len - 2] = '\0';
    }
    if (char *slash = strrchr(name, '/')) {
        FNFILTER_keep_after(name, slash);
    } else if (char *backslash = strrchr(name, '\\'); backslash && backslash[1] != '"') {
        FNFILTER_keep_after(name, backslash);
    }
    // Web addresses used as names carry a query string ("photo.jpg?x=1"); "=?" is the
    // start of an encoded word and stays.
    if (char *q = strchr(name, '?')) {
        if (q == name)
            *q = '-';
        else if (q[-1] != '=')
            *q = '\0';
    }
    FNFILTER_paranoid_filter(name, strlen(name));
    if (fnfilter_debug)
        LOGGER_log("%s:%d:FNFILTER_filter:DEBUG: filtered name '%s'", FL, name);
    return 0;
}

int FNFILTER_confine(char *name, size_t size)
{
    if (!name || size == 0)
        return -1;
    if (strnlen(name, size) >= size)
        name[size - 1] = '\0';
    size_t len = strlen(name);
    while (len > 0 && (name[len - 1] == '/' || name[len - 1] == '\\'))
        name[--len] = '\0';
    if (char *sep = FNFILTER_last_separator(name))
        FNFILTER_keep_after(name, sep);
    if (name[0] == '\0')
        return -1;
    if (strspn(name, ".") == strlen(name)) {
        for (char *p = name; *p; ++p)
            *p = '_';
    }
    return 0;
}

int FNFILTER_is_confined(const char *name)
{
    if (!name || !*name || strchr(name, '/') || strchr(name, '\\'))
        return 0;
    return strspn(name, ".") != strlen(name);
}

// The output folder as an open descriptor, so that the name is resolved inside it only.
static int FNFILTER_open_folder(const char *folder, const char *name)
{
    if (!folder || !FNFILTER_is_confined(name)) {
        errno = EINVAL;
        return -1;
    }
    return open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

// An open descriptor is usable only for a regular file; anything else (a FIFO that would
// block, a device) is refused.
static FILE *FNFILTER_stream(int fd, const char *mode)
{
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        errno = EEXIST;
        return nullptr;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    FILE *fp = fdopen(fd, mode);
    if (!fp)
        close(fd);
    return fp;
}

FILE *FNFILTER_fopen_output(const char *folder, const char *name, mode_t mode)
{
    const int dfd = FNFILTER_open_folder(folder, name);
    if (dfd < 0)
        return nullptr;
    struct stat st;
    if (fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
            close(dfd);
            errno = S_ISLNK(st.st_mode) ? ELOOP : EEXIST;
            return nullptr;
        }
        // Truncating would also empty the other names of this file.
        if (st.st_nlink > 1)
            unlinkat(dfd, name, 0);
    }
    const int fd = openat(dfd, name, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode);
    const int saved = errno;
    close(dfd);
    if (fd < 0) {
        errno = saved;
        return nullptr;
    }
    return FNFILTER_stream(fd, "wb");
}

FILE *FNFILTER_fopen_input(const char *folder, const char *name)
{
    const int dfd = FNFILTER_open_folder(folder, name);
    if (dfd < 0)
        return nullptr;
    const int fd = openat(dfd, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const int saved = errno;
    close(dfd);
    if (fd < 0) {
        errno = saved;
        return nullptr;
    }
    return FNFILTER_stream(fd, "rb");
}

int FNFILTER_exists(const char *folder, const char *name)
{
    const int dfd = FNFILTER_open_folder(folder, name);
    if (dfd < 0)
        return 0;
    struct stat st;
    const int found = fstatat(dfd, name, &st, AT_SYMLINK_NOFOLLOW) == 0;
    close(dfd);
    return found;
}

int FNFILTER_link(const char *folder, const char *existing, const char *newname)
{
    if (!FNFILTER_is_confined(existing)) {
        errno = EINVAL;
        return -1;
    }
    const int dfd = FNFILTER_open_folder(folder, newname);
    if (dfd < 0)
        return -1;
    const int r = linkat(dfd, existing, dfd, newname, 0);
    const int saved = errno;
    close(dfd);
    errno = saved;
    return r;
}

int FNFILTER_rename(const char *folder, const char *from, const char *to)
{
    if (!FNFILTER_is_confined(from)) {
        errno = EINVAL;
        return -1;
    }
    const int dfd = FNFILTER_open_folder(folder, to);
    if (dfd < 0)
        return -1;
    const int r = renameat(dfd, from, dfd, to);
    const int saved = errno;
    close(dfd);
    errno = saved;
    return r;
}

int FNFILTER_remove(const char *folder, const char *name)
{
    const int dfd = FNFILTER_open_folder(folder, name);
    if (dfd < 0)
        return -1;
    const int r = unlinkat(dfd, name, 0);
    const int saved = errno;
    close(dfd);
    errno = saved;
    return r;
}
