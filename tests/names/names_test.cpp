// File names in every script, with UTF-8 as the ANSI code page: real files,
// real windows, the real plug-ins and the real program.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "app/app_ids.h"
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
#include "support/ansi_text.h"
#include "support/ravel.h"
#include "tests/common/test_support.h"
#include "tests/names/probe_conversion.h"

namespace {

const std::string cyrillic = "Привет.txt";
const std::string cjk = "日本語.txt";
const std::string greek = "naïve αβ.txt";
const std::string emoji = "😀 smile.txt";
const std::string cyrillic_dir = "Документы";
const std::string emoji_dir = "🎉 party";

bool utf8_process()
{
    return GetACP() == CP_UTF8;
}

#define REQUIRE_UTF8()                                                                                      \
    if (!utf8_process())                                                                                    \
    GTEST_SKIP() << "the manifest did not make UTF-8 the ANSI code page (ACP " << GetACP()                  \
                 << "): this system predates it"

std::string stem_of(const std::string &name)
{
    return name.substr(0, name.rfind('.'));
}

// What the probe's first stage makes of a text.
std::string upper_ascii(std::string text)
{
    for (char &c : text)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return text;
}

std::string repeat(const std::string &piece, int times)
{
    std::string text;
    for (int i = 0; i < times; ++i)
        text += piece;
    return text;
}

TEST(Utf8Process, ManifestChoosesUtf8)
{
    REQUIRE_UTF8();
    EXPECT_EQ(static_cast<UINT>(CP_UTF8), GetOEMCP());
    EXPECT_TRUE(ansi_is_utf8());
}

// ---- Text routines: cuts and measures by character ----------------------

struct cut_case {
    std::string text;
    std::size_t limit;
    std::size_t cut;
};

TEST(AnsiText, CutsAtCharacterBoundaries)
{
    REQUIRE_UTF8();
    const cut_case cases[] = {
        {"abc", 2, 2},          {"жж", 3, 2},           {"жж", 1, 0},       {"жж", 4, 4},
        {"日本", 5, 3},         {"日本", 4, 3},         {"日本", 2, 0},     {"a😀", 4, 1},
        {"a😀", 5, 5},          {"a😀b", 3, 1},         {"\xff\xfe", 1, 1}, {"a\xe6\x97", 2, 2},
    };
    for (const cut_case &c : cases)
        EXPECT_EQ(c.cut, ansi_cut(c.text, c.limit)) << "text " << c.text << " limit " << c.limit;
    EXPECT_EQ(4u, ansi_length("aж日😀"));
    EXPECT_EQ(3u, ansi_prefix("жabc", 2));
    EXPECT_EQ(10u, ansi_prefix("😀日本", 9));
}

TEST(AnsiText, BoundedCopiesAndFormatsNeverSplitACharacter)
{
    REQUIRE_UTF8();
    char small[6];
    EXPECT_EQ(4u, copy_bounded(small, sizeof small, "жжж"));
    EXPECT_STREQ("жж", small);
    EXPECT_FALSE(format_bounded(small, sizeof small, "%s!", "a😀b"));
    EXPECT_STREQ("a😀", small);
    char notice[256];
    const std::string name = repeat("名", 100);
    EXPECT_FALSE(format_bounded(notice, sizeof notice, "File %s of null length.", name.c_str()));
    EXPECT_TRUE(is_utf8(notice)) << notice;
    EXPECT_EQ(2u, std::strlen(notice) % 3) << "\"File \" then whole three-byte characters";
}

TEST(AnsiText, LowerCaseOfEveryScript)
{
    REQUIRE_UTF8();
    char text[] = "ПРИВЕТ ΑΒΓΔ ÀÉÎ ŁÓDŹ ABC 日本 😀 \xff";
    minstr_ansi(text);
    EXPECT_STREQ("привет αβγδ àéî łódź abc 日本 😀 \xff", text);
    char deseret[] = "\xf0\x90\x90\x80";  // U+10400, four bytes either way
    minstr_ansi(deseret);
    const std::string lowered = deseret;
    EXPECT_TRUE(lowered == "\xf0\x90\x90\xa8" || lowered == "\xf0\x90\x90\x80") << "whole characters only";
    // Ⱥ lowers to ⱥ, a byte longer: it stays, and the text never grows.
    char longer[] = "ȺX";
    minstr_ansi(longer);
    EXPECT_STREQ("Ⱥx", longer);
}

TEST(AnsiText, ByteTableTranslatesOneByteCharactersOnly)
{
    REQUIRE_UTF8();
    unsigned char upper[256];
    for (int i = 0; i < 256; ++i)
        upper[i] = static_cast<unsigned char>(i >= 'a' && i <= 'z' ? i - 32 : i == 0xE9 ? 0x82 : i);
    char text[] = "é-жx\xe9";
    strcnv(text, text, upper);
    EXPECT_STREQ("é-жX\x82", text) << "whole characters pass, a stray byte goes through the table";
}

struct name_case {
    std::string field;
    std::string host;
};

TEST(AnsiText, FormatNamesFromPlugins)
{
    REQUIRE_UTF8();
    const name_case cases[] = {
        {"Caf\xe9", "Café"},
        {"Caf\xe9" + repeat("x", 59) + "\xe9", "Café" + repeat("x", 58)},
        {"Na\xc3\xafve", "Naïve"},
        {"Plain", "Plain"},
        {"\x80 \x93quoted\x94", "€ “quoted”"},
        {repeat("é", 31) + "\xc3", repeat("é", 31)},
        {repeat("\xe9", 64), repeat("é", 31)},
        {repeat("ж", 32), repeat("ж", 31)},
    };
    for (const name_case &c : cases) {
        char field[FORMAT_NAME_SIZE] = {};
        std::memcpy(field, c.field.data(), std::min(c.field.size(), sizeof field));
        format_name_for_host(field, sizeof field);
        EXPECT_EQ(c.host, std::string(field)) << "field " << c.field;
    }
}

// ---- The browser ---------------------------------------------------------

class Browser : public TempDirTest {
protected:
    MainDialog dialog;

