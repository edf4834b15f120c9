// A batch of 2,000 files of 4 KiB through a pass-through converter pair,
// against copying the same files with CopyFile, in the same run.  Each
// conversion writes two files where a copy writes one: about 2x is the
// floor, the goal is at most 3x.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/engine_window.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "ui/notice.h"

namespace {

constexpr int file_count = 2000;
constexpr int file_size = 4096;

void make_sources(const std::string &dir)
{
    CreateDirectoryA(dir.c_str(), nullptr);
    const std::string content(file_size, 'b');
    for (int i = 0; i < file_count; ++i) {
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%s\\f%05d.txt", dir.c_str(), i);
        FILE *file = std::fopen(name, "wb");
        std::fwrite(content.data(), 1, content.size(), file);
        std::fclose(file);
    }
}

int ignore_notice(notice_kind, const char *)
{
    return 0;
}

}  // namespace

int main()
{
    app_instance = GetModuleHandleA(nullptr);
    connect_engine_to_window();
    set_notice_observer(ignore_notice);
    HMODULE probe = LoadLibraryA(MORPHEX_TEST_PLUGIN_DIR "/cnvprobe.dll");
    if (!probe || !alloc_path_buffers()) {
        std::fprintf(stderr, "cannot load cnvprobe.dll\n");
        return 1;
    }
    auto upper = reinterpret_cast<convert_fn>(reinterpret_cast<void *>(GetProcAddress(probe, "probe_upper")));
    auto copy = reinterpret_cast<convert_fn>(reinterpret_cast<void *>(GetProcAddress(probe, "probe_copy")));

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string root = std::string(temp) + "morphex-bench-batch";
    const std::string copies = root + "-copies";
    make_sources(root);
    CreateDirectoryA(copies.c_str(), nullptr);

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (int i = 0; i < file_count; ++i) {
        char from[MAX_PATH], to[MAX_PATH];
        std::snprintf(from, sizeof from, "%s\\f%05d.txt", root.c_str(), i);
        std::snprintf(to, sizeof to, "%s\\f%05d.txt", copies.c_str(), i);
        CopyFileA(from, to, FALSE);
    }
    const double copy_seconds = seconds_since(start);

    SetCurrentDirectoryA(root.c_str());
    QueryPerformanceCounter(&start);
    convert_batch("*.txt", "out", batch_pattern, upper, copy);
    const double batch_seconds = seconds_since(start);
    SetCurrentDirectoryA(temp);

    QueryPerformanceCounter(&start);
    for (int i = 0; i < file_count; ++i)
        busy_step();
    const double cursor_seconds = seconds_since(start);
    std::printf("busy_step alone:  %8.3f s\n", cursor_seconds);
    std::printf("files: %d of %d bytes\n", file_count, file_size);
    std::printf("CopyFile:         %8.3f s\n", copy_seconds);
    std::printf("Morphex batch:    %8.3f s\n", batch_seconds);
    std::printf("ratio batch/copy: %8.2fx (goal: at most 3x)\n", batch_seconds / copy_seconds);
    remove_dir(root);
    remove_dir(copies);
    return 0;
}
