// One mxconv.exe run over 2,000 small files (UTF-8 to Windows ANSI with
// cnvtext.dll), against copying the same files with CopyFile, in the same
// run.  The files are the ones scripts/bench.sh made, so that its loop of
// native iconv converts exactly these.  Goal: at most 3x the copy.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*.txt").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

std::string program_directory()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory(path, length);
    return directory.substr(0, directory.find_last_of('\\'));
}

// Runs mxconv.exe in `dir` and returns its exit status, -1 when it did not start.
long run_mxconv(const std::string &dir)
{
    const std::string exe = program_directory() + "\\mxconv.exe";
    std::string command = "\"" + exe + "\" -q -f utf-8 -t \"ANSI (1252), CR LF\" *.txt";
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                        &process))
        return -1;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return static_cast<long>(status);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_mxconv SOURCE_DIR\n");
        return 2;
    }
    const std::string sources = argv[1];
    const std::vector<std::string> names = names_in(sources);
    if (names.empty()) {
        std::fprintf(stderr, "no .txt file in %s\n", sources.c_str());
        return 1;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string copies = std::string(temp) + "morphex-bench-mxconv-copies";
    const std::string work = std::string(temp) + "morphex-bench-mxconv-work";
    CreateDirectoryA(copies.c_str(), nullptr);
    CreateDirectoryA(work.c_str(), nullptr);
    for (const std::string &name : names)
        CopyFileA((sources + "\\" + name).c_str(), (work + "\\" + name).c_str(), FALSE);

    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (const std::string &name : names)
        CopyFileA((sources + "\\" + name).c_str(), (copies + "\\" + name).c_str(), FALSE);
    const double copy_seconds = seconds_since(start);

    QueryPerformanceCounter(&start);
    const long status = run_mxconv(work);
    const double mxconv_seconds = seconds_since(start);
    const std::size_t outputs = names_in(work).size() - names.size();

    std::printf("files: %zu\n", names.size());
    std::printf("CopyFile:          %8.3f s\n", copy_seconds);
    std::printf("one mxconv run:    %8.3f s (exit status %ld, %zu outputs)\n", mxconv_seconds, status, outputs);
    std::printf("ratio mxconv/copy: %8.2fx (goal: at most 3x)\n", mxconv_seconds / copy_seconds);
    std::printf("mxconv_seconds=%.6f\n", mxconv_seconds);
    remove_dir(copies);
    remove_dir(work);
    return status == 0 && outputs == names.size() ? 0 : 1;
}
