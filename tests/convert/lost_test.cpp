// Characters a target format could not hold: counted through the plug-in's
// _DLL_lost and reported in one notice after the Convert command.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/convert_command.h"
#include "browser/browser_ids.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"
#include "tests/convert/engine_fixture.h"

namespace {

const std::string heading = "Characters lost in the target format:";

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    lines.push_back(text.substr(start));
    return lines;
}

class LostCharacters : public EngineTest {
protected:
    // Loads `plugin` as the window does and converts every .txt file.
    void convert_with(const char *plugin, bool recursive = false)
    {
        copy_test_plugin(plugin, dir());
        SendMessageA(main.item(IDC_SOURCE_FORMAT), CB_RESETCONTENT, 0, 0);
        SendMessageA(main.item(IDC_TARGET_FORMAT), CB_RESETCONTENT, 0, 0);
        load_plugins(main.hwnd());
        SendMessageA(main.item(IDC_SOURCE_FORMAT), CB_SETCURSEL, 0, 0);
        SendMessageA(main.item(IDC_TARGET_FORMAT), CB_SETCURSEL, 0, 0);
        SetDlgItemTextA(main.hwnd(), IDC_PATTERN, "*.txt");
        CheckDlgButton(main.hwnd(), IDC_RECURSIVE, recursive ? BST_CHECKED : BST_UNCHECKED);
        notices.clear();
        convert_command();
    }
};

TEST_F(LostCharacters, OneNoticeNamesEachFileWithItsCount)
{
    write_file("a.txt", "caf\xe9 au lait");
    write_file("b.txt", "plain ASCII");
    make_dir("sub");
    write_file("sub\\c.txt", "\xe9\xe8\xea.");
    convert_with("cnvlost.dll", true);
    ASSERT_EQ(1u, notices.notices().size()) << "one notice for the whole batch";
    EXPECT_EQ(notice_kind::modal, notices.notices()[0].kind);
    EXPECT_EQ(heading + "\na.txt: 1\nsub\\c.txt: 3", notices.texts()[0])
        << "counts of the target stage, names relative to where the batch began";
    EXPECT_EQ("caf? au lait", read_file("a.asc"));
    EXPECT_EQ("???.", read_file("sub\\c.asc"));
}

TEST_F(LostCharacters, ALongListEndsWithTheNumberOfFilesLeftOut)
{
    struct listing {
        int files;
        std::size_t named;
        const char *last_line;
    } cases[] = {{1, 1, nullptr}, {5, 5, nullptr}, {6, 4, "and 2 more files"}, {9, 4, "and 5 more files"}};
    for (const listing &c : cases) {
        SCOPED_TRACE(std::to_string(c.files) + " files");
        TearDown();
        SetUp();
        for (int i = 0; i < c.files; ++i)
            write_file("f" + std::to_string(i) + ".txt", "na\xefve");
        convert_with("cnvlost.dll");
        ASSERT_EQ(1u, notices.texts().size());
        const std::vector<std::string> lines = lines_of(notices.texts()[0]);
        ASSERT_EQ(1 + c.named + (c.last_line ? 1 : 0), lines.size()) << notices.texts()[0];
        EXPECT_EQ(heading, lines[0]);
        for (std::size_t i = 1; i <= c.named; ++i)
            EXPECT_EQ(": 1", lines[i].substr(lines[i].size() - 3)) << lines[i];
        if (c.last_line) {
            EXPECT_EQ(c.last_line, lines.back());
        }
    }
}

// A count that crashes costs the count, never the file or the batch.
TEST_F(LostCharacters, ACrashingCountIsContained)
{
    write_file("a.txt", "crash the count: caf\xe9");
    write_file("b.txt", "na\xefve");
    convert_with("cnvlost.dll");
    EXPECT_EQ("crash the count: caf?", read_file("a.asc")) << "the converted file stays";
    EXPECT_EQ("na?ve", read_file("b.asc")) << "the batch goes on";
    ASSERT_EQ(1u, notices.texts().size());
    EXPECT_EQ(heading + "\nb.txt: 1", notices.texts()[0]) << "only the file whose count was read";
}

TEST_F(LostCharacters, NoNoticeWithoutLossOrWithoutTheExport)
{
    write_file("ascii.txt", "nothing to lose");
    convert_with("cnvlost.dll");
    EXPECT_TRUE(notices.texts().empty()) << "no file lost characters";
    EXPECT_EQ("nothing to lose", read_file("ascii.asc"));

    TearDown();
    SetUp();
    write_file("accents.txt", "d\xe9j\xe0 vu");
    convert_with("cnvnolost.dll");
    EXPECT_TRUE(notices.texts().empty()) << "a plug-in without _DLL_lost reports nothing";
    EXPECT_EQ("d?j? vu", read_file("accents.asc")) << "it converted as before";
}

}  // namespace
