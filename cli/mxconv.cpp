// mxconv.exe: Morphex's conversions from the command line, on the same
// engine as the window.  It never opens a window: the engine's events go to
// standard output and standard error, and the system's own error boxes are
// turned off.
#include <windows.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "cli/console.h"
#include "cli/conversion_pool.h"
#include "cli/format_choice.h"
#include "cli/options.h"
#include "cli/run_log.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "morphex_version.h"
#include "plugins/registry.h"
#include "support/paths.h"

// Patterns reach mxconv as the user typed them: the runtime must not expand
// them against the current directory before the engine sees them.
int _dowildcard = 0;

namespace {

enum exit_status { exit_converted = 0, exit_failed = 1, exit_usage = 2 };

// Set by Ctrl+C or Ctrl+Break: the files being converted are finished, no
// other is begun, and the run ends with its summary and report.
volatile LONG stop_wanted;

BOOL WINAPI on_console_break(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedExchange(&stop_wanted, 1);
    return TRUE;
}

bool stop_requested()
{
    return InterlockedCompareExchange(&stop_wanted, 0, 0) != 0;
}

struct chosen_formats {
    convert_fn source_converter;
    convert_fn target_converter;
    const char *target_ext;
};

int usage_error(const std::string &text)
{
    write_line(output_stream::err, "mxconv: " + text);
    write_line(output_stream::err, "Try \"mxconv --help\" for more information.");
    return exit_usage;
}

// The directory that holds mxconv.exe, where the shipped plug-ins lie.
std::string program_directory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return ".";
    char *end = std::strrchr(path, '\\');
    if (!end)
        return ".";
    *end = '\0';
    return path;
}

void list_formats(const char *heading, const format_entry *table, const format_origin *origins)
{
    const std::vector<int> slots = slots_by_name(table, origins);
    std::size_t name_width = 0;
    for (int slot : slots)
        name_width = std::max(name_width, std::strlen(table[slot].name));
    write_line(output_stream::out, heading);
    for (int slot : slots) {
        std::string line = "  " + std::string(table[slot].name);
        line.append(name_width + 2 - std::strlen(table[slot].name), ' ');
        std::string ext = table[slot].ext[0] ? std::string(".") + table[slot].ext : std::string("-");
        ext.resize(std::max<std::size_t>(ext.size(), 6), ' ');
        write_line(output_stream::out, line + ext + origins[slot].plugin);
    }
}

// The slot a format name chooses, or a usage error naming the candidates.
bool resolve_format(const char *kind, const std::string &text, const format_entry *table,
                    const format_origin *origins, int &slot)
{
    std::vector<std::string> candidates;
    const format_match match = choose_format(text, table, origins, slot, candidates);
    if (match == format_match::found)
        return true;
    std::string message = match == format_match::unknown
                              ? std::string("unknown ") + kind + " format \"" + text + "\"; the " + kind +
                                    " formats are:"
                              : std::string("the ") + kind + " format \"" + text + "\" is ambiguous; it matches:";
    for (const std::string &name : candidates)
        message += "\n    " + name;
    write_line(output_stream::err, "mxconv: " + message);
    return false;
}

// The files of one PATH (a file, a pattern or a directory: all its files),
// and the lines of the notices its walk gave outside any file.
struct path_files {
    std::size_t first = 0;  // index of its first file in the run's list
    std::size_t count = 0;
    held_lines outside;
};

// Adds the files `path` names to `files`, in the order the engine's batch
// takes them; -r walks the subdirectories of a pattern's or a directory's
// directory.  Names are relative to the current directory, which stays.
void list_path(const std::string &path, const cli_options &options, std::vector<std::string> &files)
{
    const std::size_t separator = path.find_last_of("\\/:");
    const std::string last_part = separator == std::string::npos ? path : path.substr(separator + 1);
    const DWORD attributes = GetFileAttributesA(path.c_str());
    std::string pattern;
    if (last_part.find_first_of("*?") != std::string::npos) {
        pattern = path;
    } else if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const char last = path.back();
        pattern = path + (last == '\\' || last == '/' || last == ':' ? "" : "\\") + "*.*";
    } else {
        if (attributes != INVALID_FILE_ATTRIBUTES)
            files.push_back(path);
        return;
    }
    walk_batch(pattern.c_str(), options.recursive ? batch_recursive : batch_pattern,
               [&](const char *name) { files.push_back(name); });
}

