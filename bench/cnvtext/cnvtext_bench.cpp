// bench_cnvtext: conversions through both stages of cnvtext.dll, each with a
// plain copy of the same file measured in the same run.  Commands, in any
// order (bench/cnvtext/run.sh gives them and adds the native iconv):
//
//   convert FILE SOURCE TARGET   one conversion of FILE (the output beside it
//                                is removed), a CopyFile of it and the floor
//                                of its input and output; prints "convert<TAB>
//                                copy s<TAB>Morphex s<TAB>Morphex processor s
//                                <TAB>floor s"
//   small                        2,000 files of 4 KiB, UTF-8 to Windows ANSI
//   peak FILE SOURCE TARGET      one conversion with the process's peak
//                                memory before and after
#include <windows.h>

#include <psapi.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/app_state.h"
#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"
#include "ui/notice.h"

namespace {

constexpr int small_count = 2000;

struct formats {
    format_entry sources[64];
    format_entry targets[64];
    int source_count = 0;
    int target_count = 0;
};

formats plugin;
std::string scratch;

int print_notice(notice_kind, const char *text)
{
    std::fprintf(stderr, "notice: %s\n", text);
    return 0;
}

convert_fn find(const format_entry *area, int count, const char *name)
{
    const convert_fn converter = find_converter(area, count, name);
    if (!converter)
        std::fprintf(stderr, "no format \"%s\"\n", name);
    return converter;
}

// Processor time of this process (user and kernel), in seconds: the work
// done, whatever else the machine is doing.
double cpu_seconds()
{
    FILETIME created, ended, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &ended, &kernel, &user);
    auto seconds = [](const FILETIME &t) {
        return static_cast<double>(static_cast<unsigned long long>(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

std::string output_of(const std::string &file)
{
    return file.substr(0, file.rfind('.')) + ".out";
}

long long file_size(const std::string &name)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExA(name.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return static_cast<long long>(data.nFileSizeHigh) << 32 | data.nFileSizeLow;
}

struct conversion {
    double seconds = 0;
    double cpu = 0;
    long long intermediate = 0; // bytes of the intermediate form
    long long output = 0;
};

// Converts `file` (the output lands beside it, and is removed); the wall
// clock and the processor time it took, and the sizes it wrote.
conversion convert_seconds(const std::string &file, const char *source, const char *target)
{
    const convert_fn reader = find(plugin.sources, plugin.source_count, source);
    const convert_fn writer = find(plugin.targets, plugin.target_count, target);
    conversion result;
    if (!reader || !writer)
        return result;
    LARGE_INTEGER start;
    const double cpu_start = cpu_seconds();
    QueryPerformanceCounter(&start);
    convert_file(file.c_str(), "out", reader, writer);
    result.seconds = seconds_since(start);
    result.cpu = cpu_seconds() - cpu_start;
    result.output = file_size(output_of(file));
    DeleteFileA(output_of(file).c_str());
    // the first stage once more, untimed, for the size of what it writes
    const std::string intermediate = file + ".mid";
    FILE *in = std::fopen(file.c_str(), "rb");
    FILE *out = std::fopen(intermediate.c_str(), "wb");
    if (in && out)
        reader(in, out);
    if (in)
        std::fclose(in);
    if (out)
        std::fclose(out);
    result.intermediate = file_size(intermediate);
    DeleteFileA(intermediate.c_str());
    return result;
}

// Reads `in` to its end in blocks and writes `size` bytes to `out`, the
// last block again where the output is the larger.
void pour(FILE *in, FILE *out, long long size)
{
    static char block[1 << 18];
    while (size > 0) {
        std::fread(block, 1, sizeof block, in);
        const std::size_t n = size < static_cast<long long>(sizeof block) ? static_cast<std::size_t>(size) : sizeof block;
        std::fwrite(block, 1, n, out);
        size -= static_cast<long long>(n);
    }
    while (std::fread(block, 1, sizeof block, in) > 0) {
    }
}

// The floor under any conversion through a work file: the same bytes moved
// as its two stages move them, with nothing looked at.  Stage one reads the
// source and writes a work file as large as the intermediate form beside
// it; stage two reads that back through the same stream and writes a file
// as large as the output; the C streams and blocks are the plug-in's.
double floor_once(const std::string &file, long long intermediate, long long output)
{
    const std::string work = file + ".floor", target = output_of(file) + ".floor";
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    FILE *in = std::fopen(file.c_str(), "rb");
    FILE *middle = std::fopen(work.c_str(), "w+b");
    if (in && middle) {
        pour(in, middle, intermediate);
        std::fflush(middle);
        std::rewind(middle);
        if (FILE *out = std::fopen(target.c_str(), "wb")) {
            pour(middle, out, output);
            std::fclose(out);
        }
    }
    if (in)
        std::fclose(in);
    if (middle)
        std::fclose(middle);
    const double seconds = seconds_since(start);
    DeleteFileA(work.c_str());
    DeleteFileA(target.c_str());
    return seconds;
}

// A floor is the least it takes: the best of three, as the disk's write-back
// of earlier files may fall into any one of them.
double floor_seconds(const std::string &file, long long intermediate, long long output)
{
    double best = floor_once(file, intermediate, output);
    for (int i = 1; i < 3; ++i) {
        const double seconds = floor_once(file, intermediate, output);
        if (seconds < best)
            best = seconds;
    }
    return best;
}

double copy_seconds(const std::string &file)
{
    const std::string copy = scratch + "copy.txt";
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    CopyFileA(file.c_str(), copy.c_str(), FALSE);
    const double seconds = seconds_since(start);
    DeleteFileA(copy.c_str());
    return seconds;
}

void write_text(const std::string &name, std::size_t size)
{
    const std::string line = "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen, l'\xC3\xA9t\xC3\xA9 \xE2\x80\x93 line of text\r\n";
    FILE *file = std::fopen(name.c_str(), "wb");
    std::string block;
    while (block.size() < size)
        block += line;
    std::fwrite(block.data(), 1, size, file);
    std::fclose(file);
}

void small_files()
{
    const convert_fn reader = find(plugin.sources, plugin.source_count, "Text - Unicode - UTF-8");
    const convert_fn writer = find(plugin.targets, plugin.target_count, "Text - Western - Windows (1252)");
    const std::string dir = scratch + "small\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    for (int i = 0; i < small_count; ++i)
        write_text(dir + "s" + std::to_string(i) + ".txt", 4096);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < small_count; ++i)
        CopyFileA((dir + "s" + std::to_string(i) + ".txt").c_str(), (dir + "c" + std::to_string(i) + ".cpy").c_str(),
                  FALSE);
    const double copy = seconds_since(start);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < small_count; ++i)
        convert_file((dir + "s" + std::to_string(i) + ".txt").c_str(), "ans", reader, writer);
    const double morphex = seconds_since(start);
    std::printf("2,000 files of 4 KiB, UTF-8 to Windows (1252): copy %.3f s, Morphex %.3f s, ratio %.2fx\n", copy,
                morphex, morphex / copy);
    remove_dir(scratch + "small");
}

double mib(SIZE_T bytes)
{
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

void peak(const std::string &file, const char *source, const char *target)
{
    PROCESS_MEMORY_COUNTERS before{}, after{};
    GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof before);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    GetFileAttributesExA(file.c_str(), GetFileExInfoStandard, &data);
    const double gib = (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) /
                       (1024.0 * 1024.0 * 1024.0);
    const convert_fn reader = find(plugin.sources, plugin.source_count, source);
    const convert_fn writer = find(plugin.targets, plugin.target_count, target);
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (reader && writer)
        convert_file(file.c_str(), "out", reader, writer);
    const double seconds = seconds_since(start);
    GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof after);
    const std::string output = output_of(file);
    GetFileAttributesExA(output.c_str(), GetFileExInfoStandard, &data);
    const double out_gib = (static_cast<double>(data.nFileSizeHigh) * 4294967296.0 + data.nFileSizeLow) /
                           (1024.0 * 1024.0 * 1024.0);
    std::printf("%.2f GiB %s -> %s: %.1f s, output %.2f GiB; peak working set %.1f MiB (%.1f MiB before), "
                "peak private memory %.1f MiB (%.1f MiB before)\n",
                gib, source, target, seconds, out_gib, mib(after.PeakWorkingSetSize), mib(before.PeakWorkingSetSize),
                mib(after.PeakPagefileUsage), mib(before.PeakPagefileUsage));
    DeleteFileA(output.c_str());
}

}  // namespace

