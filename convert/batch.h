// Batches of files: one named file, a pattern, a pattern in every subdirectory.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "plugins/morphex_plugin.h"

enum batch_mode { batch_one_file = 0, batch_pattern = 1, batch_recursive = 2 };

void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter);
// The files `pattern` matches, one name a line, written to `list_path` and
// opened at its start; null where the list cannot be written whole.  A name
// the code page cannot write is left out, and put into `left_out` where given.
FILE *write_list_file(const char *pattern, const char *list_path, std::vector<std::string> *left_out = nullptr);
