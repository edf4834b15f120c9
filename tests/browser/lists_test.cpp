#include <windows.h>

#include <string>
#include <vector>

#include "app/app_state.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "tests/common/test_support.h"

namespace {

class ListsTest : public TempDirTest {
protected:
    MainDialog dialog;
    std::vector<std::string> files() const { return list_box_items(dialog.item(IDC_FILES)); }
    std::vector<std::string> dirs() const { return list_box_items(dialog.item(IDC_DIRS)); }
    std::string text(int id) const {
        char buffer[64] = "";
        GetDlgItemTextA(dialog.hwnd(), id, buffer, sizeof buffer);
        return buffer;
    }
    void expect_counters(const std::string &count, const std::string &length) const {
        EXPECT_EQ(text(IDC_COUNT), count);
        EXPECT_EQ(text(IDC_LENGTH), length);
    }
    void select(int index, bool on) const {
        SendMessageA(dialog.item(IDC_FILES), LB_SETSEL, on, index);
    }
};

bool contains(const std::vector<std::string> &items, const std::string &item) {
    for (const auto &i : items)
        if (i == item) return true;
    return false;
}

TEST_F(ListsTest, ItemsAsStoredAndDirectoriesLowered) {
    write_file("ReadMe.TXT", "x");
    make_dir("My Texts");
    make_dir("notes.txt");
    make_dir("..old");
    write_file("hidden.txt", "12345");
    ASSERT_TRUE(SetFileAttributesA("hidden.txt", FILE_ATTRIBUTE_HIDDEN));
    refresh_lists("*.txt");
    EXPECT_EQ(files(), (std::vector<std::string>{"hidden.txt", "ReadMe.TXT"}));
    expect_counters("2", "6");
    auto d = dirs();
    EXPECT_TRUE(contains(d, "[my texts]"));
    EXPECT_TRUE(contains(d, "[notes.txt]")) << "*.txt must not filter the directories";
    EXPECT_TRUE(contains(d, "[..old]"));
    EXPECT_TRUE(contains(d, "[..]")) << "a subdirectory lists its parent";
    EXPECT_FALSE(contains(d, "[.]"));
}

TEST_F(ListsTest, DirectoryPartListsBareNamesAndTotalsOpenThere) {
    make_dir("texts");
    make_dir("sub");
    write_file("texts\\a.txt", "12345");
    write_file("a.txt", std::string(100, 'x'));
    refresh_lists("texts\\*.txt");
    EXPECT_EQ(files(), (std::vector<std::string>{"a.txt"}));
    EXPECT_STREQ(file_list_directory(), "texts\\");
    expect_counters("1", "5");
    EXPECT_TRUE(contains(dirs(), "[sub]"));
    show_selection_totals();
    expect_counters("1", "5");
    select(0, true);
    show_selection_totals();
    expect_counters("1", "5");
}

// The list must hold what a sorted list box makes of the names added one by
// one in search order, whatever order the file list is filled in.
std::vector<std::string> plain_sorted_insertion(HWND parent, const char *pattern) {
    HWND list = CreateWindowA("LISTBOX", "", WS_CHILD | LBS_SORT | LBS_HASSTRINGS, 0, 0, 100, 100, parent, nullptr,
                              GetModuleHandleA(nullptr), nullptr);
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search != INVALID_HANDLE_VALUE) {
        do
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                SendMessageA(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.cFileName));
        while (FindNextFileA(search, &entry));
        FindClose(search);
    }
    auto items = list_box_items(list);
    DestroyWindow(list);
    return items;
}

std::string joined(const std::vector<std::string> &items) {
    std::string all;
    for (const auto &i : items) all += "<" + i + ">";
    return all;
}

TEST_F(ListsTest, FileListOrderIsTheListBoxOwn) {
    // The second set holds names that the list box's comparison may find
    // equal (a soft hyphen, 0xAD, is ignored by it).
    const std::vector<std::vector<std::string>> sets = {
        {"zeta", "Alpha", "alpha2", "10", "9", "009", "a b", "a.b", "a_b", "a-b", "co-op", "coop", "co'op",
         "~tilde", "_under", "!bang", "#hash", "\xC9mile", "emile2", "\xE9" "clair", "Eclat", "\xC4pfel", "apfel1",
         "na\xEFve", "Naive1", "\xF1o", "NO", "ZZ", "zz1", "mIxEd", "MiXeD2"},
        {"ab", "a\xAD" "b", "Ab1", "b", "a"},
    };
    int n = 0;
    for (const auto &names : sets) {
        std::string sub = "set" + std::to_string(n++);
        make_dir(sub);
        for (const auto &name : names) write_file(sub + "\\" + name, "x");
        std::string pattern = sub + "\\*.*";
        refresh_lists(pattern.c_str());
        auto expected = plain_sorted_insertion(dialog.hwnd(), pattern.c_str());
        EXPECT_EQ(expected.size(), names.size()) << joined(expected);
        EXPECT_EQ(files(), expected) << "listed " << joined(files()) << "\nplain  " << joined(expected);
    }
}

