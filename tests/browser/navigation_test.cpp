#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "browser/navigation.h"
#include "tests/common/test_support.h"

namespace {

std::string shortened(const char *path) {
    char shown[current_path_size];
    shorten_path(path, shown, sizeof shown);
    return shown;
}

struct shorten_case {
    const char *path;
    const char *shown;
};

TEST(ShortenPath, Table) {
    const shorten_case cases[] = {
        {"c:\\data\\texts\\converted\\archive\\", "c:\\data\\...\\converted\\archive\\"},
        {"c:\\texts\\incoming\\2002\\march\\week 12\\", "c:\\texts\\...\\2002\\march\\week 12\\"},
        {"c:\\texts\\incoming\\from the office\\march\\", "c:\\texts\\...\\march\\"},
        {"c:\\documents\\projects\\2002\\reports\\quarterly\\", "c:\\documents\\...\\quarterly\\"},
        {"c:\\work\\a\\b\\c\\d\\e\\f\\g\\h\\i\\j\\k\\l\\m\\", "c:\\work\\...\\m\\"},
        {"c:\\dir\\a rather long subdirectory name\\", "c:\\dir\\...\\"},
        {"c:\\a directory name long enough to cut\\x\\", "c:\\a directory name long enough to cut\\...\\x\\"},
        // One directory has no middle part: shown whole.
        {"c:\\one single directory name of some length\\", "c:\\one single directory name of some length\\"},
    };
    for (const auto &c : cases) EXPECT_EQ(shortened(c.path), c.shown) << "path " << c.path;
}

class NavigationTest : public TempDirTest {
protected:
    MainDialog dialog;
    std::string start;  // current path of the temporary directory

