// The engine's events as mxconv reports them: failures on standard error as
// they happen, the progress line, and the records behind the summary and
// the report.
#include "cli/run_log.h"

#include <windows.h>

#include <cstdio>

#include "cli/console.h"
#include "convert/engine_events.h"
#include "support/paths.h"

namespace {

constexpr char utf8_mark[] = "\xEF\xBB\xBF";

std::string start_directory;
bool dry_run;
bool quiet;
bool batch_running;
std::vector<file_record> records;
bool file_open;           // the last record is the file in progress
bool failure_printed;     // a line on standard error already speaks for it
std::string fault_text;   // a converter fault of the file in progress
int failures_outside_files;
bool no_plugin_file;
int accepted;

// The name as the user knows it: relative to where the run started.
std::string shown_name(const char *name)
{
    return relative_to(full_path_of(name), start_directory);
}

std::string plural(int count, const char *one, const char *many)
{
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

void file_started(const char *source)
{
    finish_file();
    file_record record;
    record.source = shown_name(source);
    records.push_back(record);
    file_open = true;
    failure_printed = false;
    fault_text.clear();
    if (!quiet)
        show_progress(static_cast<int>(records.size()) - 1, records.back().source);
}

void notice(engine_notice_kind, const char *text, DWORD)
{
    const std::string line = one_line(text);
    write_line(output_stream::err, line);
    if (!file_open) {
        failures_outside_files += batch_running ? 1 : 0;
        return;
    }
    file_record &record = records.back();
    record.outcome = file_outcome::failed;
    if (record.message.empty())
        record.message = line;
    failure_printed = true;
}

void file_converted(const char *, const char *output)
{
    if (!file_open)
        return;
    file_record &record = records.back();
    record.output = shown_name(output);
    if (record.outcome == file_outcome::pending)
        record.outcome = file_outcome::converted;
    if (dry_run)
        write_line(output_stream::out, record.source + " -> " + record.output);
}

void characters_lost(const char *, std::int32_t count)
{
    if (file_open)
        records.back().lost = count;
}

void converter_fault(const char *file, const char *format, DWORD code)
{
    char text[512];
    std::snprintf(text, sizeof text, "The converter of format %s ended in exception 0x%08lX on %s.", format,
                  static_cast<unsigned long>(code), file);
    if (!file_open) {
        write_line(output_stream::err, text);
        return;
    }
    records.back().outcome = file_outcome::failed;
    if (fault_text.empty())
        fault_text = text;
}

void no_plugin(HWND, const char *, const char *)
{
    no_plugin_file = true;
}

void format_accepted(HWND, int, const char *)
{
    ++accepted;
}

// A CSV field: quoted when it holds a separator, a quote or a line break.
std::string csv_field(const std::string &ansi)
{
    std::string text;
    if (!ansi.empty()) {
        const int wide_length = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
        std::wstring wide(static_cast<std::size_t>(wide_length), L'\0');
        MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), &wide[0], wide_length);
        const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, nullptr, 0, nullptr, nullptr);
        text.assign(static_cast<std::size_t>(length), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), wide_length, &text[0], length, nullptr, nullptr);
    }
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

const char *outcome_name(file_outcome outcome)
{
    switch (outcome) {
    case file_outcome::converted: return dry_run ? "would convert" : "converted";
    case file_outcome::failed: return "failed";
    case file_outcome::pending: break;
    }
    return "not converted";
}

}  // namespace

void connect_engine_to_console(const std::string &directory, bool dry_run_wanted, bool quiet_wanted,
                               bool (*stop_requested)())
{
    start_directory = directory;
    dry_run = dry_run_wanted;
    quiet = quiet_wanted;
    engine_events events{};
    events.notice = notice;
    // A file's events end at the next step between files.
    events.busy_step = finish_file;
    events.file_started = file_started;
    events.file_converted = file_converted;
    events.characters_lost = characters_lost;
    events.converter_fault = converter_fault;
    events.no_plugin = no_plugin;
    events.format_accepted = format_accepted;
    events.stop_requested = stop_requested;
    set_engine_events(events);
}

void set_batch_running(bool running)
{
    batch_running = running;
}

void finish_file()
{
    if (!file_open)
        return;
    file_open = false;
    file_record &record = records.back();
    if (record.outcome == file_outcome::pending) {
        record.outcome = file_outcome::failed;
        record.message = "Not converted.";
    }
    if (!fault_text.empty() && !failure_printed) {
        write_line(output_stream::err, fault_text);
        record.message = fault_text;
    }
}

const std::vector<file_record> &run_records()
{
    return records;
}

int files_started()
{
    return static_cast<int>(records.size());
}

int run_failures()
{
    return failures_outside_files;
}

bool plugin_file_found()
{
    return !no_plugin_file;
}

int formats_accepted()
{
    return accepted;
}

std::string summary_line()
{
    int converted = 0, failed = 0, lossy = 0;
    for (const file_record &record : records) {
        converted += record.outcome == file_outcome::converted;
        failed += record.outcome != file_outcome::converted;
        lossy += record.lost > 0;
    }
    return plural(converted, "file", "files") + (dry_run ? " would be converted, " : " converted, ") +
           std::to_string(failed) + " failed, characters lost in " + plural(lossy, "file", "files") + ".";
}

bool write_report(const std::string &path)
{
    FILE *report = std::fopen(path.c_str(), "wb");
    if (!report)
        return false;
    std::string text = utf8_mark;
    text += "source,outcome,output,characters lost,message\r\n";
    for (const file_record &record : records) {
        text += csv_field(record.source) + "," + outcome_name(record.outcome) + "," + csv_field(record.output) +
                "," + std::to_string(record.lost) + "," + csv_field(record.message) + "\r\n";
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), report) == text.size();
    return std::fclose(report) == 0 && written;
}

std::string one_line(const std::string &text)
{
    std::string line;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r' || c == '\n') {
            if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
            line += ' ';
        } else {
            line += c;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}
