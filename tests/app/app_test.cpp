// Runs the real morphex.exe and drives it through its window as a person
// would: pattern, selection, options, formats, Convert, and the files on disk.
// Texts cross the process boundary through the wide messages: Wine hands the
// ANSI list messages of another process back garbled.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/app_ids.h"
#include "browser/browser_ids.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "tests/common/test_support.h"
#include "tests/common/program_window.h"
#include "ui/notice.h"
#include "ui/ui_ids.h"

namespace {

constexpr DWORD wait_ms = 20000;

HWND find_window(DWORD process, const std::wstring &title_start, bool visible_only)
{
    top_window_query query;
    query.title_start = title_start.c_str();
    query.process = process;
    query.visible_only = visible_only;
    return find_top_window(query);
}

std::string window_text(HWND window)
{
    wchar_t text[1024] = L"";
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text), SMTO_BLOCK, program_send_timeout_ms,
                        nullptr);
    return narrow(text);
}

class Morphex : public TempDirTest {
protected:
    void TearDown() override
    {
        if (process_.hProcess) {
            if (WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, wait_ms);
            CloseHandle(process_.hProcess);
            CloseHandle(process_.hThread);
        }
        TempDirTest::TearDown();
    }

    void start(const std::string &arguments = "")
    {
        const std::string exe = std::string(MORPHEX_BIN_DIR) + "/morphex.exe";
        std::string command = "\"" + exe + "\"" + (arguments.empty() ? "" : " " + arguments);
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir().c_str(),
                                   &startup, &process_))
            << "cannot start " << exe << ": error " << GetLastError();
    }

    // Waits for the main window, closing the notices shown before it.
    HWND main_window_of_child(std::vector<std::string> *notices_seen = nullptr)
    {
        const DWORD start = GetTickCount();
        while (GetTickCount() - start < wait_ms) {
            if (HWND main = find_window(process_.dwProcessId, L"Morphex - File conversion utility", true))
                return main;
            if (HWND notice = find_window(process_.dwProcessId, widen(notice_caption), true)) {
                if (notices_seen)
                    notices_seen->push_back(window_text(GetDlgItem(notice, IDC_NOTICE_TEXT)));
                SendMessageTimeoutW(notice, WM_COMMAND, MAKEWPARAM(IDC_NOTICE_OK, BN_CLICKED), 0, SMTO_BLOCK,
                                    program_send_timeout_ms, nullptr);
                continue;
            }
            Sleep(50);
        }
        return nullptr;
    }

    void command(HWND main, int id, int notification = BN_CLICKED)
    {
        DWORD_PTR result;
        ASSERT_TRUE(SendMessageTimeoutW(main, WM_COMMAND, MAKEWPARAM(id, notification),
                                        reinterpret_cast<LPARAM>(GetDlgItem(main, id)), SMTO_BLOCK,
                                        program_send_timeout_ms, &result))
            << "command " << id << " did not return";
    }

    static void choose(HWND combo, const std::string &name)
    {
        const std::wstring wide = widen(name);
        ASSERT_NE(CB_ERR, send_wide(combo, CB_SELECTSTRING, static_cast<WPARAM>(-1),
                                    reinterpret_cast<LPARAM>(wide.c_str())))
            << name;
    }

    static void select_file(HWND main, const std::string &name)
    {
        const std::wstring wide = widen(name);
        const LRESULT index = send_wide(GetDlgItem(main, IDC_FILES), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                   reinterpret_cast<LPARAM>(wide.c_str()));
        ASSERT_NE(LB_ERR, index) << name;
        send_wide(GetDlgItem(main, IDC_FILES), LB_SETSEL, TRUE, index);
    }

    static void type_pattern(HWND main, const std::string &pattern)
    {
        const std::wstring wide = widen(pattern);
        send_wide(GetDlgItem(main, IDC_PATTERN), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    }

    DWORD close_and_wait(HWND main)
    {
        command(main, IDC_CLOSE);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process_.hProcess, wait_ms)) << "the program did not end";
        DWORD code = 1;
        GetExitCodeProcess(process_.hProcess, &code);
        return code;
    }

    PROCESS_INFORMATION process_{};
};

TEST_F(Morphex, StartsWithFormatsAndBrowserFilled)
{
    copy_test_plugin("cnvprobe.dll", dir());
    write_file("b.txt", "1234567890");
    write_file("a.txt", "12345");
    make_dir("Sub Dir");
    start();
    HWND main = main_window_of_child();
    ASSERT_NE(nullptr, main) << "no main window";
    EXPECT_EQ((std::vector<std::string>{"Probe raw", "Probe upper"}),
              combo_box_texts(GetDlgItem(main, IDC_SOURCE_FORMAT)));
    EXPECT_EQ((std::vector<std::string>{"Probe mark", "Probe text"}),
              combo_box_texts(GetDlgItem(main, IDC_TARGET_FORMAT)));
    EXPECT_EQ("Probe raw", window_text(GetDlgItem(main, IDC_SOURCE_FORMAT))) << "the first name is selected";
    EXPECT_EQ("Probe mark", window_text(GetDlgItem(main, IDC_TARGET_FORMAT)));
    EXPECT_EQ("*.*", window_text(GetDlgItem(main, IDC_PATTERN)));
    std::string expected_path = dir();
    CharLowerA(&expected_path[0]);
    EXPECT_EQ(expected_path, window_text(GetDlgItem(main, IDC_PATH)));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt", "cnvprobe.dll"}),
              list_box_texts(GetDlgItem(main, IDC_FILES)));
    const std::vector<std::string> dirs = list_box_texts(GetDlgItem(main, IDC_DIRS));
    EXPECT_NE(dirs.end(), std::find(dirs.begin(), dirs.end(), "[sub dir]"));
    EXPECT_EQ("3", window_text(GetDlgItem(main, IDC_COUNT)));
    EXPECT_EQ(0u, close_and_wait(main));
}

