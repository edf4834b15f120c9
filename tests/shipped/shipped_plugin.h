// A shipped plug-in loaded as the host loads it, its formats listed, and one
// converter run on real streams: what the tests of every shipped plug-in share.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "plugins/morphex_plugin.h"
#include "tests/common/test_support.h"

struct plugin_formats {
    HMODULE module = nullptr;
    std::vector<format_entry> sources;
    std::vector<format_entry> targets;
};

// The DLL loaded and its formats listed; module is null where it does not load.
inline plugin_formats load_formats(const char *dll)
{
    plugin_formats f;
    f.module = LoadLibraryA(dll);
    auto enumerate = f.module ? plugin_function<dll_enum_fn>(f.module, PLUGIN_ENUM_EXPORT) : nullptr;
    if (enumerate) {
        std::vector<format_entry> area(256);
        f.sources.assign(area.begin(), area.begin() + enumerate(area.data(), FORMAT_LIST_SOURCE, 1));
        f.targets.assign(area.begin(), area.begin() + enumerate(area.data(), FORMAT_LIST_TARGET, 1));
    }
    return f;
}

inline const format_entry *find_format(const std::vector<format_entry> &list, const std::string &name)
{
    for (const format_entry &entry : list)
        if (name == entry.name)
            return &entry;
    return nullptr;
}

inline convert_fn find_converter(const std::vector<format_entry> &list, const std::string &name)
{
    const format_entry *entry = find_format(list, name);
    return entry ? entry->converter : nullptr;
}

// Runs one converter on real streams, as the host opens them, in the current
// directory (a test's fresh one).
inline int run_converter(convert_fn converter, const std::string &input, std::string &output)
{
    if (!converter) {
        ADD_FAILURE() << "no such format";
        return -99;
    }
    write_file("in.bin", input);
    FILE *in = std::fopen("in.bin", "r+b");
    FILE *out = std::fopen("out.bin", "w+b");
    const int result = converter(in, out);
    std::fclose(in);
    std::fclose(out);
    output = read_file("out.bin");
    return result;
}