    void SetUp() override
    {
        REQUIRE_UTF8();
        TempDirTest::SetUp();
        current_dir_string(current_path, current_path_size);
        std::snprintf(file_pattern, pattern_size, "*.*");
    }
    std::vector<std::string> files() { return list_box_items(dialog.item(IDC_FILES)); }
    std::vector<std::string> dirs() { return list_box_items(dialog.item(IDC_DIRS)); }
    std::string shown() const
    {
        char text[current_path_size] = "";
        GetDlgItemTextA(dialog.hwnd(), IDC_PATH, text, sizeof text);
        return text;
    }
    void enter(const std::string &item)
    {
        refresh_lists(file_pattern);
        const LRESULT index = SendMessageA(dialog.item(IDC_DIRS), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(item.c_str()));
        ASSERT_NE(LB_ERR, index) << "no item " << item;
        SendMessageA(dialog.item(IDC_DIRS), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
        enter_directory();
    }
};

TEST_F(Browser, ListsEveryNameAsItIsInTheListBoxOrder)
{
    for (const std::string &name : {cyrillic, cjk, greek, emoji, std::string("apple.txt"), std::string("Zebra.txt")})
        write_file(name, "12345");
    make_dir(cyrillic_dir);
    make_dir(emoji_dir);
    refresh_lists(file_pattern);
    std::vector<std::string> expected{cyrillic, cjk, greek, emoji, "apple.txt", "Zebra.txt"};
    std::vector<std::wstring> wide;
    for (const std::string &name : expected) {
        wchar_t text[MAX_PATH];
        MultiByteToWideChar(CP_UTF8, 0, name.c_str(), -1, text, MAX_PATH);
        wide.emplace_back(text);
    }
    const LCID locale = static_cast<LCID>(SendMessageA(dialog.item(IDC_FILES), LB_GETLOCALE, 0, 0));
    std::vector<std::size_t> order{0, 1, 2, 3, 4, 5};
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return CompareStringW(locale, NORM_IGNORECASE, wide[a].c_str(), -1, wide[b].c_str(), -1) == CSTR_LESS_THAN;
    });
    std::vector<std::string> sorted;
    for (std::size_t i : order)
        sorted.push_back(expected[i]);
    EXPECT_EQ(sorted, files());
    EXPECT_EQ(6u, GetDlgItemInt(dialog.hwnd(), IDC_COUNT, nullptr, FALSE));
    const std::vector<std::string> listed = dirs();
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "[" + cyrillic_dir + "]"));
    EXPECT_NE(listed.end(), std::find(listed.begin(), listed.end(), "[" + emoji_dir + "]"));

    refresh_lists("Прив*.txt");
    EXPECT_EQ(std::vector<std::string>{cyrillic}, files()) << "a pattern in Cyrillic";
    refresh_lists("*😀*");
    EXPECT_EQ(std::vector<std::string>{emoji}, files()) << "a pattern with an emoji";
}

