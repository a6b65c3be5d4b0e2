#include "TarnwickApp/ExtractCommand.h"

#include "mimeextract/MIME_headers.h"
#include "mimeextract/ffget.h"
#include "mimeextract/logger.h"
#include "mimeextract/mime.h"
#include "mimeextract/ripmime-api.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char *kUsage =
    "Usage: tarnwick extract [options] -i MAILPACK -d DIR\n"
    "Writes every part of a raw message (MAILPACK, \"-\" for standard input, or a folder of\n"
    "messages) as a file into DIR.\n"
    "\n"
    "  -i FILE              message to read\n"
    "  -d DIR               output folder (made if missing)\n"
    "  -p PREFIX            stem of nameless parts (default \"textfile\")\n"
    "  -e [NAME]            also write every header block to DIR/NAME (default \"_headers_\")\n"
    "  -v                   report each file written\n"
    "  -q                   quiet: no reports, no non-fatal open errors\n"
    "  -V, --version        print the version\n"
    "  -h, --help           this text\n"
    "  --verbose-contenttype, --verbose-oldstyle, --verbose-defects, --verbose-mime\n"
    "  --stdout, --stderr, --syslog     where log lines go\n"
    "  --paranoid, --no-paranoid        only letters, digits and \".\" in names\n"
    "  --name-by-type                   name nameless parts after their content type\n"
    "  --no-nameless                    remove nameless parts afterwards\n"
    "  --overwrite, --unique-names      equal names overwrite / are renamed\n"
    "  --prefix, --postfix, --infix     rename as N_name, name_N, or stem_N.ext\n"
    "  --mailbox                        the input is a mailbox of several messages\n"
    "  --formdata                       keep NUL bytes of the input\n"
    "  --no-tnef, --no-ole, --no-base64, --no-quotedprintable, --no-mht, --no-uudecode\n"
    "  --no-doublecr, --no-multiple-filenames, --disable-header-fix\n"
    "  --qmail-bounce, --disable-qmail-bounce   look for a message past the first blank line\n"
    "  --recursion-max N                deepest nesting unpacked (default 20)\n"
    "  --timeout S                      give up (exit status 5) after S seconds per message\n"
    "  --extended-errors                exit with the unpack's result code\n"
    "  --debug                          debug trace\n"
    "  --buildcodes                     print build information\n";

struct Options {
    std::string input, output;
    int timeout = 0;
    bool extendedErrors = false;
    bool oldStyle = false;
    bool failed = false; // an input could not be read or the folder not made
};

char g_alarmMessage[4096];

void signalAlarm(int)
{
    // Only async-signal-safe calls here: the text was formatted before the alarm was set.
    ssize_t ignored = write(STDERR_FILENO, g_alarmMessage, strlen(g_alarmMessage));
    (void)ignored;
    _exit(5);
}

int reportFile(char *filename, char *contenttype)
{
    if (contenttype)
        printf("Decoding content-type=%s filename=%s\n", contenttype, filename);
    else
        printf("Decoding filename=%s\n", filename);
    fflush(stdout);
    return 0;
}

// Takes the value of an option that needs one; nullptr when it is missing.
const char *value(const std::vector<std::string> &args, size_t &i)
{
    return i + 1 < args.size() ? args[++i].c_str() : nullptr;
}

