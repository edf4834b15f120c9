// Names an 8-bit ANSI code page cannot hold.  The ANSI file search gives
// them best-fit letters (Łetter.txt comes back as Letter.txt) or "?": such a
// name is never taken for another file, neither by the lists nor by a batch.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "app/convert_command.h"
#include "browser/browser_ids.h"
#include "browser/lists.h"
#include "browser/navigation.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "convert/convert_ids.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "support/ansi_search.h"
#include "tests/common/test_support.h"
#include "tests/convert/small_drive.h"
#include "tests/names/probe_conversion.h"

namespace {

const std::string left_out_letter =
    "File Letter.txt:\nits name has letters that this\nsystem's code page lacks.\nIt was not converted.";
const std::string left_out_directory =
    "Directory Ldir:\nits name has letters that this\nsystem's code page lacks.\nIts files were not converted.";

// Whether the ANSI code page writes Ł with a best-fit letter, as 1252 does.
bool best_fit_code_page()
{
    BOOL used_default = FALSE;
    char out[8];
    return GetACP() != CP_UTF8 &&
           WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, L"\u0141", 1, out, sizeof out, nullptr, &used_default) &&
           used_default;
}

void write_wide(const std::wstring &name, const std::string &content)
{
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    DWORD written = 0;
    WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(file);
}

std::string read_wide(const std::wstring &name)
{
    HANDLE file = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "(missing)";
    char buffer[256];
    DWORD got = 0;
    ReadFile(file, buffer, sizeof buffer, &got, nullptr);
    CloseHandle(file);
    return std::string(buffer, got);
}

class BestFit : public ProbeConversionTest {
protected:
    void SetUp() override
    {
        if (!best_fit_code_page())
            GTEST_SKIP() << "the ANSI code page (" << GetACP() << ") holds every name or lacks best-fit letters";
        TempDirTest::SetUp();
        write_wide(L"Letter.txt", "plain");
        write_wide(L"\u0141etter.txt", "accent");
        write_wide(L"\u041f\u0440\u0438\u0432\u0435\u0442.txt", "cyrillic");
        make_dir("Ldir");
        write_file("Ldir\\inner.txt", "inside");
        ASSERT_TRUE(CreateDirectoryW(L"\u0141dir", nullptr));
        write_wide(L"\u0141dir\\inner.txt", "elsewhere");

        offer_probe();
    }
    static bool has(const std::vector<std::string> &texts, const std::string &text)
    {
        return std::count(texts.begin(), texts.end(), text) == 1;
    }
};

TEST_F(BestFit, TheAnsiSearchReallyGivesTheNamesakes)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("*etter.txt", &found);
    ASSERT_NE(INVALID_HANDLE_VALUE, search);
    std::vector<std::string> names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    EXPECT_EQ((std::vector<std::string>{"Letter.txt", "Letter.txt"}), names)
        << "the fault this guards against is gone from the system";

    ansi_search exact("*etter.txt");
    ansi_entry entry;
    int held = 0, not_held = 0;
    while (exact.next(entry)) {
        EXPECT_EQ("Letter.txt", entry.name);
        ++(entry.exact ? held : not_held);
    }
    EXPECT_EQ(1, held);
    EXPECT_EQ(1, not_held);
}

TEST_F(BestFit, ListsOfferOnlyTheFilesTheNamesLeadTo)
{
    refresh_lists("*.*");
    EXPECT_EQ(std::vector<std::string>{"Letter.txt"}, list_box_items(main.item(IDC_FILES)));
    EXPECT_EQ(1u, GetDlgItemInt(main.hwnd(), IDC_COUNT, nullptr, FALSE));
    const std::vector<std::string> dirs = list_box_items(main.item(IDC_DIRS));
    EXPECT_EQ(1, std::count(dirs.begin(), dirs.end(), "[ldir]"));
}

TEST_F(BestFit, BatchConvertsEachFileOnceAndNamesTheOthers)
{
    NoticeRecorder notices;
    convert_pattern("*.txt", true, false);
    EXPECT_EQ("<PLAIN>", read_file("Letter.prb"));
    EXPECT_FALSE(file_exists("Letter_1.prb")) << "Letter.txt converted twice";
    EXPECT_EQ("<INSIDE>", read_file("Ldir\\inner.prb"));
    EXPECT_FALSE(file_exists("Ldir\\inner_1.prb")) << "Ldir walked twice";
    EXPECT_EQ("(missing)", read_wide(L"\u0141dir\\inner.prb"));
    const std::vector<std::string> texts = notices.texts();
    EXPECT_EQ(3u, texts.size());
    EXPECT_TRUE(has(texts, left_out_letter));
    EXPECT_TRUE(has(texts, "File ??????.txt:\nits name has letters that this\nsystem's code page lacks.\nIt was not "
                           "converted."));
    EXPECT_TRUE(has(texts, left_out_directory));
}

TEST_F(BestFit, ReplaceBatchLeavesTheNamesakeAlone)
{
    NoticeRecorder notices;
    convert_pattern("*etter.txt", false, true);
    EXPECT_EQ("<PLAIN>", read_file("Letter.txt")) << "converted once, not twice";
    EXPECT_EQ("accent", read_wide(L"\u0141etter.txt"));
    EXPECT_EQ(std::vector<std::string>{left_out_letter}, notices.texts());
}

// A full drive takes the list file but not its lines, so the list is written
// again in the temporary folder: a name left out is still named once.
TEST_F(BestFit, ANameLeftOutOfAListWrittenTwiceIsNamedOnce)
{
    SmallDrive drive;
    if (!drive.here())
        GTEST_SKIP() << drive.why_not();
    InsideDirectory inside(drive.dir());
    ASSERT_TRUE(inside.entered());
    write_file("Letter.txt", "plain");
    write_wide(L"\u0141etter.txt", "accent");
    ASSERT_TRUE(drive.fill(0));
    NoticeRecorder notices;
    convert_pattern("*etter.txt", false, false);
    const std::vector<std::string> texts = notices.texts();
    EXPECT_EQ(1, std::count(texts.begin(), texts.end(), left_out_letter)) << "notices: " << texts.size();
    EXPECT_EQ("accent", read_wide(L"\u0141etter.txt"));
}

}  // namespace
