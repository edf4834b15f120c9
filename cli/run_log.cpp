// The engine's events as mxconv reports them: failures on standard error as
// they happen, the progress line, and the records behind the summary and
// the report.
#include "cli/run_log.h"

#include <windows.h>

#include <cstdio>
#include <utility>

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
thread_local file_log *current_file;
held_lines *outside_lines;
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
    if (current_file)
        current_file->record.source = shown_name(source);
}

// A line outside any file: held for its PATH while one is walked.
void write_outside(output_stream stream, const std::string &line)
{
    if (outside_lines)
        outside_lines->emplace_back(stream, line);
    else
        write_line(stream, line);
}

void notice(engine_notice_kind, const char *text, DWORD)
{
    const std::string line = one_line(text);
    if (!current_file) {
        write_outside(output_stream::err, line);
        failures_outside_files += batch_running ? 1 : 0;
        return;
    }
    current_file->lines.emplace_back(output_stream::err, line);
    file_record &record = current_file->record;
    record.outcome = file_outcome::failed;
    if (record.message.empty())
        record.message = line;
    current_file->failure_printed = true;
}

void file_converted(const char *, const char *output)
{
    if (!current_file)
        return;
    file_record &record = current_file->record;
    record.output = shown_name(output);
    if (record.outcome == file_outcome::pending)
        record.outcome = file_outcome::converted;
    if (dry_run)
        current_file->lines.emplace_back(output_stream::out, record.source + " -> " + record.output);
}

void characters_lost(const char *, std::int32_t count)
{
    if (current_file)
        current_file->record.lost = count;
}

void format_found(const char *, const char *format)
{
    if (current_file)
        current_file->record.found = format;
}

void converter_fault(const char *file, const char *format, DWORD code)
{
    char text[512];
    std::snprintf(text, sizeof text, "The converter of format %s ended in exception 0x%08lX on %s.", format,
                  static_cast<unsigned long>(code), file);
    if (!current_file) {
        write_outside(output_stream::err, text);
        return;
    }
    current_file->record.outcome = file_outcome::failed;
    if (current_file->fault_text.empty())
        current_file->fault_text = text;
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
    events.file_started = file_started;
    events.file_converted = file_converted;
    events.characters_lost = characters_lost;
    events.format_found = format_found;
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

void set_current_file(file_log *log)
{
    current_file = log;
}

void hold_outside_lines(held_lines *lines)
{
    outside_lines = lines;
}

void write_held(const held_lines &lines)
{
    for (const auto &line : lines)
        write_line(line.first, line.second);
}

void finish_file(file_log &log)
{
    file_record &record = log.record;
    if (record.outcome == file_outcome::pending) {
        record.outcome = file_outcome::failed;
        record.message = "Not converted.";
    }
    write_held(log.lines);
    if (!log.fault_text.empty() && !log.failure_printed) {
        write_line(output_stream::err, log.fault_text);
        record.message = log.fault_text;
    }
    records.push_back(std::move(record));
    if (!quiet)
        show_progress(static_cast<int>(records.size()), records.back().source);
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
    text += "source,outcome,output,characters lost,message,found as\r\n";
    for (const file_record &record : records) {
        text += csv_field(record.source) + "," + outcome_name(record.outcome) + "," + csv_field(record.output) +
                "," + std::to_string(record.lost) + "," + csv_field(record.message) + "," + csv_field(record.found) +
                "\r\n";
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
