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

// Wine reads a drive's label from .windows-label in its root.
class DriveLabel {
public:
    explicit DriveLabel(const std::string &label) {
        FILE *f = std::fopen("T:\\.windows-label", "wb");
        ok_ = f != nullptr;
        if (f) {
            std::fputs(label.c_str(), f);
            std::fclose(f);
        }
    }
    ~DriveLabel() { DeleteFileA("T:\\.windows-label"); }
    bool ok() const { return ok_; }

private:
    bool ok_;
};

std::string drive_item(const std::vector<std::string> &items, char letter) {
    std::string tail = std::string("[") + letter + ":]";
    for (const auto &i : items)
        if (i.size() >= 4 && i.compare(i.size() - 4, 4, tail) == 0) return i;
    return "";
}

TEST_F(ListsTest, DriveItemsAndTheirCache) {
    if (GetDriveTypeA("T:\\") == DRIVE_NO_ROOT_DIR) GTEST_SKIP() << "no test drive T:";
    drive_cache_clear();
    int builds = drive_cache_builds();
    refresh_lists("*.*");
    auto items = list_box_items(dialog.item(IDC_DRIVES));
    EXPECT_EQ(drive_cache_count(), static_cast<int>(items.size()));
    std::string all;
    for (const auto &i : items) all += "<" + i + ">";
    EXPECT_NE(drive_item(items, 'T'), "") << "drive items " << all;
    for (const auto &i : items) EXPECT_LE(i.size(), 31u) << i;
    refresh_lists("*.*");
    EXPECT_EQ(drive_cache_builds(), builds + 1) << "the drives are asked once";
    EXPECT_EQ(list_box_items(dialog.item(IDC_DRIVES)), items);

    struct label_case {
        const char *label;
        const char *item;
    };
    const label_case cases[] = {
        {"DATA", "Data [T:]"},
        {"MORPHEX TEST DRIVE LABEL FORTY CHARACTERS", "Morphex test drive label f [T:]"},
    };
    for (const auto &c : cases) {
        DriveLabel label(c.label);
        ASSERT_TRUE(label.ok());
        char read[256] = "";
        if (!GetVolumeInformationA("T:\\", read, sizeof read, nullptr, nullptr, nullptr, nullptr, 0) || !read[0])
            GTEST_SKIP() << "Wine does not report a label for T: from .windows-label";
        drive_cache_clear();
        refresh_lists("*.*");
        EXPECT_EQ(drive_item(list_box_items(dialog.item(IDC_DRIVES)), 'T'), c.item) << "label " << c.label;
    }
    drive_cache_clear();
}

}  // namespace
