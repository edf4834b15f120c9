// One mxconv.exe run over 2,000 small files (UTF-8 to Windows ANSI with
// cnvtext.dll), against copying the same files with CopyFile, in the same
// run: all in one folder, then spread over 20 folders.  The files are the
// ones scripts/bench.sh made, so that its loop of native iconv converts
// exactly these.  Goal: at most 3x the copy.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr int spread_folders = 20;

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
long run_mxconv(const std::string &dir, bool recursive)
{
    const std::string exe = program_directory() + "\\mxconv.exe";
    std::string command = "\"" + exe + "\" -q -f utf-8 -t \"(1252), CR LF\" " + (recursive ? "-r " : "") + "*.txt";
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

// Where file i lies below a root: all in the root, or spread over folders.
std::string place(const std::string &root, int folders, std::size_t i)
{
    if (folders == 1)
        return root;
    char folder[16];
    std::snprintf(folder, sizeof folder, "\\d%02d", static_cast<int>(i % folders));
    return root + folder;
}

void make_folders(const std::string &root, int folders)
{
    CreateDirectoryA(root.c_str(), nullptr);
    for (int i = 0; folders > 1 && i < folders; ++i)
        CreateDirectoryA(place(root, folders, i).c_str(), nullptr);
}

void remove_tree(const std::string &root, int folders)
{
    for (int i = 0; folders > 1 && i < folders; ++i)
        remove_dir(place(root, folders, i));
    remove_dir(root);
}

std::size_t count_files(const std::string &root, int folders)
{
    std::size_t count = 0;
    for (int i = 0; i < folders; ++i)
        count += names_in(place(root, folders, i)).size();
    return count;
}

struct timing {
    double copy_seconds;
    double mxconv_seconds;
    bool converted;
};

// Copies the files with CopyFile, then converts a second copy of them with
// one mxconv run; both laid out in `folders` folders.
timing measure(const std::string &sources, const std::vector<std::string> &names, int folders)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string copies = std::string(temp) + "morphex-bench-mxconv-copies";
    const std::string work = std::string(temp) + "morphex-bench-mxconv-work";
    make_folders(copies, folders);
    make_folders(work, folders);
    for (std::size_t i = 0; i < names.size(); ++i)
        CopyFileA((sources + "\\" + names[i]).c_str(), (place(work, folders, i) + "\\" + names[i]).c_str(), FALSE);

    timing result{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    for (std::size_t i = 0; i < names.size(); ++i)
        CopyFileA((sources + "\\" + names[i]).c_str(), (place(copies, folders, i) + "\\" + names[i]).c_str(),
                  FALSE);
    result.copy_seconds = seconds_since(start);

    QueryPerformanceCounter(&start);
    const long status = run_mxconv(work, folders > 1);
    result.mxconv_seconds = seconds_since(start);
    result.converted = status == 0 && count_files(work, folders) == 2 * names.size();
    remove_tree(copies, folders);
    remove_tree(work, folders);
    return result;
}

}  // namespace

// The copy alone, into `copies` (made here), for measuring its processor
// time from outside: Wine tells a process no real times of its own.
int copy_only(const std::string &sources, const std::vector<std::string> &names, const std::string &copies)
{
    CreateDirectoryA(copies.c_str(), nullptr);
    for (const std::string &name : names)
        if (!CopyFileA((sources + "\\" + name).c_str(), (copies + "\\" + name).c_str(), FALSE))
            return 1;
    return 0;
}

// One mxconv run in `dir` with `arguments`, timed from here (Wine's
// start of a process included, the same for every run): "seconds=S
// status=N" on one line.
int time_one_run(const std::string &dir, const std::string &arguments)
{
    const std::string exe = program_directory() + "\\mxconv.exe";
    std::string command = "\"" + exe + "\" " + arguments;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                        &process))
        return 1;
    WaitForSingleObject(process.hProcess, INFINITE);
    const double seconds = seconds_since(start);
    DWORD status = 0;
    GetExitCodeProcess(process.hProcess, &status);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    std::printf("seconds=%.6f status=%lu\n", seconds, static_cast<unsigned long>(status));
    return 0;
}

int main(int argc, char **argv)
{
    if (argc == 4 && std::string(argv[1]) == "--time")
        return time_one_run(argv[2], argv[3]);

    const bool copy_mode = argc == 4 && std::string(argv[1]) == "--copy";
    if (argc != 2 && !copy_mode) {
        std::fprintf(stderr, "usage: bench_mxconv SOURCE_DIR\n       bench_mxconv --copy SOURCE_DIR COPY_DIR\n"
                             "       bench_mxconv --time DIR \"MXCONV ARGUMENTS\"\n");
        return 2;
    }
    const std::string sources = argv[copy_mode ? 2 : 1];
    const std::vector<std::string> names = names_in(sources);
    if (names.empty()) {
        std::fprintf(stderr, "no .txt file in %s\n", sources.c_str());
        return 1;
    }
    if (copy_mode)
        return copy_only(sources, names, argv[3]);
    // One folder is the case the goal is about; on Wine every new name costs
    // a scan of its whole folder, so 20 folders of 100 show the rest.
    const timing flat = measure(sources, names, 1);
    const timing spread = measure(sources, names, spread_folders);
    std::printf("files: %zu\n", names.size());
    std::printf("in one folder:      CopyFile %8.3f s, one mxconv run %8.3f s, ratio %5.2fx (goal: at most 3x)%s\n",
                flat.copy_seconds, flat.mxconv_seconds, flat.mxconv_seconds / flat.copy_seconds,
                flat.converted ? "" : " NOT ALL CONVERTED");
    std::printf("in %d folders (-r): CopyFile %8.3f s, one mxconv run %8.3f s, ratio %5.2fx%s\n", spread_folders,
                spread.copy_seconds, spread.mxconv_seconds, spread.mxconv_seconds / spread.copy_seconds,
                spread.converted ? "" : " NOT ALL CONVERTED");
    std::printf("mxconv_seconds=%.6f\n", flat.mxconv_seconds);
    std::printf("mxconv_spread_seconds=%.6f\n", spread.mxconv_seconds);
    return flat.converted && spread.converted ? 0 : 1;
}
