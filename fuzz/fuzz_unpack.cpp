// libFuzzer target: the whole unpack of one message, as the attachment-saving route runs it,
// with the input's length choosing a few settings (mailbox mode, unique names, paranoid
// names, small reader blocks) so that the fuzzer reaches them by growing or shrinking the
// input. After every run it checks that nothing was written outside the output folder and
// that no write went through the symbolic links planted in it.

#include "mimeextract/ffget.h"
#include "mimeextract/logger.h"
#include "mimeextract/mime.h"
#include "mimeextract/ripmime-api.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_work, g_input, g_out, g_canary;
const char *const kPlantedLinks[] = {"link", "x", "winmail.dat.lnk"};

void die(const char *what, const std::string &detail)
{
    fprintf(stderr, "fuzz_unpack: %s: %s\n", what, detail.c_str());
    abort();
}

void setUp()
{
    const char *base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : (getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp");
    std::string tmpl = std::string(base) + "/tarnwick-fuzz-XXXXXX";
    if (!mkdtemp(tmpl.data()))
        die("cannot make a work folder", tmpl);
    g_work = tmpl;
    g_input = g_work + "/input.eml";
    g_out = g_work + "/out";
    g_canary = g_work + "/canary";
    FILE *c = fopen(g_canary.c_str(), "w");
    if (!c)
        die("cannot make the canary", g_canary);
    fclose(c);
}

// Empties the output folder and plants links that point out of it.
void resetOutput()
{
    mkdir(g_out.c_str(), 0700);
    if (DIR *d = opendir(g_out.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                unlink((g_out + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    for (const char *name : kPlantedLinks)
        symlink("../canary", (g_out + "/" + name).c_str());
}

void checkConfinement()
{
    struct stat st;
    if (lstat(g_canary.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size != 0)
        die("a write went through a planted link", g_canary);
    DIR *d = opendir(g_work.c_str());
    if (!d)
        die("work folder vanished", g_work);
    while (const dirent *e = readdir(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != ".." && n != "input.eml" && n != "out" && n != "canary")
            die("a file was written outside the output folder", n);
    }
    closedir(d);
    if (DIR *o = opendir(g_out.c_str())) {
        while (const dirent *e = readdir(o)) {
            const std::string path = g_out + "/" + e->d_name;
            if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && strcmp(e->d_name, ".") &&
                strcmp(e->d_name, ".."))
                die("a folder was made in the output folder", path);
        }
        closedir(o);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_work.empty())
        setUp();
    FILE *in = fopen(g_input.c_str(), "wb");
    if (!in)
        die("cannot write the input", g_input);
    if (size)
        fwrite(data, 1, size, in);
    fclose(in);
    resetOutput();

    MIME_reset();
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    LOGGER_set_output_mode(LOGGER_MODE_NONE);
    MIME_set_uniquenames(size & 1);
    MIME_set_mailboxformat((size >> 1 & 7) == 0);
    if ((size >> 4 & 3) == 0) {
        MIME_set_paranoid(1);
        MIME_set_name_by_type(1);
        MIME_set_no_nameless(1);
    }
    if (size % 7 == 0)
        FFGET_set_block_size(int(1 + size % 97));
    RIPMIME_decode(&api, g_input.c_str(), g_out.c_str());
    checkConfinement();
    return 0;
}
