// What the intermediate file's header says of the source, where a source
// format finds each file's kind by its content ("Document - Any
// (detected)"): the kind it took the file for.
#pragma once

#include <cstdio>

constexpr int found_format_size = 64;

struct found_format {
    char name[found_format_size];  // empty where the header names none
};

// Reads the header at the start of `intermediate` and leaves the stream at
// its start again.
found_format found_format_of(std::FILE *intermediate);
