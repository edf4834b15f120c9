// What mxconv learns from the engine during a run: one record per file,
// the counts for the summary line and the rows of the report.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "cli/console.h"

enum class file_outcome { pending, converted, failed };

struct file_record {
    std::string source;   // relative to the directory the run started in, when below it
    file_outcome outcome = file_outcome::pending;
    std::string output;   // shown like the source; in a dry run, the name it would get
    std::int32_t lost = 0;
    std::string message;  // the first failure's text, on one line
    std::string found;    // what a source format that detects took the file for
};

// Lines kept back to be written in the order of the files, not of the
// threads that converted them.
using held_lines = std::vector<std::pair<output_stream, std::string>>;

// What the engine reported of one file, held until the files before it
// have been shown.
struct file_log {
    file_record record;
    held_lines lines;
    bool failure_printed = false;  // a line on standard error already speaks for it
    std::string fault_text;        // a converter fault, shown unless a line did
};

// Hands the engine mxconv's event table.  Names are shown relative to
// `start_directory` (absolute, ending in '\') where they lie below it; the
// engine asks `stop_requested` between files.
void connect_engine_to_console(const std::string &start_directory, bool dry_run, bool quiet,
                               bool (*stop_requested)());

// While a batch runs, a notice outside any file (no list file could be
// made) counts as a failure of the run; while plug-ins load, it is a warning.
void set_batch_running(bool running);
// The file whose events the engine reports on the calling thread; null
// between files.
void set_current_file(file_log *log);
// Where the lines of notices outside any file go while a PATH is walked;
// null: straight out.
void hold_outside_lines(held_lines *lines);
// Writes a finished file's lines and adds its record to the run's.
void finish_file(file_log &log);
void write_held(const held_lines &lines);

const std::vector<file_record> &run_records();
int files_started();
int run_failures();  // notices of the run that belong to no file
bool plugin_file_found();
int formats_accepted();

std::string summary_line();
// One row per file, UTF-8 with a header row; false when it cannot be written.
bool write_report(const std::string &path);

// `text` on one line: each line break becomes one space.
std::string one_line(const std::string &text);
