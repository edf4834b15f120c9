// refresh_lists on a directory of 20,000 files against a bare
// FindFirstFile/FindNextFile enumeration of the same directory, in the same
// run.  Goal: at most 3x the bare enumeration.
#include <windows.h>

#include "bench/common/bench_support.h"

#include <algorithm>
#include <cstdio>
#include <string>

#include "app/app_ids.h"
#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"

namespace {

constexpr int file_count = 20000;
constexpr int rounds = 3;

// Names in no sorted order, mixed case, so the list box has real work.
void make_files(const std::string &dir) {
    CreateDirectoryA(dir.c_str(), nullptr);
    unsigned state = 12345;
    for (int i = 0; i < file_count; ++i) {
        state = state * 1103515245u + 12345u;
        char name[MAX_PATH];
        std::snprintf(name, sizeof name, "%s\\%c%08X_%05d.Txt", dir.c_str(), (state >> 16) % 2 ? 'R' : 'r', state, i);
        HANDLE file = CreateFileA(name, GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    }
}

int bare_enumeration() {
    int count = 0;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA("*.*", &entry);
    if (search == INVALID_HANDLE_VALUE) return 0;
    do
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) ++count;
    while (FindNextFileA(search, &entry));
    FindClose(search);
    return count;
}

INT_PTR CALLBACK quiet_dialog(HWND, UINT msg, WPARAM, LPARAM) { return msg == WM_INITDIALOG; }

}  // namespace

int main() {
    app_instance = GetModuleHandleA(nullptr);
    main_window = CreateDialogParamA(app_instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, quiet_dialog, 0);
    if (!main_window) {
        std::fprintf(stderr, "cannot create the main dialog\n");
        return 1;
    }
    char temp[MAX_PATH];
    GetTempPathA(sizeof temp, temp);
    const std::string dir = std::string(temp) + "morphex-bench-browser";
    remove_dir(dir);
    make_files(dir);
    SetCurrentDirectoryA(dir.c_str());
    refresh_lists("*.*");  // builds the drive cache, as at start-up

    double bare = 1e9, refresh = 1e9;
    int found = 0;
    for (int round = 0; round < rounds; ++round) {
        LARGE_INTEGER start;
        QueryPerformanceCounter(&start);
        found = bare_enumeration();
        bare = std::min(bare, seconds_since(start));
        QueryPerformanceCounter(&start);
        refresh_lists("*.*");
        refresh = std::min(refresh, seconds_since(start));
    }
    LRESULT listed = SendDlgItemMessageA(main_window, IDC_FILES, LB_GETCOUNT, 0, 0);
    SetCurrentDirectoryA(temp);
    remove_dir(dir);
    DestroyWindow(main_window);

    std::printf("files: %d found, %ld listed (best of %d rounds)\n", found, static_cast<long>(listed), rounds);
    std::printf("FindFirstFile/FindNextFile: %8.3f s\n", bare);
    std::printf("refresh_lists:              %8.3f s\n", refresh);
    std::printf("ratio refresh/bare:         %8.2fx (goal: at most 3x)\n", refresh / bare);
    return listed == found ? 0 : 1;
}
