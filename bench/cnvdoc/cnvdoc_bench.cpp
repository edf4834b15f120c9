// bench_cnvdoc MARKDOWN RTF: a Markdown and an RTF document to HTML through
// both stages of cnvdoc.dll, against CopyFile of the same files, in the same
// run.  scripts/bench.sh makes the two files (bench/cnvdoc/make_documents.py)
// and times the native pandoc and cmark-gfm on them.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <string>

#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"

namespace {

struct timing {
    double copy, morphex;
};

// The best of three runs of each, so that one stall of a shared machine
// does not decide the ratio.
timing measure(const std::string &file, const std::string &dir, const char *ext, convert_fn reader, convert_fn writer)
{
    timing best{1e9, 1e9};
    const std::string source = dir + "source." + ext;
    for (int round = 0; round < 3; ++round) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        CopyFileA(file.c_str(), (dir + "copy." + ext).c_str(), FALSE);
        const double copy = seconds_since(start);
        CopyFileA(file.c_str(), source.c_str(), FALSE);
        DeleteFileA((dir + "source.html").c_str());
        QueryPerformanceCounter(&start);
        convert_file(source.c_str(), "html", reader, writer);
        const double morphex = seconds_since(start);
        best.copy = copy < best.copy ? copy : best.copy;
        best.morphex = morphex < best.morphex ? morphex : best.morphex;
    }
    return best;
}

}  // namespace

int main(int argc, char **argv)
{
    // No front end listens to the engine here: a failure shows no notice.
    HMODULE plugin = LoadLibraryA("cnvdoc.dll");
    if (argc < 3 || !plugin || !alloc_path_buffers()) {
        std::fprintf(stderr, "usage: bench_cnvdoc MARKDOWN RTF (run beside cnvdoc.dll)\n");
        return 1;
    }
    auto enumerate = reinterpret_cast<dll_enum_fn>(reinterpret_cast<void *>(GetProcAddress(plugin, PLUGIN_ENUM_EXPORT)));
    format_entry sources[64], targets[64];
    const int source_count = enumerate(sources, FORMAT_LIST_SOURCE, 1);
    const convert_fn markdown = find_converter(sources, source_count, "Document - Markdown");
    const convert_fn rtf = find_converter(sources, source_count, "Document - RTF");
    const convert_fn html = find_converter(targets, enumerate(targets, FORMAT_LIST_TARGET, 1), "Document - HTML");

    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string dir = std::string(temp) + "morphex-bench-cnvdoc\\";
    CreateDirectoryA(dir.c_str(), nullptr);

    const timing md = measure(argv[1], dir, "md", markdown, html);
    const timing rt = measure(argv[2], dir, "rtf", rtf, html);
    std::printf("20 MiB Markdown -> HTML: copy %.3f s, Morphex %.3f s, ratio %.2fx (goal: within 5x)\n", md.copy,
                md.morphex, md.morphex / md.copy);
    std::printf("20 MiB RTF -> HTML: copy %.3f s, Morphex %.3f s, ratio %.2fx (goal: within 5x)\n", rt.copy,
                rt.morphex, rt.morphex / rt.copy);
    std::printf("morphex_markdown_seconds=%.3f\nmorphex_rtf_seconds=%.3f\n", md.morphex, rt.morphex);
    remove_dir(dir.substr(0, dir.size() - 1));
    return 0;
}
