// Batches of files: one named file, a pattern, a pattern in every subdirectory.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "plugins/morphex_plugin.h"

enum batch_mode { batch_one_file = 0, batch_pattern = 1, batch_recursive = 2 };

// Called with each file of a batch, in the order of the batch.
using batch_visitor = std::function<void(const char *name)>;

// The files of a batch, each handed to `visit` in turn: the file itself, or
// those `pattern` matches (its directory's, then, recursive, those of every
// subdirectory depth first, each named by its path from the current
// directory).  Between files the front end may stop the walk.
void walk_batch(const char *pattern, int mode, const batch_visitor &visit);
void convert_batch(const char *pattern, const char *target_ext, int mode, convert_fn source_converter,
                   convert_fn target_converter);
// The files `pattern` matches, one name a line, written to `list_path` and
// opened at its start; null where the list cannot be written whole.  A name
// the code page cannot write is left out, and put into `left_out` where given.
FILE *write_list_file(const char *pattern, const char *list_path, std::vector<std::string> *left_out = nullptr);