int main(int argc, char **argv)
{
    app_instance = GetModuleHandleA(nullptr);
    set_notice_observer(print_notice);
    HMODULE module = LoadLibraryA("cnvtext.dll");
    if (!module || !alloc_path_buffers()) {
        std::fprintf(stderr, "run me beside cnvtext.dll\n");
        return 1;
    }
    auto enumerate =
        reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(module, PLUGIN_ENUM_EXPORT)));
    plugin.source_count = enumerate(plugin.sources, FORMAT_LIST_SOURCE, 1);
    plugin.target_count = enumerate(plugin.targets, FORMAT_LIST_TARGET, 1);

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    scratch = std::string(temp) + "morphex-bench-cnvtext\\";
    CreateDirectoryA(scratch.c_str(), nullptr);
    if (argc <= 1) {
        small_files();
    }
    for (int i = 1; i < argc; ++i) {
        const std::string command = argv[i];
        if (command == "small") {
            small_files();
        } else if ((command == "convert" || command == "peak") && i + 3 < argc) {
            const std::string file = argv[i + 1];
            if (command == "convert") {
                const conversion morphex = convert_seconds(file, argv[i + 2], argv[i + 3]);
                const double copy = copy_seconds(file);
                const double floor = floor_seconds(file, morphex.intermediate, morphex.output);
                std::printf("convert\t%.3f\t%.3f\t%.3f\t%.3f\n", copy, morphex.seconds, morphex.cpu, floor);
            } else {
                peak(file, argv[i + 2], argv[i + 3]);
            }
            i += 3;
        } else {
            std::fprintf(stderr, "unknown command %s\n", argv[i]);
            return 1;
        }
        std::fflush(stdout);
    }
    remove_dir(scratch.substr(0, scratch.size() - 1));
    return 0;
}
