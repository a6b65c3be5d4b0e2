#include "ripmime-api.h"

#include "logger.h"
#include "mime.h"
#include "MIME_headers.h"
#include "pldstr.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <map>
#include <set>
#include <sys/stat.h>


namespace {
int ripmime_unpack_result = 0;
}

int RIPMIME_get_unpack_result() { return ripmime_unpack_result; }

int RIPMIME_init_api(struct RIPMIME_object *api)
{
    if (api) {
        api->mailpack[0] = '\0';
        api->outputdir[0] = '\0';
    }
    LOGGER_set_output_mode(LOGGER_MODE_STDOUT);
    MIME_init();
    MIME_set_uniquenames(1);
    MIME_set_paranoid(0);
    MIME_set_renamemethod(1);
    MIME_set_verbosity(0);
    return 0;
}

int RIPMIME_decode(struct RIPMIME_object *api, const char *mailpack, const char *outputdir)
{
    if (!mailpack) {
        LOGGER_log("%s:%d:RIPMIME_decode: mailpack filename is NULL\n", FL);
        return 1;
    }
    if (!outputdir) {
        LOGGER_log("%s:%d:RIPMIME_decode: output directory is NULL\n", FL);
        return 1;
    }
    RIPMIME_object local;
    if (!api)
        api = &local;
    PLD_strncpy(api->mailpack, mailpack, sizeof api->mailpack);
    PLD_strncpy(api->outputdir, outputdir, sizeof api->outputdir);
    srand(unsigned(time(nullptr)));

    const size_t len = strlen(api->outputdir);
    if (len > 1 && api->outputdir[len - 1] == '/')
        api->outputdir[len - 1] = '\0';
    if (mkdir(api->outputdir, 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "ripMIME: Cannot create directory '%s' (%s)\n", api->outputdir, strerror(errno));
        return -1;
    }
    MIMEH_set_outputdir(api->outputdir);
    ripmime_unpack_result = MIME_unpack(api->outputdir, api->mailpack, 0);
    MIME_close();
    return 0;
}

namespace {

struct RIPMIME_fileid {
    ino_t inode;
    struct timespec changed;
    off_t size;
    bool operator==(const RIPMIME_fileid &o) const
    {
        return inode == o.inode && changed.tv_sec == o.changed.tv_sec && changed.tv_nsec == o.changed.tv_nsec &&
               size == o.size;
    }
};

// Regular files directly in folder, by name.
std::map<std::string, RIPMIME_fileid> RIPMIME_list(const char *folder)
{
    std::map<std::string, RIPMIME_fileid> files;
    DIR *dir = opendir(folder);
    if (!dir)
        return files;
    while (const dirent *entry = readdir(dir)) {
        struct stat st;
        const std::string path = std::string(folder) + "/" + entry->d_name;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files[entry->d_name] = {st.st_ino, st.st_ctim, st.st_size};
    }
    closedir(dir);
    return files;
}

std::set<std::string> ripmime_reported;

int RIPMIME_collect(char *filename, char *)
{
    if (filename)
        ripmime_reported.insert(filename);
    return 0;
}

} // namespace

int RIPMIME_extract(const char *mailpack, const char *folder, std::vector<std::string> &written)
{
    written.clear();
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    MIME_set_uniquenames(0);
    // Files are recognised by the report of each name, and by a change of the folder for
    // what reports miss (double-CR files); a rewrite to equal content still changes ctime.
    ripmime_reported.clear();
    MIME_set_verbosity(1);
    MIME_set_verbosity_12x_style(0);
    MIME_set_filename_report_fn(RIPMIME_collect);

    std::string dir = folder ? folder : "";
    if (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    const auto before = RIPMIME_list(dir.c_str());
    const int result = RIPMIME_decode(&api, mailpack, folder);
    const auto after = RIPMIME_list(dir.c_str());

    MIME_set_filename_report_fn(nullptr);
    MIME_set_verbosity(0);

    std::string mailpackName;
    if (mailpack) {
        char real1[4096], real2[4096];
        const char *slash = strrchr(mailpack, '/');
        std::string parent = slash ? std::string(mailpack, size_t(slash - mailpack)) : ".";
        if (realpath(parent.empty() ? "/" : parent.c_str(), real1) && realpath(dir.c_str(), real2) &&
            strcmp(real1, real2) == 0)
            mailpackName = slash ? slash + 1 : mailpack;
    }
    for (const auto &[name, id] : after) {
        if (name == mailpackName)
            continue;
        const auto old = before.find(name);
        if (old == before.end() || !(old->second == id) || ripmime_reported.count(name))
            written.push_back(dir + "/" + name);
    }
    std::sort(written.begin(), written.end());
    ripmime_reported.clear();
    return result;
}
