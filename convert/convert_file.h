// Two-stage conversion of one file.
#pragma once

#include "plugins/morphex_plugin.h"

constexpr int path_buffer_size = 256;

extern char *source_path;
extern char *output_path;
extern char *intermediate_path;
extern int replace_mode;
// 1: convert_file only reports the output name each file would get, and
// writes nothing.
extern int dry_run_mode;

// Returns false (and says so) when the buffers cannot be had.
bool alloc_path_buffers();
void convert_file(const char *source, const char *target_ext, convert_fn source_converter,
                  convert_fn target_converter);
void report_wrong_format(const char *file_name);
