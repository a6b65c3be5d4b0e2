// libFuzzer target: the TNEF decoder on a stream held in memory, the one decoder that
// follows lengths read from its input.

#include "mimeextract/logger.h"
#include "mimeextract/tnef/tnef.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_out;

void emptyFolder()
{
    if (DIR *d = opendir(g_out.c_str())) {
        while (const dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, ".."))
                unlink((g_out + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_out.empty()) {
        std::string tmpl = std::string(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + "/tarnwick-tnef-XXXXXX";
        if (!mkdtemp(tmpl.data()))
            abort();
        g_out = tmpl;
    }
    TNEF_reset();
    LOGGER_set_output_mode(LOGGER_MODE_NONE);
    TNEF_set_path(g_out.c_str());
    TNEF_set_verbosity(1);
    TNEF_decode_tnef(data, size);
    emptyFolder();
    return 0;
}
