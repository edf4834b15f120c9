// Two-stage conversion of one file.
#pragma once

#include <cstdint>

#include "plugins/morphex_plugin.h"

constexpr int path_buffer_size = 256;

// A converted file whose output name is still to be chosen: it lies under a
// temporary name in the source's directory.
struct waiting_output {
    char source[path_buffer_size];
    char temporary[path_buffer_size];
    std::int32_t lost;  // characters the target could not write
};

// What one conversion works in.  A thread that converts owns its job, so
// that conversions on several threads never share a buffer or a mode.
struct conversion_job {
    char *source_path;        // path_buffer_size bytes each
    char *output_path;
    char *intermediate_path;
    int replace_mode;         // 1: the converted file takes the source's place
    int dry_run_mode;         // 1: only report the output name each file would get
    // Set by a front end that names the outputs itself, in an order of its
    // own: a converted file is then left in `waiting` for
    // name_waiting_output, and `output_waiting` says so.  Replace mode has
    // no name to choose and finishes at once as always.
    bool output_named_later;
    bool output_waiting;
    waiting_output waiting;
};

// A job with path buffers of its own.
struct owned_job {
    char source[path_buffer_size];
    char output[path_buffer_size];
    char intermediate[path_buffer_size];
    conversion_job job;
    owned_job(int replace, int dry_run)
        : source(), output(), intermediate(),
          job{source, output, intermediate, replace, dry_run, false, false, {}}
    {
    }
    owned_job(const owned_job &) = delete;
    owned_job &operator=(const owned_job &) = delete;
};

// The window's job: its buffers and modes under the program-wide names.
extern char *source_path;
extern char *output_path;
extern char *intermediate_path;
extern int replace_mode;
// 1: convert_file only reports the output name each file would get, and
// writes nothing.
extern int dry_run_mode;

// Returns false (and says so) when the buffers cannot be had.
bool alloc_path_buffers();
// Converts in the window's job.
void convert_file(const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter);
void convert_file(conversion_job &job, const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter);
// Gives a waiting output its name beside its source, as convert_file would
// have (`a.ext`, else `a_1.ext` ...), and reports the file converted; or
// removes it and says why.  Called in the order the names must be chosen.
void name_waiting_output(const waiting_output &waiting, const char *target_ext);
void report_wrong_format(const char *file_name);