TEST_F(Morphex, ConvertsTheSelectionThenAPatternRecursively)
{
    copy_test_plugin("cnvprobe.dll", dir());
    write_file("a.txt", "first");
    write_file("b.txt", "second");
    write_file("c.doc", "third");
    make_dir("sub");
    write_file("sub\\d.txt", "deep");
    start();
    HWND main = main_window_of_child();
    ASSERT_NE(nullptr, main);
    choose(GetDlgItem(main, IDC_SOURCE_FORMAT), "Probe upper");
    choose(GetDlgItem(main, IDC_TARGET_FORMAT), "Probe mark");
    select_file(main, "a.txt");
    select_file(main, "c.doc");
    command(main, IDC_CONVERT);
    EXPECT_EQ("<FIRST>", read_file("a.prb"));
    EXPECT_EQ("<THIRD>", read_file("c.prb"));
    EXPECT_FALSE(file_exists("b.prb"));
    EXPECT_FALSE(file_exists("sub\\d.prb"));

    type_pattern(main, "*.txt");
    command(main, IDOK);
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt"}), list_box_texts(GetDlgItem(main, IDC_FILES)))
        << "Enter applies the pattern";
    EXPECT_FALSE(file_exists("b.prb")) << "Enter must not convert";
    send_wide(GetDlgItem(main, IDC_RECURSIVE), BM_SETCHECK, BST_CHECKED, 0);
    command(main, IDC_CONVERT);
    EXPECT_EQ("<SECOND>", read_file("b.prb"));
    EXPECT_EQ("<DEEP>", read_file("sub\\d.prb"));
    EXPECT_EQ("<FIRST>", read_file("a_1.prb")) << "a.prb existed, so the new output is numbered";
    EXPECT_EQ(0u, close_and_wait(main));
}

TEST_F(Morphex, ReplaceModeConvertsInPlace)
{
    copy_test_plugin("cnvprobe.dll", dir());
    write_file("a.txt", "replace");
    start();
    HWND main = main_window_of_child();
    ASSERT_NE(nullptr, main);
    choose(GetDlgItem(main, IDC_SOURCE_FORMAT), "Probe upper");
    choose(GetDlgItem(main, IDC_TARGET_FORMAT), "Probe text");
    type_pattern(main, "a.txt");
    send_wide(GetDlgItem(main, IDC_REPLACE), BM_SETCHECK, BST_CHECKED, 0);
    command(main, IDC_CONVERT);
    EXPECT_EQ("REPLACE", read_file("a.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "cnvprobe.dll"}), dir_entries(dir()));
    EXPECT_EQ(0u, close_and_wait(main));
}

TEST_F(Morphex, TraceSwitchShowsTheLoadingSteps)
{
    copy_test_plugin("cnvprobe.dll", dir());
    start("/d");
    std::vector<std::string> seen;
    HWND main = main_window_of_child(&seen);
    ASSERT_NE(nullptr, main);
    ASSERT_EQ(5u, seen.size());
    EXPECT_EQ(0u, seen[0].rfind("Starting DLL enumeration loop with string cnv*.dll in dir ", 0)) << seen[0];
    EXPECT_EQ("Name of DLL found: cnvprobe.dll.", seen[1]);
    EXPECT_EQ(0u, seen[2].rfind("Loading library cnvprobe.dll\nValue of hInst = ", 0)) << seen[2];
    EXPECT_EQ("Handled format: Probe upper.", seen[3]);
    EXPECT_EQ("Handled format: Probe raw.", seen[4]);
    EXPECT_EQ(0u, close_and_wait(main));
}

TEST_F(Morphex, WithoutPluginsNoWindowShowsAndNothingHappens)
{
    write_file("a.txt", "untouched");
    start("-x");
    const DWORD start_time = GetTickCount();
    HWND box = nullptr;
    while (!box && GetTickCount() - start_time < wait_ms) {
        box = find_window(process_.dwProcessId, L"Morphex - Conversion program", true);
        EXPECT_EQ(nullptr, find_window(process_.dwProcessId, L"Morphex - File conversion utility", true));
        Sleep(50);
    }
    ASSERT_NE(nullptr, box) << "no message box";
    send_wide(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process_.hProcess, wait_ms));
    DWORD code = 1;
    GetExitCodeProcess(process_.hProcess, &code);
    EXPECT_EQ(0u, code);
    EXPECT_EQ(std::vector<std::string>{"a.txt"}, dir_entries(dir()));
}

TEST_F(Morphex, AboutBoxOpensFromTheSystemMenu)
{
    copy_test_plugin("cnvprobe.dll", dir());
    start();
    HWND main = main_window_of_child();
    ASSERT_NE(nullptr, main);
    PostMessageW(main, WM_SYSCOMMAND, IDM_ABOUT, 0);
    HWND about = nullptr;
    const DWORD start_time = GetTickCount();
    while (!about && GetTickCount() - start_time < wait_ms) {
        about = find_window(process_.dwProcessId, L"About Morphex", true);
        Sleep(50);
    }
    ASSERT_NE(nullptr, about);
    EXPECT_EQ(main, GetWindow(about, GW_OWNER));
    send_wide(about, WM_COMMAND, MAKEWPARAM(IDC_ABOUT_OK, BN_CLICKED), 0);
    EXPECT_EQ(0u, close_and_wait(main));
}

}  // namespace
