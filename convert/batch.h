// Batches of files: one named file, a pattern, a pattern in every subdirectory.
#pragma once

#include <cstdio>
#include "plugins/morphex_plugin.h"

enum batch_mode { batch_one_file = 0, batch_pattern = 1, batch_recursive = 2 };

void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter);
FILE *write_list_file(const char *pattern, const char *list_path);
