// Drives an installed or unpacked Morphex through its window, for the
// package test (a script that runs outside Wine and cannot send window
// messages itself):
//   drive_window formats EXE DIR                    prints each format, "source: NAME" / "target: NAME"
//   drive_window convert EXE DIR FILE SOURCE TARGET converts FILE (in DIR) by the two formats
// EXE starts with DIR as its current directory, as a shortcut's working
// directory would have it; the program is closed by its Close button.
// Exit code 0 when every step worked; the reason is printed otherwise.
// Texts cross the process boundary through the wide messages: Wine hands the
// ANSI list messages of another process back garbled.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/app_ids.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "browser/browser_ids.h"
#include "tests/common/program_window.h"

namespace {

constexpr DWORD wait_ms = 30000;
constexpr wchar_t main_title_start[] = L"Morphex - File conversion utility";

// The program's window to leave out of the list of its others.
struct window_search {
    DWORD process;
    HWND found;
};

BOOL CALLBACK print_other_window(HWND window, LPARAM parameter)
{
    auto *search = reinterpret_cast<window_search *>(parameter);
    DWORD process = 0;
    GetWindowThreadProcessId(window, &process);
    if (process == search->process && window != search->found && IsWindowVisible(window)) {
        wchar_t title[256] = L"";
        GetWindowTextW(window, title, 256);
        std::printf("window of the program: \"%s\"\n", narrow(title).c_str());
    }
    return TRUE;
}

class program {
public:
    bool start(const std::string &exe, const std::string &dir)
    {
        std::string command = "\"" + exe + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &startup,
                            &process_)) {
            std::printf("cannot start %s in %s: error %lu\n", exe.c_str(), dir.c_str(), GetLastError());
            return false;
        }
        for (DWORD waited = 0; waited < wait_ms; waited += 100) {
            top_window_query main_window;
            main_window.title_start = main_title_start;
            main_window.process = process_.dwProcessId;
            if ((main_ = find_top_window(main_window)))
                return true;
            if (WaitForSingleObject(process_.hProcess, 100) == WAIT_OBJECT_0)
                break;
        }
        std::printf("the main window of %s did not appear\n", exe.c_str());
        show_other_windows();
        return false;
    }

    ~program()
    {
        if (!process_.hProcess)
            return;
        if (main_)
            PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), 0);
        if (WaitForSingleObject(process_.hProcess, wait_ms) == WAIT_TIMEOUT) {
            std::printf("the program did not end when closed\n");
            TerminateProcess(process_.hProcess, 1);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }

    HWND item(int id) const { return GetDlgItem(main_, id); }

    bool command(int id)
    {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(main_, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(item(id)),
                                SMTO_BLOCK, program_send_timeout_ms, &result))
            return true;
        std::printf("command %d did not return\n", id);
        show_other_windows();
        return false;
    }

    void show_other_windows()
    {
        window_search search{process_.dwProcessId, main_};
        EnumWindows(print_other_window, reinterpret_cast<LPARAM>(&search));
    }

private:
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

bool choose(HWND combo, const std::string &name)
{
    const std::wstring wide = widen(name);
    if (send_wide(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(wide.c_str())) != CB_ERR)
        return true;
    std::printf("no format \"%s\"\n", name.c_str());
    return false;
}

int list_formats(const std::string &exe, const std::string &dir)
{
    program morphex;
    if (!morphex.start(exe, dir))
        return 1;
    for (const auto &name : combo_box_texts(morphex.item(IDC_SOURCE_FORMAT)))
        std::printf("source: %s\n", name.c_str());
    for (const auto &name : combo_box_texts(morphex.item(IDC_TARGET_FORMAT)))
        std::printf("target: %s\n", name.c_str());
    return 0;
}

int convert(const std::string &exe, const std::string &dir, const std::string &file, const std::string &source,
            const std::string &target)
{
    program morphex;
    if (!morphex.start(exe, dir) || !choose(morphex.item(IDC_SOURCE_FORMAT), source) ||
        !choose(morphex.item(IDC_TARGET_FORMAT), target))
        return 1;
    const std::wstring wide = widen(file);
    const LRESULT index = send_wide(morphex.item(IDC_FILES), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(wide.c_str()));
    if (index == LB_ERR) {
        std::printf("%s is not in the file list of %s\n", file.c_str(), dir.c_str());
        return 1;
    }
    send_wide(morphex.item(IDC_FILES), LB_SETSEL, TRUE, index);
    return morphex.command(IDC_CONVERT) ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "formats" && argc == 4)
        return list_formats(argv[2], argv[3]);
    if (mode == "convert" && argc == 7)
        return convert(argv[2], argv[3], argv[4], argv[5], argv[6]);
    std::printf("usage: drive_window formats EXE DIR | convert EXE DIR FILE SOURCE TARGET\n");
    return 2;
}