TEST_F(Browser, PatternFieldKeeps79CharactersWhateverTheirBytes)
{
    const std::string long_pattern = repeat("ж", 90);
    SetDlgItemTextA(dialog.hwnd(), IDC_PATTERN, long_pattern.c_str());
    apply_pattern();
    EXPECT_EQ(repeat("ж", 79), std::string(file_pattern));
    SetDlgItemTextA(dialog.hwnd(), IDC_PATTERN, "*.*");
    apply_pattern();
}

TEST_F(Browser, EntersDirectoriesAndShowsThePathByCharacters)
{
    // 13 Cyrillic letters and a backslash: 28 bytes, 14 characters.
    const std::string level1 = "ПАПКАПЕРВАЯАБ";
    make_dir(level1);
    enter("[" + level1 + "]");
    char lowered[MAX_PATH * 3];
    std::snprintf(lowered, sizeof lowered, "%s%s\\", dir().c_str(), level1.c_str());
    minstr_ansi(lowered);
    EXPECT_STREQ(lowered, current_path) << "Cyrillic lower-cased too";
    EXPECT_EQ(std::string(lowered), shown()) << "the display counts characters, not bytes";

    make_dir(emoji_dir);
    enter("[" + emoji_dir + "]");
    make_dir("日本語のディレクトリ");
    enter("[日本語のディレクトリ]");
    const std::string path = current_path;
    ASSERT_GT(ansi_length(path), 30u);
    const std::string display = shown();
    EXPECT_TRUE(is_utf8(display)) << display;
    EXPECT_NE(std::string::npos, display.find("\\...\\")) << display;
    EXPECT_EQ(display.size() - display.find("\\...\\") - 4, std::string("\\日本語のディレクトリ\\").size())
        << "the tail is the last directory, whole: " << display;

    go_to_parent();
    EXPECT_EQ(dir().size() + level1.size() + emoji_dir.size() + 2, std::strlen(current_path));
    char cwd[MAX_PATH * 3];
    GetCurrentDirectoryA(sizeof cwd, cwd);
    EXPECT_EQ(dir() + level1 + "\\" + emoji_dir, std::string(cwd));
}

TEST(ShortenPathByCharacters, CountsAndCutsCharacters)
{
    REQUIRE_UTF8();
    struct shorten_case {
        const char *path;
        const char *shown;
    };
    const shorten_case cases[] = {
        // 33 characters (59 bytes); without the second directory 26.
        {"c:\\папка\\второй\\третий\\четвёртый\\", "c:\\папка\\...\\третий\\четвёртый\\"},
        {"c:\\日本\\中国語のディレクトリ名前\\😀😀\\", "c:\\日本\\...\\😀😀\\"},
        {"c:\\αβγ\\δ\\ε\\ζ\\η\\θ\\ι\\κ\\λ\\μ\\ν\\ξ\\ο\\", "c:\\αβγ\\...\\ε\\ζ\\η\\θ\\ι\\κ\\λ\\μ\\ν\\ξ\\ο\\"},
    };
    for (const shorten_case &c : cases) {
        char shown[current_path_size];
        shorten_path(c.path, shown, sizeof shown);
        EXPECT_STREQ(c.shown, shown) << "path " << c.path;
    }
    char cut[13];
    shorten_path(cases[0].path, cut, sizeof cut);
    EXPECT_STREQ("c:\\папк", cut) << "a display cut short ends between characters";
}

TEST_F(Browser, DriveLabelCutsBetweenCharacters)
{
    char item[32];
    // 29 bytes of label where 26 fit: the thirteenth letter would end at byte 27.
    format_drive_item(3, "AБВГДЕЖЗИКЛМНОП", item, sizeof item);
    EXPECT_EQ("Aбвгдежзиклмн [D:]", std::string(item));
    format_drive_item(4, "ΔΕΔΟΜΕΝΑ", item, sizeof item);
    EXPECT_EQ("Δεδομενα [E:]", std::string(item));
}

// ---- Conversion ----------------------------------------------------------

class Conversion : public ProbeConversionTest {
protected:
    NoticeRecorder notices;

