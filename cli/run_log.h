// What mxconv learns from the engine during a run: one record per file,
// the counts for the summary line and the rows of the report.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum class file_outcome { pending, converted, failed };

struct file_record {
    std::string source;   // relative to the directory the run started in, when below it
    file_outcome outcome = file_outcome::pending;
    std::string output;   // shown like the source; in a dry run, the name it would get
    std::int32_t lost = 0;
    std::string message;  // the first failure's text, on one line
};

// Hands the engine mxconv's event table.  Names are shown relative to
// `start_directory` (absolute, ending in '\') where they lie below it; the
// engine asks `stop_requested` between files.
void connect_engine_to_console(const std::string &start_directory, bool dry_run, bool quiet,
                               bool (*stop_requested)());

// While a batch runs, a notice outside any file (no list file could be
// made) counts as a failure of the run; while plug-ins load, it is a warning.
void set_batch_running(bool running);
// Ends the record of the file in progress: at each step of the engine
// between files, and after each batch.
void finish_file();

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