TEST_F(ListsTest, CountersFollowTheSelection) {
    write_file("a", std::string(10, 'a'));
    write_file("b", std::string(20, 'b'));
    write_file("c", std::string(30, 'c'));
    refresh_lists("*.*");
    expect_counters("3", "60");
    select(0, true);
    select(1, true);
    show_selection_totals();
    expect_counters("2", "30");
    select(0, false);
    select(1, false);
    show_selection_totals();
    expect_counters("3", "60");
}

TEST_F(ListsTest, EverySelectedFileCounts) {
    for (int i = 0; i < 300; ++i) write_file("f" + std::to_string(i), "ab");
    refresh_lists("*.*");
    SendMessageA(dialog.item(IDC_FILES), LB_SETSEL, TRUE, -1);
    show_selection_totals();
    expect_counters("300", "600");
}

TEST_F(ListsTest, UnopenableFileCountsWithoutLength) {
    write_file("a", std::string(10, 'a'));
    write_file("b", std::string(20, 'b'));
    refresh_lists("*.*");
    HANDLE locked = CreateFileA("b", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    show_selection_totals();
    expect_counters("2", "10");
    select(1, true);
    show_selection_totals();
    expect_counters("1", "0");
    CloseHandle(locked);
    ASSERT_TRUE(DeleteFileA("a"));
    select(0, true);
    show_selection_totals();
    expect_counters("2", "20");
}

TEST_F(ListsTest, LengthIsNeverCutTo32Bits) {
    HANDLE file = CreateFileA("big", GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 5368709120LL;
    bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized) GTEST_SKIP() << "the test drive cannot hold a 5 GiB sparse file";
    write_file("small", "abc");
    refresh_lists("*.*");
    expect_counters("2", "5368709123");
    show_selection_totals();
    expect_counters("2", "5368709123");
    select(0, true);
    show_selection_totals();
    expect_counters("1", "5368709120");
}

TEST_F(ListsTest, ApplyPatternReadsTheEditField) {
    write_file("a.txt", "1");
    write_file("b.doc", "22");
    std::string long_pattern(100, '?');
    SetDlgItemTextA(dialog.hwnd(), IDC_PATTERN, "*.doc");
    apply_pattern();
    EXPECT_STREQ(file_pattern, "*.doc");
    EXPECT_EQ(files(), (std::vector<std::string>{"b.doc"}));
    SetDlgItemTextA(dialog.hwnd(), IDC_PATTERN, long_pattern.c_str());
    apply_pattern();
    EXPECT_EQ(std::string(file_pattern), long_pattern.substr(0, 79));
    SetDlgItemTextA(dialog.hwnd(), IDC_PATTERN, "*.*");
    apply_pattern();
}

TEST_F(ListsTest, NothingMatchingShowsZero) {
    make_dir("sub");
    refresh_lists("*.none");
    EXPECT_TRUE(files().empty());
    expect_counters("0", "0");
    EXPECT_TRUE(contains(dirs(), "[sub]"));
}

TEST(DriveItem, FormedFromLetterAndLabel) {
    struct drive_case {
        int drive;
        const char *label;
        const char *item;
    };
    const drive_case cases[] = {
        {2, "SYSTEM", "System [C:]"},
        {4, "DATA", "Data [E:]"},
        {4, "", "[E:]"},
        {3, nullptr, "[D:]"},
        {0, "FLOPPY", "[A:]"},
        {25, "x", "x [Z:]"},
        {4, "\xC9T\xC9 2002", "\xC9t\xE9 2002 [E:]"},
        {4, "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "Abcdefghijklmnopqrstuvwxyz [E:]"},
        {19, "MORPHEX TEST DRIVE LABEL FORTY CHARACTERS", "Morphex test drive label f [T:]"},
    };
    for (const auto &c : cases) {
        char item[32] = "";
        format_drive_item(c.drive, c.label, item, sizeof item);
        EXPECT_STREQ(item, c.item) << "drive " << c.drive << " label " << (c.label ? c.label : "(none)");
    }
}

// Wine's mount manager reads each drive's label once, when it starts, so a
// test cannot set one: the items are checked against what the system reports.
TEST_F(ListsTest, DriveItemsAndTheirCache) {
    drive_cache_clear();
    int builds = drive_cache_builds();
    refresh_lists("*.*");
    auto items = list_box_items(dialog.item(IDC_DRIVES));
    ASSERT_EQ(drive_cache_count(), static_cast<int>(items.size()));
    std::vector<std::string> expected;
    DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i) {
        if (!(mask & (1u << i))) continue;
        char root[4] = {static_cast<char>('A' + i), ':', '\\', '\0'};
        char label[256] = "";
        if (i == 0 || !GetVolumeInformationA(root, label, sizeof label, nullptr, nullptr, nullptr, nullptr, 0))
            label[0] = '\0';
        std::string item = std::string("[") + root[0] + ":]";
        if (label[0]) {
            CharLowerA(label + 1);
            item = std::string(label).substr(0, 26) + " " + item;
        }
        expected.push_back(item);
    }
    EXPECT_EQ(items, expected) << "listed " << joined(items) << "\nexpected " << joined(expected);
    refresh_lists("*.*");
    EXPECT_EQ(drive_cache_builds(), builds + 1) << "the drives are asked once";
    EXPECT_EQ(list_box_items(dialog.item(IDC_DRIVES)), items);
    drive_cache_clear();
}

}  // namespace
