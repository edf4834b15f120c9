// mxconv's output: lines on standard output and standard error, and the
// progress line, rewritten in place, when standard output is a console.
#pragma once

#include <string>

enum class output_stream { out, err };

// Decides once whether the progress line is shown.
void start_output(bool progress_wanted);
// One line (without its line end), in the ANSI code page like every name.
void write_line(output_stream stream, const std::string &text);
void show_progress(int files_done, const std::string &current_name);
void clear_progress();
