// mxconv's command line: options anywhere, "--" ends them, an option's
// value follows it as the next argument (or after "=" for the long ones).
#include "cli/options.h"

#include <cstdlib>
#include <cstring>
#include <string>

const char usage_text[] =
    "Usage: mxconv -f SOURCE -t TARGET [options] PATH...\n"
    "       mxconv --formats [--plugins DIR]\n"
    "\n"
    "Converts each file that a PATH names, through the source format's and the\n"
    "target format's converter plug-ins, as Morphex's Convert command does.\n"
    "A PATH is a file, a pattern (*.txt, docs\\*.rtf) or a directory (all its files).\n"
    "\n"
    "  -f SOURCE        the source format: its exact name, or any part of it that\n"
    "                   no other source format name contains (letter case ignored)\n"
    "  -t TARGET        the target format, named the same way\n"
    "  -r               also every subdirectory, depth first, with the same pattern\n"
    "  --replace        converted files replace their sources, keeping their date\n"
    "  --dry-run        print the output name each file would get; change nothing\n"
    "  -j N, --jobs N   convert up to N files at once (1 to 64; by default one\n"
    "                   per logical processor); the outputs, their names, the\n"
    "                   lines and the report are the same whatever N is\n"
    "  --report FILE    write one row per file to FILE (CSV, UTF-8): source,\n"
    "                   outcome, output, characters lost, message\n"
    "  --plugins DIR    load the plug-ins (cnv*.dll) from DIR instead of the\n"
    "                   directory that holds mxconv.exe\n"
    "  -q               no progress line and no summary\n"
    "  --formats        list the source and target formats and their plug-ins\n"
    "  --help           this text\n"
    "  --version        the version\n"
    "\n"
    "Exit status: 0 every file converted, 1 some file failed, 2 usage error\n"
    "(unknown option or format, no plug-in, no file matched).\n";

namespace {

// "--name=value" or "--name value"; false when `argument` is another option.
bool long_value(const char *argument, const char *name, int argc, char **argv, int &i, std::string &value,
                std::string &error)
{
    const std::size_t length = std::strlen(name);
    if (std::strncmp(argument, name, length) != 0)
        return false;
    if (argument[length] == '=') {
        value = argument + length + 1;
    } else if (argument[length] != '\0') {
        return false;
    } else if (i + 1 < argc) {
        value = argv[++i];
    }
    if (value.empty())
        error = std::string("option ") + name + " needs a value";
    return true;
}

// The number of jobs: a whole number from 1 to most_jobs.
bool jobs_value(const std::string &text, int &jobs, std::string &error)
{
    char *end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || value < 1 || value > most_jobs) {
        error = "option --jobs needs a number from 1 to " + std::to_string(most_jobs) + ", not \"" + text + "\"";
        return false;
    }
    jobs = static_cast<int>(value);
    return true;
}

}  // namespace

bool parse_options(int argc, char **argv, cli_options &options, std::string &error)
{
    bool options_ended = false;
    for (int i = 1; i < argc && error.empty(); ++i) {
        const char *argument = argv[i];
        if (options_ended || argument[0] != '-' || argument[1] == '\0') {
            if (std::strcmp(argument, "/?") == 0 && !options_ended)
                options.help = true;
            else
                options.paths.push_back(argument);
            continue;
        }
        if (std::strcmp(argument, "--") == 0) {
            options_ended = true;
        } else if (std::strcmp(argument, "-f") == 0 || std::strcmp(argument, "-t") == 0) {
            std::string &format = argument[1] == 'f' ? options.source_format : options.target_format;
            if (i + 1 < argc)
                format = argv[++i];
            else
                error = std::string("option ") + argument + " needs a format name";
        } else if (std::strcmp(argument, "-j") == 0) {
            if (i + 1 < argc)
                jobs_value(argv[++i], options.jobs, error);
            else
                error = "option -j needs a number";
        } else if (std::strcmp(argument, "-r") == 0) {
            options.recursive = true;
        } else if (std::strcmp(argument, "-q") == 0) {
            options.quiet = true;
        } else if (std::strcmp(argument, "--replace") == 0) {
            options.replace = true;
        } else if (std::strcmp(argument, "--dry-run") == 0) {
            options.dry_run = true;
        } else if (std::strcmp(argument, "--formats") == 0) {
            options.list_formats = true;
        } else if (std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0) {
            options.help = true;
        } else if (std::strcmp(argument, "--version") == 0) {
            options.version = true;
        } else if (std::string jobs; long_value(argument, "--jobs", argc, argv, i, jobs, error)) {
            if (error.empty())
                jobs_value(jobs, options.jobs, error);
        } else if (!long_value(argument, "--report", argc, argv, i, options.report_path, error) &&
                   !long_value(argument, "--plugins", argc, argv, i, options.plugin_dir, error)) {
            error = std::string("unknown option ") + argument;
        }
    }
    return error.empty();
}
