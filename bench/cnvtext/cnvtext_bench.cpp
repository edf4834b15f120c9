// bench_cnvtext [BIG_FILE]: UTF-8 to Windows ANSI through both stages of
// cnvtext.dll against CopyFile of the same files, in the same run.  Without
// BIG_FILE a 64 MiB text is made in %TEMP%.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <string>

#include "app/app_state.h"
#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"
#include "ui/notice.h"

namespace {

constexpr int small_count = 2000;

int ignore_notice(notice_kind, const char *)
{
    return 0;
}

convert_fn find(format_entry *area, int count, const char *name)
{
    for (int i = 0; i < count; ++i)
        if (std::string(area[i].name) == name)
            return area[i].converter;
    return nullptr;
}

void write_text(const std::string &name, std::size_t size)
{
    const std::string line = "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen, l'\xC3\xA9t\xC3\xA9 \xE2\x80\x93 line of text\r\n";
    FILE *file = std::fopen(name.c_str(), "wb");
    std::string block;
    while (block.size() < (1 << 20))
        block += line;
    for (std::size_t written = 0; written < size; written += block.size())
        std::fwrite(block.data(), 1, block.size() < size - written ? block.size() : size - written, file);
    std::fclose(file);
}

}  // namespace

int main(int argc, char **argv)
{
    app_instance = GetModuleHandleA(nullptr);
    set_notice_observer(ignore_notice);
    HMODULE plugin = LoadLibraryA("cnvtext.dll");
    if (!plugin || !alloc_path_buffers()) {
        std::fprintf(stderr, "run me beside cnvtext.dll\n");
        return 1;
    }
    auto enumerate = reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(plugin, PLUGIN_ENUM_EXPORT)));
    format_entry sources[64], targets[64];
    const convert_fn reader = find(sources, enumerate(sources, FORMAT_LIST_SOURCE, 1), "Text - UTF-8");
    const convert_fn writer = find(targets, enumerate(targets, FORMAT_LIST_TARGET, 1), "Text - Windows ANSI (1252)");

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string dir = std::string(temp) + "morphex-bench-cnvtext\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string big = argc > 1 ? argv[1] : dir + "big.txt";
    if (argc <= 1)
        write_text(big, 64u << 20);

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    CopyFileA(big.c_str(), (dir + "big-copy.txt").c_str(), FALSE);
    const double copy_big = seconds_since(start);
    const std::string source = dir + "big-source.txt";
    CopyFileA(big.c_str(), source.c_str(), FALSE);
    QueryPerformanceCounter(&start);
    convert_file(source.c_str(), "ans", reader, writer);
    const double convert_big = seconds_since(start);

    for (int i = 0; i < small_count; ++i)
        write_text(dir + "s" + std::to_string(i) + ".txt", 4096);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < small_count; ++i)
        CopyFileA((dir + "s" + std::to_string(i) + ".txt").c_str(), (dir + "c" + std::to_string(i) + ".cpy").c_str(),
                  FALSE);
    const double copy_small = seconds_since(start);
    QueryPerformanceCounter(&start);
    for (int i = 0; i < small_count; ++i)
        convert_file((dir + "s" + std::to_string(i) + ".txt").c_str(), "ans", reader, writer);
    const double convert_small = seconds_since(start);

    std::printf("64 MiB UTF-8 -> ANSI: copy %.3f s, Morphex %.3f s, ratio %.2fx (goal: at most 3x)\n", copy_big,
                convert_big, convert_big / copy_big);
    std::printf("2,000 files of 4 KiB: copy %.3f s, Morphex %.3f s, ratio %.2fx\n", copy_small, convert_small,
                convert_small / copy_small);
    std::printf("morphex_big_seconds=%.3f\n", convert_big);

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            DeleteFileA((dir + found.cFileName).c_str());
        while (FindNextFileA(search, &found));
        FindClose(search);
    }
    RemoveDirectoryA(dir.c_str());
    return 0;
}
