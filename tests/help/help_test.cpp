// The help file's name, the compiled help beside the program, and Wine's
// help viewer (winhlp32, a process of its own) opening it on the contents,
// both when asked directly and from the running program's three Help doors.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "app/app_ids.h"
#include "app/help.h"
#include "tests/common/test_support.h"
#include "tests/common/program_window.h"

namespace {

constexpr DWORD viewer_wait_ms = 15000;
constexpr DWORD program_wait_ms = 20000;
constexpr DWORD poll_ms = 100;
// The window class of the help viewer's main window.
constexpr wchar_t viewer_class[] = L"MS_WINHELP";
constexpr wchar_t main_title_start[] = L"Morphex - File conversion utility";

std::string help_path() { return std::string(MORPHEX_BIN_DIR) + "\\morphex.hlp"; }

struct help_name_case {
    const char *exe_path;
    const char *help_path;
};

constexpr help_name_case help_name_cases[] = {
    {"C:\\TOOLS\\CONV.EXE", "C:\\TOOLS\\CONV.HLP"},
    {"z:\\work\\bin\\morphex.exe", "z:\\work\\bin\\morphex.HLP"},
    {"C:\\MY.TOOLS\\CONV", "C:\\MY.TOOLS\\CONV.HLP"},
    {"C:\\TOOLS\\CONV", "C:\\TOOLS\\CONV.HLP"},
    {"CONV", "CONV.HLP"},
    {"C:\\TOOLS\\CONV.OLD.EXE", "C:\\TOOLS\\CONV.OLD.HLP"},
    {"C:\\TOOLS\\CONV.", "C:\\TOOLS\\CONV.HLP"},
};

TEST(HelpFileName, ReplacesTheExtensionOfTheFileNameOnly)
{
    for (const auto &c : help_name_cases) {
        char actual[256] = "";
        help_file_name(c.exe_path, actual, sizeof actual);
        EXPECT_STREQ(c.help_path, actual) << "for executable " << c.exe_path;
    }
}

TEST(HelpFileName, StaysInsideASmallBuffer)
{
    char actual[8];
    std::memset(actual, 'x', sizeof actual);
    help_file_name("C:\\TOOLS\\CONV.EXE", actual, 6);
    EXPECT_STREQ("C:\\TO", actual);
    EXPECT_EQ('x', actual[6]) << "wrote past the given size";
}

TEST(HelpBuild, PutsTheHelpAndItsContentsBesideTheProgram)
{
    const std::string bin = MORPHEX_BIN_DIR;
    EXPECT_TRUE(file_exists(bin + "\\morphex.exe")) << bin;
    EXPECT_TRUE(file_exists(help_path())) << help_path();
    EXPECT_TRUE(file_exists(bin + "\\morphex.cnt")) << bin;
    const std::string help = read_file(help_path());
    ASSERT_GE(help.size(), 4u) << help_path();
    // Every WinHelp file starts with the magic 0x00035F3F.
    EXPECT_EQ(std::string("\x3F\x5F\x03\x00", 4), help.substr(0, 4)) << help_path() << " is no WinHelp file";
}

enum class match { title_start, class_name };

// A visible top-level window of another process.
HWND find_window(match by, const wchar_t *text, DWORD not_process)
{
    top_window_query query;
    (by == match::title_start ? query.title_start : query.class_name) = text;
    query.not_process = not_process;
    return find_top_window(query);
}

HWND wait_for_window(match by, const wchar_t *text, DWORD not_process, DWORD timeout_ms)
{
    for (DWORD waited = 0; waited < timeout_ms; waited += poll_ms) {
        if (HWND window = find_window(by, text, not_process))
            return window;
        Sleep(poll_ms);
    }
    return nullptr;
}

HWND wait_for_viewer(DWORD not_process)
{
    return wait_for_window(match::class_name, viewer_class, not_process, viewer_wait_ms);
}

// Closes the viewer and waits until its window is gone, so that the next
// test sees a viewer of its own.
void close_viewer(HWND viewer)
{
    PostMessageW(viewer, WM_CLOSE, 0, 0);
    for (DWORD waited = 0; waited < viewer_wait_ms && IsWindow(viewer); waited += poll_ms)
        Sleep(poll_ms);
    EXPECT_FALSE(IsWindow(viewer)) << "the help viewer did not close";
}

TEST(HelpViewer, OpensTheBuiltHelpFile)
{
    ASSERT_TRUE(file_exists(help_path())) << help_path();
    ASSERT_EQ(nullptr, find_window(match::class_name, viewer_class, 0)) << "a help viewer is open already";
    ASSERT_TRUE(WinHelpA(nullptr, help_path().c_str(), HELP_FINDER, 0)) << help_path();
    HWND viewer = wait_for_viewer(GetCurrentProcessId());
    ASSERT_NE(nullptr, viewer) << "no help viewer window for " << help_path();
    close_viewer(viewer);
}

struct child_search {
    int id;
    bool owner_drawn;
    HWND found;
};

BOOL CALLBACK match_child(HWND child, LPARAM parameter)
{
    auto *search = reinterpret_cast<child_search *>(parameter);
    const bool owner_drawn = (GetWindowLongW(child, GWL_STYLE) & BS_TYPEMASK) == BS_OWNERDRAW;
    if (GetDlgCtrlID(child) != search->id || owner_drawn != search->owner_drawn)
        return TRUE;
    search->found = child;
    return FALSE;
}

// The Help button and the invisible button over the icon share one id.
HWND help_control(HWND main, bool over_icon)
{
    child_search search{IDC_HELP, over_icon, nullptr};
    EnumChildWindows(main, match_child, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The real program, started in a fresh directory holding one plug-in.
class ProgramHelp : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        copy_test_plugin("cnvprobe.dll", dir());
        std::string command = "\"" + std::string(MORPHEX_BIN_DIR) + "\\morphex.exe\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, dir().c_str(),
                                   &startup, &process_))
            << command;
        main_ = wait_for_window(match::title_start, main_title_start, GetCurrentProcessId(), program_wait_ms);
        ASSERT_NE(nullptr, main_) << "the main window of " << command << " did not appear";
    }

    void TearDown() override
    {
        if (process_.hProcess) {
            if (main_)
                PostMessageW(main_, WM_COMMAND, MAKEWPARAM(IDC_CLOSE, BN_CLICKED), 0);
            if (WaitForSingleObject(process_.hProcess, program_wait_ms) == WAIT_TIMEOUT)
                TerminateProcess(process_.hProcess, 1);
            CloseHandle(process_.hThread);
            CloseHandle(process_.hProcess);
        }
        TempDirTest::TearDown();
    }

    void expect_viewer(const char *door)
    {
        HWND viewer = wait_for_viewer(process_.dwProcessId);
        ASSERT_NE(nullptr, viewer) << door << ": no help viewer window";
        close_viewer(viewer);
    }

    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

TEST_F(ProgramHelp, HelpButtonOpensTheViewer)
{
    HWND button = help_control(main_, false);
    ASSERT_NE(nullptr, button);
    PostMessageW(button, BM_CLICK, 0, 0);
    expect_viewer("Help button");
}

TEST_F(ProgramHelp, IconOpensTheViewer)
{
    HWND icon = help_control(main_, true);
    ASSERT_NE(nullptr, icon) << "no owner-drawn Help control over the icon";
    PostMessageW(icon, BM_CLICK, 0, 0);
    expect_viewer("icon");
}

TEST_F(ProgramHelp, SystemMenuHelpOpensTheViewer)
{
    PostMessageW(main_, WM_SYSCOMMAND, IDM_HELP, 0);
    expect_viewer("system menu");
}

}  // namespace