// Converts every PATH's files, up to options.jobs at once, and shows them
// in the order of the PATHs and of their files; true when some PATH matched
// no file.
bool convert_paths(const cli_options &options, const chosen_formats &formats)
{
    bool path_unmatched = false;
    set_batch_running(true);
    SetConsoleCtrlHandler(on_console_break, TRUE);
    std::vector<std::string> files;
    std::vector<path_files> paths;
    for (const std::string &path : options.paths) {
        if (stop_requested())
            break;
        paths.emplace_back();
        path_files &listed = paths.back();
        listed.first = files.size();
        hold_outside_lines(&listed.outside);
        list_path(path, options, files);
        hold_outside_lines(nullptr);
        listed.count = files.size() - listed.first;
    }
    {
        const int jobs = options.jobs > 0 ? options.jobs : std::min(logical_processors(), most_jobs);
        conversion_pool pool(files, {formats.source_converter, formats.target_converter, formats.target_ext,
                                     options.replace ? 1 : 0, options.dry_run ? 1 : 0, jobs, stop_requested});
        for (std::size_t p = 0; p < paths.size(); ++p) {
            write_held(paths[p].outside);
            int begun = 0;
            for (std::size_t i = paths[p].first; i < paths[p].first + paths[p].count; ++i) {
                if (file_log *log = pool.take(i)) {
                    finish_file(*log);
                    ++begun;
                }
            }
            if (begun == 0 && !stop_requested()) {
                write_line(output_stream::err, "mxconv: no file matches " + options.paths[p]);
                path_unmatched = true;
            }
        }
    }
    set_batch_running(false);
    SetConsoleCtrlHandler(on_console_break, FALSE);
    clear_progress();
    if (stop_requested())
        write_line(output_stream::err, "mxconv: stopped by Ctrl+C before the end");
    return path_unmatched;
}

// 2 when no PATH matched a file; 1 when anything was left undone; else 0.
int run_status(bool path_unmatched)
{
    if (files_started() == 0 && run_failures() == 0)
        return exit_usage;
    for (const file_record &record : run_records())
        if (record.outcome != file_outcome::converted)
            return exit_failed;
    return path_unmatched || run_failures() > 0 || stop_requested() ? exit_failed : exit_converted;
}

int run(const cli_options &options)
{
    const std::string start = current_directory_with_separator();
    connect_engine_to_console(start, options.dry_run, options.quiet, stop_requested);
    start_output(!options.quiet);

    const std::string plugin_dir = options.plugin_dir.empty() ? program_directory() : options.plugin_dir;
    load_plugins_from(nullptr, plugin_dir.c_str());
    if (!plugin_file_found())
        return usage_error("no conversion plug-in (cnv*.dll) found in " + full_path_of(plugin_dir));
    if (formats_accepted() == 0)
        return usage_error("the plug-ins in " + full_path_of(plugin_dir) + " gave no format");
    if (options.list_formats) {
        list_formats("Source formats:", source_formats, source_origins);
        list_formats("Target formats:", target_formats, target_origins);
        return exit_converted;
    }
    if (options.source_format.empty() || options.target_format.empty())
        return usage_error("both a source format (-f) and a target format (-t) are needed");
    if (options.paths.empty())
        return usage_error("no file named");
    int source = 0, target = 0;
    if (!resolve_format("source", options.source_format, source_formats, source_origins, source) ||
        !resolve_format("target", options.target_format, target_formats, target_origins, target))
        return exit_usage;
    const chosen_formats formats{source_formats[source].converter, target_formats[target].converter,
                                 target_formats[target].ext};
    const std::string report = options.report_path.empty() ? std::string() : full_path_of(options.report_path);

    const bool path_unmatched = convert_paths(options, formats);
    int status = run_status(path_unmatched);
    if (!options.quiet && files_started() > 0)
        write_line(output_stream::out, summary_line());
    if (!report.empty() && !write_report(report)) {
        write_line(output_stream::err, "mxconv: cannot write the report " + report);
        if (status == exit_converted)
            status = exit_failed;
    }
    return status;
}

}  // namespace

int main(int argc, char **argv)
{
    // A missing medium or a crashing plug-in must not open a system box
    // that waits for a person no script provides.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    cli_options options;
    std::string error;
    if (!parse_options(argc, argv, options, error))
        return usage_error(error);
    if (options.help) {
        std::string text = usage_text;
        text.pop_back();
        write_line(output_stream::out, text);
        return exit_converted;
    }
    if (options.version) {
        write_line(output_stream::out, "mxconv (" MORPHEX_PRODUCT_NAME ") " MORPHEX_VERSION_TEXT);
        return exit_converted;
    }
    return run(options);
}