    void SetUp() override {
        TempDirTest::SetUp();
        current_dir_string(current_path, sizeof current_path);
        start = current_path;
        std::snprintf(file_pattern, sizeof file_pattern, "*.*");
        refresh_lists(file_pattern);
    }
    std::string shown() const {
        char buffer[current_path_size] = "";
        GetDlgItemTextA(dialog.hwnd(), IDC_PATH, buffer, sizeof buffer);
        return buffer;
    }
    std::string cwd() const {
        char buffer[MAX_PATH] = "";
        GetCurrentDirectoryA(MAX_PATH, buffer);
        return buffer;
    }
    // Double click on a directory item, found by its text.
    void enter(const std::string &item) {
        refresh_lists(file_pattern);
        LRESULT index = SendMessageA(dialog.item(IDC_DIRS), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                     reinterpret_cast<LPARAM>(item.c_str()));
        ASSERT_NE(index, LB_ERR) << "no item " << item;
        SendMessageA(dialog.item(IDC_DIRS), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        enter_directory();
    }
};

std::string lower(std::string text) {
    for (char &c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

TEST_F(NavigationTest, StartUpPathIsLowerCaseWithBackslash) {
    EXPECT_EQ(start, lower(dir()));
    make_dir("Work");
    ASSERT_TRUE(SetCurrentDirectoryA("Work"));
    char path[current_path_size];
    current_dir_string(path, sizeof path);
    EXPECT_EQ(std::string(path), start + "work\\");
    char small[8];
    current_dir_string(small, sizeof small);
    EXPECT_EQ(std::string(small), start.substr(0, 7)) << "the buffer size holds";
}

TEST_F(NavigationTest, EnterParentAndRoot) {
    make_dir("Reports");
    make_dir("Reports\\2002");
    enter("[reports]");
    EXPECT_EQ(std::string(current_path), start + "reports\\");
    EXPECT_EQ(shown(), start + "reports\\");
    EXPECT_EQ(lower(cwd()) + "\\", start + "reports\\");
    enter("[..]");
    EXPECT_EQ(std::string(current_path), start);
    enter("[reports]");
    go_to_parent();
    EXPECT_EQ(std::string(current_path), start);
    EXPECT_EQ(shown(), start);

    enter("[reports]");
    enter("[2002]");
    go_to_root();
    std::string root = start.substr(0, 3);
    EXPECT_EQ(std::string(current_path), root);
    EXPECT_EQ(shown(), root);
    EXPECT_EQ(lower(cwd()), root);
    go_to_parent();
    EXPECT_EQ(std::string(current_path), root);
    EXPECT_EQ(shown(), root);
}

TEST_F(NavigationTest, DisplayShortensFrom31Characters) {
    ASSERT_LT(start.size(), 28u);
    std::string fits(30 - start.size() - 1, 'a');
    std::string over(31 - start.size() - 1, 'b');
    make_dir(fits);
    make_dir(over);
    enter("[" + fits + "]");
    EXPECT_EQ(shown(), std::string(current_path)) << "30 characters are shown whole";
    go_to_parent();
    enter("[" + over + "]");
    ASSERT_EQ(std::strlen(current_path), 31u);
    EXPECT_EQ(shown(), shortened(current_path));
    EXPECT_NE(shown(), std::string(current_path));
    go_to_parent();
    EXPECT_EQ(shown(), start);
}

TEST_F(NavigationTest, DotDotNameIsADirectory) {
    make_dir("..old");
    enter("[..old]");
    EXPECT_EQ(std::string(current_path), start + "..old\\");
    EXPECT_EQ(lower(cwd()) + "\\", start + "..old\\");
}

TEST_F(NavigationTest, AccentedNameShowsAsNamed) {
    make_dir("Caf\xC9");
    enter("[caf\xC9]");
    EXPECT_EQ(std::string(current_path), start + "caf\xE9\\");
    char path[current_path_size];
    current_dir_string(path, sizeof path);
    EXPECT_EQ(std::string(path), start + "caf\xE9\\") << "start-up form";
    SetCurrentDirectoryA(dir().c_str());
    make_dir("d\xE9j\xE0");
    ASSERT_TRUE(SetCurrentDirectoryA("d\xE9j\xE0"));
    current_dir_string(path, sizeof path);
    EXPECT_EQ(std::string(path), start + "d\xE9j\xE0\\");
}

TEST_F(NavigationTest, RemovedDirectoryIsNotEntered) {
    make_dir("gone");
    refresh_lists(file_pattern);
    ASSERT_TRUE(RemoveDirectoryA("gone"));
    LRESULT index = SendMessageA(dialog.item(IDC_DIRS), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                 reinterpret_cast<LPARAM>("[gone]"));
    ASSERT_NE(index, LB_ERR);
    SetDlgItemTextA(dialog.hwnd(), IDC_PATH, "before");
    SendMessageA(dialog.item(IDC_DIRS), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    enter_directory();
    EXPECT_EQ(std::string(current_path), start);
    EXPECT_EQ(shown(), "before");
    EXPECT_EQ(lower(cwd()) + "\\", start);
}

TEST_F(NavigationTest, ClosedDirectoryIsNotEntered) {
    make_dir("closed");
    if (!close_directory(path("closed"))) GTEST_SKIP() << "cannot set a DACL on the test drive, error " << GetLastError();
    if (SetCurrentDirectoryA("closed")) {
        SetCurrentDirectoryA(dir().c_str());
        open_directory(path("closed"));
        GTEST_SKIP() << "a directory with a DACL denying everyone can still be entered (running as root?)";
    }
    SetDlgItemTextA(dialog.hwnd(), IDC_PATH, "before");
    enter("[closed]");
    EXPECT_EQ(std::string(current_path), start);
    EXPECT_EQ(shown(), "before");
    EXPECT_EQ(lower(cwd()) + "\\", start);
    open_directory(path("closed"));
}

TEST_F(NavigationTest, PathNeverRunsPastItsBuffer) {
    make_dir("inner");
    std::string long_path = start + std::string(current_path_size - 4 - start.size(), 'x') + "\\";
    std::snprintf(current_path, sizeof current_path, "%s", long_path.c_str());
    EXPECT_EQ(change_dir("inner"), 0);
    EXPECT_EQ(std::string(current_path), long_path);
    EXPECT_EQ(lower(cwd()) + "\\", start) << "a name that does not fit is not entered";
}

TEST_F(NavigationTest, DriveChange) {
    if (GetDriveTypeA("T:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no test drive T:";
    DWORD drives = GetLogicalDrives();
    char missing = 0;
    for (char letter = 'Z'; letter > 'C'; --letter)
        if (!(drives & (1u << (letter - 'A')))) missing = letter;
    ASSERT_NE(missing, 0);
    SetDlgItemTextA(dialog.hwnd(), IDC_PATH, "before");
    const char target[3] = {static_cast<char>(missing | 0x20), ':', '\0'};
    EXPECT_EQ(change_dir(target), -1) << target;
    EXPECT_EQ(std::string(current_path), start);
    EXPECT_EQ(shown(), "before");

    auto items = list_box_items(dialog.item(IDC_DRIVES));
    int t_index = -1;
    for (size_t i = 0; i < items.size(); ++i)
        if (items[i].size() >= 4 && items[i].compare(items[i].size() - 4, 4, "[T:]") == 0) t_index = static_cast<int>(i);
    ASSERT_NE(t_index, -1);
    make_dir("Sub\xC9");
    ASSERT_TRUE(SetCurrentDirectoryA("Sub\xC9"));
    SendMessageA(dialog.item(IDC_DRIVES), LB_SETCURSEL, static_cast<WPARAM>(t_index), 0);
    change_drive();
    EXPECT_EQ(std::string(current_path), start + "sub\xE9\\") << "same form as at start-up";
}

}  // namespace