    void SetUp() override
    {
        REQUIRE_UTF8();
        TempDirTest::SetUp();
        offer_probe();
    }
    void select(const std::string &item)
    {
        const LRESULT index = SendMessageA(main.item(IDC_FILES), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                           reinterpret_cast<LPARAM>(item.c_str()));
        ASSERT_NE(LB_ERR, index) << item << " is not listed";
        SendMessageA(main.item(IDC_FILES), LB_SETSEL, TRUE, index);
    }
};

TEST_F(Conversion, PatternBatchConvertsEveryNameBesideRecursively)
{
    for (const std::string &name : {cyrillic, cjk, greek, emoji})
        write_file(name, "text of " + name);
    make_dir(cyrillic_dir);
    make_dir(cyrillic_dir + "\\" + emoji_dir);
    write_file(cyrillic_dir + "\\" + emoji_dir + "\\" + cjk, "deep");
    write_file(cyrillic_dir + "\\" + greek, "middle");
    convert_pattern("*.txt", true, false);
    for (const std::string &name : {cyrillic, cjk, greek, emoji})
        EXPECT_EQ("<TEXT OF " + upper_ascii(name) + ">", read_file(stem_of(name) + ".prb")) << name;
    EXPECT_EQ("<DEEP>", read_file(cyrillic_dir + "\\" + emoji_dir + "\\" + stem_of(cjk) + ".prb"));
    EXPECT_EQ("<MIDDLE>", read_file(cyrillic_dir + "\\" + stem_of(greek) + ".prb"));
    EXPECT_TRUE(notices.texts().empty()) << notices.texts().front();
    const std::vector<std::string> root = dir_entries("\\");
    EXPECT_EQ(root.end(), std::find_if(root.begin(), root.end(),
                                       [](const std::string &name) { return name.rfind("MX", 0) == 0; }))
        << "the list file is gone";
}

TEST_F(Conversion, PatternInCyrillicWithADirectoryPart)
{
    make_dir(cyrillic_dir);
    write_file(cyrillic_dir + "\\" + cyrillic, "one");
    write_file(cyrillic_dir + "\\Пока.txt", "two");
    convert_pattern(cyrillic_dir + "\\Прив*", false, false);
    EXPECT_EQ("<ONE>", read_file(cyrillic_dir + "\\Привет.prb"));
    EXPECT_FALSE(file_exists(cyrillic_dir + "\\Пока.prb"));
}

TEST_F(Conversion, ReplaceModeConvertsInPlaceAndKeepsTheDate)
{
    write_file(emoji, "in place");
    write_file(cyrillic, "selected");
    set_last_write(emoji, 2004, 3, 14);
    set_last_write(cyrillic, 2005, 3, 14);
    const FILETIME before = last_write(emoji);
    convert_pattern("*😀*", false, true);
    EXPECT_EQ("<IN PLACE>", read_file(emoji));
    const FILETIME after = last_write(emoji);
    EXPECT_EQ(0, CompareFileTime(&before, &after)) << "the date is kept";

    const FILETIME selected_before = last_write(cyrillic);
    SetDlgItemTextA(main.hwnd(), IDC_PATTERN, "*.*");
    apply_pattern();
    select(cyrillic);
    convert_pattern("*.*", false, true);
    EXPECT_EQ("<SELECTED>", read_file(cyrillic));
    const FILETIME selected_after = last_write(cyrillic);
    EXPECT_EQ(0, CompareFileTime(&selected_before, &selected_after));
    EXPECT_EQ((std::vector<std::string>{cyrillic, emoji}), dir_entries(dir()));
}

TEST_F(Conversion, NoticesNameTheFileAsItIs)
{
    write_file(cjk, "");
    plugin_function<void(__cdecl *)(int, int)>(probe, "probe_set_results")(CONVERT_EMPTY_INPUT, 0);
    convert_pattern(cjk, false, false);
    ASSERT_EQ(1u, notices.texts().size());
    EXPECT_EQ("File " + cjk + " of null length.", notices.texts()[0]);
}