// Applies one option. Returns -1 to go on, or an exit status.
int apply(const std::vector<std::string> &args, size_t &i, Options &o)
{
    const std::string &a = args[i];
    auto is = [&a](std::initializer_list<const char *> names) {
        for (const char *n : names)
            if (a == n)
                return true;
        return false;
    };
    if (is({"-i", "-d", "-p", "--recursion-max", "--timeout"})) {
        const char *v = value(args, i);
        if (!v) {
            fprintf(stderr, "tarnwick extract: option %s needs a value\n\n%s", a.c_str(), kUsage);
            return 1;
        }
        if (a == "-i") o.input = v;
        else if (a == "-d") o.output = v;
        else if (a == "-p") MIME_set_blankfileprefix(v);
        else if (a == "--recursion-max") { if (atoi(v) >= 1) MIME_set_recursion_level(atoi(v)); }
        else o.timeout = atoi(v);
    } else if (a == "-e") {
        MIME_set_dumpheaders(1);
        if (i + 1 < args.size() && !args[i + 1].empty() && args[i + 1][0] != '-')
            MIME_set_headersname(args[++i].c_str());
    } else if (a == "-v") MIME_set_verbosity(1);
    else if (a == "-q") MIME_set_quiet(1);
    else if (is({"-V", "--version"})) { printf("tarnwick extract %s\n", TARNWICK_VERSION); return 0; }
    else if (is({"-h", "--help"})) { fputs(kUsage, stdout); return 0; }
    else if (a == "--buildcodes") { printf("tarnwick extract %s, built %s %s\n", TARNWICK_VERSION, __DATE__, __TIME__); return 0; }
    else if (a == "--verbose-contenttype") MIME_set_verbosity_contenttype(1);
    else if (a == "--verbose-oldstyle") { MIME_set_verbosity_12x_style(1); o.oldStyle = true; }
    else if (a == "--verbose-defects") MIME_set_verbose_defects(1);
    else if (a == "--verbose-mime") MIME_set_report_MIME(1);
    else if (a == "--stdout") LOGGER_set_output_mode(LOGGER_MODE_STDOUT);
    else if (a == "--stderr") LOGGER_set_output_mode(LOGGER_MODE_STDERR);
    else if (a == "--syslog") { LOGGER_set_output_mode(LOGGER_MODE_SYSLOG); LOGGER_set_syslog_mode(22); }
    else if (a == "--paranoid") MIME_set_paranoid(1);
    else if (is({"--no-paranoid", "--no_paranoid"})) MIME_set_paranoid(0);
    else if (a == "--name-by-type") MIME_set_name_by_type(1);
    else if (is({"--no-nameless", "--no_nameless"})) MIME_set_no_nameless(1);
    else if (a == "--overwrite") MIME_set_uniquenames(0);
    else if (is({"--unique-names", "--unique_names"})) MIME_set_uniquenames(1);
    else if (a == "--prefix") MIME_set_renamemethod(2);
    else if (a == "--postfix") MIME_set_renamemethod(3);
    else if (a == "--infix") MIME_set_renamemethod(1);
    else if (a == "--mailbox") MIME_set_mailboxformat(1);
    else if (a == "--formdata") { FFGET_set_allow_nul(1); MIMEH_set_webform(1); }
    else if (a == "--no-tnef") MIME_set_decode_tnef(0);
    else if (a == "--no-ole") MIME_set_decode_ole(0);
    else if (a == "--no-base64") MIME_set_decode_base64(0);
    else if (a == "--no-quotedprintable") MIME_set_decode_qp(0);
    else if (a == "--no-mht") MIME_set_decode_mht(0);
    else if (is({"--no-uudecode", "--no_uudecode"})) MIME_set_decode_uudecode(0);
    else if (a == "--no-doublecr") MIME_set_decode_doubleCR(0);
    else if (a == "--no-multiple-filenames") MIME_set_multiple_filenames(0);
    else if (a == "--disable-header-fix") MIMEH_set_headerfix(0);
    else if (a == "--qmail-bounce") MIME_set_header_longsearch(1);
    else if (a == "--disable-qmail-bounce") MIME_set_header_longsearch(0);
    else if (a == "--extended-errors") o.extendedErrors = true;
    else if (a == "--debug") MIME_set_debug(1);
    else {
        LOGGER_log("Cannot interpret option \"%s\"\n%s\n", a.c_str(), kUsage);
        return 1;
    }
    return -1;
}

// Unpacks one mailpack; returns the unpack's result code.
int unpackOne(RIPMIME_object &api, const std::string &mailpack, Options &o)
{
    if (o.timeout > 0) {
        snprintf(g_alarmMessage, sizeof g_alarmMessage,
                 "%s:%d:RIPMIME_signal_alarm: ripMIME took too long to complete. Mailpack is \"%s\", output dir is "
                 "\"%s\"\n",
                 __FILE__, __LINE__, mailpack.c_str(), o.output.c_str());
        signal(SIGALRM, signalAlarm);
        alarm(unsigned(o.timeout));
    }
    const int decoded = RIPMIME_decode(&api, mailpack.c_str(), o.output.c_str());
    if (o.timeout > 0)
        alarm(0);
    const int result = decoded != 0 ? decoded : RIPMIME_get_unpack_result();
    if (decoded != 0 || result == MIME_ERROR_FILE)
        o.failed = true;
    return result;
}

int unpackFolder(RIPMIME_object &api, Options &o)
{
    fputs("input file is a directory, recursing\n", stderr);
    DIR *dir = opendir(o.input.c_str());
    if (!dir) {
        fprintf(stderr, "tarnwick extract: cannot read folder '%s' (%s)\n", o.input.c_str(), strerror(errno));
        return 1;
    }
    std::vector<std::string> files;
    while (const dirent *entry = readdir(dir)) {
        const std::string path = o.input + "/" + entry->d_name;
        struct stat st;
        if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
            files.push_back(path);
    }
    closedir(dir);
    int result = 0;
    for (const std::string &path : files) {
        printf("Unpacking mailpack %s\n", path.c_str());
        fflush(stdout);
        result = unpackOne(api, path, o);
    }
    return result;
}

} // namespace

namespace ExtractCommand {

const char *usage() { return kUsage; }

int run(const std::vector<std::string> &args)
{
    RIPMIME_object api;
    RIPMIME_init_api(&api);
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const int status = apply(args, i, o);
        if (status >= 0)
            return status;
    }
    if (o.input.empty() || o.output.empty()) {
        fprintf(stderr, "tarnwick extract: both -i MAILPACK and -d DIR are needed\n\n%s", kUsage);
        return 1;
    }
    if (!o.oldStyle)
        MIME_set_filename_report_fn(reportFile);

    struct stat st;
    const bool folder = o.input != "-" && stat(o.input.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    const int result = folder ? unpackFolder(api, o) : unpackOne(api, o.input, o);
    if (o.extendedErrors)
        return result & 0xFF;
    return o.failed ? 2 : 0;
}

int run(const QStringList &args)
{
    std::vector<std::string> plain;
    plain.reserve(size_t(args.size()));
    for (const QString &a : args)
        plain.push_back(a.toStdString());
    return run(plain);
}

} // namespace ExtractCommand
