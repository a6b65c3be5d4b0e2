#include "MimeTestSupport.h"

#include "TestSupport.h"

#include "mimeextract/logger.h"
#include "mimeextract/mime.h"
#include "mimeextract/ripmime-api.h"

#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace MimeTest {

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), std::streamsize(data.size()));
}

std::map<std::string, std::string> folder(const std::string &dir)
{
    std::map<std::string, std::string> files;
    DIR *d = opendir(dir.c_str());
    if (!d)
        return files;
    while (const dirent *e = readdir(d)) {
        const std::string name = e->d_name, path = dir + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = readlink(path.c_str(), target, sizeof target);
            files[name] = "-> " + std::string(target, n > 0 ? size_t(n) : 0);
        } else if (S_ISREG(st.st_mode)) {
            files[name] = readFile(path);
        }
    }
    closedir(d);
    return files;
}

std::string fixture(const std::string &relative)
{
    const QString dir = TestSupport::fixturesDir();
    return dir.isEmpty() ? std::string() : dir.toStdString() + "/" + relative;
}

std::string normalised(const std::string &text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        out += text[i];
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

void Engine::SetUp()
{
    char tmpl[] = "/tmp/tarnwick-mime-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    m_root = tmpl;
    m_out = m_root + "/out";
    ASSERT_EQ(mkdir(m_out.c_str(), 0700), 0);
    MIME_reset();
    m_log = open_memstream(&m_logBuffer, &m_logSize);
    LOGGER_set_output_file(m_log);
    LOGGER_set_output_mode(LOGGER_MODE_LOGFILE);
}

void Engine::reset()
{
    MIME_reset();
    LOGGER_set_output_file(m_log);
    LOGGER_set_output_mode(LOGGER_MODE_LOGFILE);
}

void Engine::TearDown()
{
    MIME_reset();
    if (m_log)
        fclose(m_log);
    free(m_logBuffer);
    std::error_code ignored;
    std::filesystem::remove_all(m_root, ignored);
}

std::string Engine::log()
{
    fflush(m_log);
    return std::string(m_logBuffer ? m_logBuffer : "", m_logSize);
}

std::map<std::string, std::string> Engine::unpack(const std::string &message, const std::function<void()> &settings)
{
    const std::string input = m_root + "/message" + std::to_string(m_messages++) + ".eml";
    writeFile(input, message);
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    LOGGER_set_output_mode(LOGGER_MODE_LOGFILE); // RIPMIME_init_api chose standard output
    MIME_set_uniquenames(0);
    if (settings)
        settings();
    EXPECT_EQ(RIPMIME_decode(&api, input.c_str(), m_out.c_str()), 0);
    return folder(m_out);
}

} // namespace MimeTest