TEST_F(Conversion, LongNameConvertedWhenItFitsRefusedWhenItDoesNot)
{
    // 125 two-byte letters and ".txt": 254 bytes, one under the buffer.
    const std::string long_name = repeat("ж", 125) + ".txt";
    write_file(long_name, "long");
    convert_pattern("*.txt", false, false);
    EXPECT_EQ("<LONG>", read_file(repeat("ж", 125) + ".prb"));
    EXPECT_TRUE(notices.texts().empty());

    make_dir("sub");
    ASSERT_TRUE(MoveFileA(long_name.c_str(), ("sub\\" + long_name).c_str()));
    const std::vector<std::string> before = dir_entries("sub");
    convert_pattern("sub\\*.txt", false, false);
    EXPECT_EQ(before, dir_entries("sub")) << "no output under a cut name";
    EXPECT_EQ(before, dir_entries("sub"));
    ASSERT_EQ(1u, notices.texts().size());
    const std::string notice = notices.texts()[0];
    EXPECT_EQ(0u, notice.rfind("The name of file\nsub\\жжж", 0)) << notice;
    EXPECT_TRUE(is_utf8(notice)) << "the notice cut between characters";
    EXPECT_EQ((std::vector<std::string>{"sub", repeat("ж", 125) + ".prb"}), dir_entries(dir()));
}

// ---- Format names from plug-ins -----------------------------------------

class Latin : public TempDirTest {
protected:
    MainDialog main;

    void SetUp() override
    {
        REQUIRE_UTF8();
        TempDirTest::SetUp();
        std::memset(source_formats, 0, sizeof source_formats);
        std::memset(target_formats, 0, sizeof target_formats);
        copy_test_plugin("cnvlatin.dll", dir());
        if (!source_path) {
            ASSERT_TRUE(alloc_path_buffers());
        }
    }
    void TearDown() override
    {
        while (HMODULE module = GetModuleHandleA(path("cnvlatin.dll").c_str()))
            FreeLibrary(module);
        TempDirTest::TearDown();
    }
};

TEST_F(Latin, Windows1252NamesShowAsMeantAndConvert)
{
    NoticeRecorder notices;
    load_plugins(main.hwnd());
    std::vector<std::string> sources = combo_items(main.item(IDC_SOURCE_FORMAT));
    std::sort(sources.begin(), sources.end());
    EXPECT_EQ((std::vector<std::string>{"Café crème", "Naïve UTF-8", repeat("é", 31)}), sources);
    EXPECT_EQ(std::vector<std::string>{"Crème brûlée €"}, combo_items(main.item(IDC_TARGET_FORMAT)));

    SendMessageA(main.item(IDC_SOURCE_FORMAT), CB_SELECTSTRING, static_cast<WPARAM>(-1),
                 reinterpret_cast<LPARAM>("Café crème"));
    SendMessageA(main.item(IDC_TARGET_FORMAT), CB_SETCURSEL, 0, 0);
    write_file("été.txt", "summer");
    SetDlgItemTextA(main.hwnd(), IDC_PATTERN, "été.txt");
    convert_command();
    EXPECT_EQ("[summer]", read_file("été.làt")) << "the extension is read as Windows-1252 too";
    EXPECT_TRUE(notices.texts().empty()) << notices.texts().front();
    EXPECT_EQ(0, find_format("Café crème", source_formats));
    EXPECT_EQ(2, find_format(repeat("é", 31).c_str(), source_formats));
}

// ---- The real program ----------------------------------------------------

std::wstring wide(const std::string &text)
{
    std::wstring out(text.size() + 1, L'\0');
    out.resize(static_cast<std::size_t>(MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &out[0],
                                                            static_cast<int>(out.size()))) - 1);
    return out;
}

std::string utf8(const wchar_t *text)
{
    char out[2048] = "";
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out, sizeof out, nullptr, nullptr);
    return out;
}

class Program : public TempDirTest {
protected:
    PROCESS_INFORMATION process{};

