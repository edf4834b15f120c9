// Shared by the benchmarks: a wall clock, removal of a scratch folder, and a
// converter found among a plug-in's formats.
#pragma once

#include <windows.h>

#include <cstring>
#include <string>

#include "plugins/morphex_plugin.h"

inline double seconds_since(const LARGE_INTEGER &start)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// Removes the files of `dir` (no subfolders) and the folder itself.
inline void remove_dir(const std::string &dir)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            DeleteFileA((dir + "\\" + found.cFileName).c_str());
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
}

// The converter of the format of that name among `count` records, null
// when there is none.
inline convert_fn find_converter(const format_entry *area, int count, const char *name)
{
    for (int i = 0; i < count; ++i)
        if (std::strcmp(area[i].name, name) == 0)
            return area[i].converter;
    return nullptr;
}