    void TearDown() override
    {
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(process.hProcess, 1);
            WaitForSingleObject(process.hProcess, 20000);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        TempDirTest::TearDown();
    }
    static LRESULT send(HWND window, UINT msg, WPARAM wparam, LPARAM lparam)
    {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, msg, wparam, lparam, SMTO_BLOCK, 60000, &result);
        return static_cast<LRESULT>(result);
    }
    static std::vector<std::string> items(HWND list)
    {
        std::vector<std::string> texts;
        const int count = static_cast<int>(send(list, LB_GETCOUNT, 0, 0));
        for (int i = 0; i < count; ++i) {
            wchar_t text[1024] = L"";
            send(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text));
            texts.push_back(utf8(text));
        }
        return texts;
    }
    static std::string text_of(HWND window)
    {
        wchar_t text[1024] = L"";
        send(window, WM_GETTEXT, 1024, reinterpret_cast<LPARAM>(text));
        return utf8(text);
    }
    HWND start()
    {
        const std::string exe = std::string(MORPHEX_BIN_DIR) + "/morphex.exe";
        std::string command = "\"" + exe + "\"";
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        if (!CreateProcessA(exe.c_str(), &command[0], nullptr, nullptr, FALSE, 0, nullptr, dir().c_str(), &startup,
                            &process))
            return nullptr;
        for (const DWORD begin = GetTickCount(); GetTickCount() - begin < 20000; Sleep(50)) {
            HWND window = FindWindowW(nullptr, L"Morphex - File conversion utility - Morphex Project");
            DWORD owner = 0;
            if (window)
                GetWindowThreadProcessId(window, &owner);
            if (window && owner == process.dwProcessId && IsWindowVisible(window))
                return window;
        }
        return nullptr;
    }
    static void command(HWND main, int id, int notification)
    {
        send(main, WM_COMMAND, MAKEWPARAM(id, notification), reinterpret_cast<LPARAM>(GetDlgItem(main, id)));
    }
};

TEST_F(Program, ListsEntersAndConvertsEveryName)
{
    REQUIRE_UTF8();
    copy_test_plugin("cnvprobe.dll", dir());
    write_file(cyrillic, "privet");
    write_file(cjk, "nihon");
    write_file(greek, "naive");
    make_dir(cyrillic_dir);
    write_file(cyrillic_dir + "\\" + emoji, "smile");
    HWND main = start();
    ASSERT_NE(nullptr, main) << "no main window";
    const std::vector<std::string> files = items(GetDlgItem(main, IDC_FILES));
    for (const std::string &name : {cyrillic, cjk, greek})
        EXPECT_NE(files.end(), std::find(files.begin(), files.end(), name)) << name << " is not listed";
    const std::vector<std::string> dirs = items(GetDlgItem(main, IDC_DIRS));
    EXPECT_NE(dirs.end(), std::find(dirs.begin(), dirs.end(), "[" + cyrillic_dir + "]"));

    const std::wstring item = wide("[" + cyrillic_dir + "]");
    const LRESULT index = send(GetDlgItem(main, IDC_DIRS), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                               reinterpret_cast<LPARAM>(item.c_str()));
    ASSERT_NE(LB_ERR, index);
    send(GetDlgItem(main, IDC_DIRS), LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    command(main, IDC_DIRS, LBN_DBLCLK);
    EXPECT_EQ(std::vector<std::string>{emoji}, items(GetDlgItem(main, IDC_FILES)));
    const std::string path = text_of(GetDlgItem(main, IDC_PATH));
    EXPECT_NE(std::string::npos, path.find("документы\\")) << path;

    const std::wstring file = wide(emoji);
    const LRESULT file_index = send(GetDlgItem(main, IDC_FILES), LB_FINDSTRINGEXACT, static_cast<WPARAM>(-1),
                                    reinterpret_cast<LPARAM>(file.c_str()));
    ASSERT_NE(LB_ERR, file_index);
    send(GetDlgItem(main, IDC_FILES), LB_SETSEL, TRUE, file_index);
    send(GetDlgItem(main, IDC_SOURCE_FORMAT), CB_SELECTSTRING, static_cast<WPARAM>(-1),
         reinterpret_cast<LPARAM>(L"Probe upper"));
    send(GetDlgItem(main, IDC_TARGET_FORMAT), CB_SELECTSTRING, static_cast<WPARAM>(-1),
         reinterpret_cast<LPARAM>(L"Probe mark"));
    command(main, IDC_CONVERT, BN_CLICKED);
    EXPECT_EQ("<SMILE>", read_file(cyrillic_dir + "\\" + stem_of(emoji) + ".prb"));

    command(main, IDC_PARENT, BN_CLICKED);
    send(GetDlgItem(main, IDC_PATTERN), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"*.txt"));
    command(main, IDC_CONVERT, BN_CLICKED);
    for (const std::string &name : {cyrillic, cjk, greek})
        EXPECT_TRUE(file_exists(stem_of(name) + ".prb")) << name << " was not converted";
    command(main, IDC_CLOSE, BN_CLICKED);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.hProcess, 20000));
}

}  // namespace
