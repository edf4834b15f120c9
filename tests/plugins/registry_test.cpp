// Plug-in discovery and the format tables, with real plug-in DLLs.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"

namespace {

const std::string too_many =
    "Too much conversion DLLs to load (more than 64 formats). Please move some DLLs in another directory and try "
    "again.";

std::vector<std::string> search_order()
{
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("cnv*.dll", &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName);
    while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

class Registry : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        std::memset(source_formats, 0, sizeof source_formats);
        std::memset(target_formats, 0, sizeof target_formats);
        trace_mode = 0;
    }
    void TearDown() override
    {
        trace_mode = 0;
        unload_plugins_in(dir());
        TempDirTest::TearDown();
    }

    // Copies the plug-ins so that the directory search returns them in the
    // order given, whatever order the file system keeps.
    void install_in_search_order(const std::vector<std::string> &plugins)
    {
        for (std::size_t i = 0; i < plugins.size(); ++i)
            copy_test_plugin(plugins[i], dir(), "cnv" + std::string(1, static_cast<char>('a' + i)) + ".dll");
        const std::vector<std::string> order = search_order();
        ASSERT_EQ(plugins.size(), order.size());
        for (std::size_t i = 0; i < plugins.size(); ++i)
            copy_test_plugin(plugins[i], dir(), order[i]);
    }

    std::vector<std::string> sources() const { return combo_items(main.item(IDC_SOURCE_FORMAT)); }
    std::vector<std::string> targets() const { return combo_items(main.item(IDC_TARGET_FORMAT)); }
    int count_notices(const std::string &text) const
    {
        int n = 0;
        for (const std::string &t : notices.texts())
            n += t == text;
        return n;
    }

    MainDialog main;
    NoticeRecorder notices;
};

TEST_F(Registry, ATableMayBecomeExactlyFullButNoMore)
{
    install_in_search_order({"cnvreg64s.dll", "cnvreg1s1t.dll", "cnvregdup1.dll"});
    load_plugins(main.hwnd());
    EXPECT_EQ(64u, sources().size());
    EXPECT_EQ(std::vector<std::string>{"One target 000"}, targets()) << "the other list is still asked for";
    EXPECT_EQ(1, count_notices(too_many));
    EXPECT_EQ(format_table_size, find_format("Shared source 000", source_formats)) << "loading went on";
    EXPECT_EQ(0, find_format("Full source 000", source_formats));
    EXPECT_EQ(63, find_format("Full source 063", source_formats));
}

TEST_F(Registry, AListThatWouldPassTheLimitIsRefusedWhole)
{
    install_in_search_order({"cnvreg60s.dll", "cnvreg5s3t.dll", "cnvreg1s1t.dll"});
    load_plugins(main.hwnd());
    EXPECT_EQ(60u, sources().size());
    EXPECT_EQ((std::vector<std::string>{"Five target 000", "Five target 001", "Five target 002"}), targets());
    EXPECT_EQ(std::vector<std::string>{too_many}, notices.texts());
    EXPECT_EQ(format_table_size, find_format("Five source 000", source_formats));
    EXPECT_EQ(format_table_size, find_format("One source 000", source_formats));
}

TEST_F(Registry, BothListsOverflowingGiveTwoNotices)
{
    copy_test_plugin("cnvreg70b.dll", dir());
    load_plugins(main.hwnd());
    EXPECT_EQ(2, count_notices(too_many));
    EXPECT_TRUE(sources().empty());
    EXPECT_TRUE(targets().empty());
}

TEST_F(Registry, AVeryLongListCannotTouchTheTables)
{
    install_in_search_order({"cnvreg1s1t.dll", "cnvreg500.dll"});
    load_plugins(main.hwnd());
    EXPECT_EQ(std::vector<std::string>{too_many}, notices.texts());
    EXPECT_EQ(std::vector<std::string>{"One source 000"}, sources());
    for (int slot = 1; slot < format_table_size; ++slot) {
        const format_entry &entry = source_formats[slot];
        const auto *bytes = reinterpret_cast<const unsigned char *>(&entry);
        for (std::size_t i = 0; i < sizeof entry; ++i)
            ASSERT_EQ(0, bytes[i]) << "slot " << slot << " byte " << i << " was written";
    }
}

TEST_F(Registry, TraceShowsEachStepInOrder)
{
    copy_test_plugin("cnvprobe.dll", dir());
    trace_mode = 1;
    load_plugins(main.hwnd());
    const std::vector<recorded_notice> &seen = notices.notices();
    ASSERT_EQ(5u, seen.size());
    for (const recorded_notice &n : seen)
        EXPECT_EQ(notice_kind::timed, n.kind) << n.text;
    std::string directory = dir();
    directory.pop_back();
    EXPECT_EQ("Starting DLL enumeration loop with string cnv*.dll in dir " + directory, seen[0].text);
    EXPECT_EQ("Name of DLL found: cnvprobe.dll.", seen[1].text);
    const HMODULE module = GetModuleHandleA(path("cnvprobe.dll").c_str());
    ASSERT_NE(nullptr, module);
    EXPECT_EQ("Loading library cnvprobe.dll\nValue of hInst = " +
                  std::to_string(reinterpret_cast<std::uintptr_t>(module)) + "l.",
              seen[2].text);
    EXPECT_EQ("Handled format: Probe upper.", seen[3].text);
    EXPECT_EQ("Handled format: Probe raw.", seen[4].text);
    EXPECT_EQ((std::vector<std::string>{"Probe raw", "Probe upper"}), sources()) << "lists are sorted";
}

TEST_F(Registry, TheFirstPluginFoundOwnsASharedName)
{
    install_in_search_order({"cnvregdup2.dll", "cnvregdup1.dll"});
    load_plugins(main.hwnd());
    EXPECT_EQ((std::vector<std::string>{"Shared source 000", "Shared source 000"}), sources());
    const int slot = find_format("Shared source 000", source_formats);
    ASSERT_EQ(0, slot);
    EXPECT_EQ(2u, source_formats[slot].reserved);
}

TEST_F(Registry, EmptyNegativeUnloadableAndInitlessPluginsAddNothing)
{
    copy_test_plugin("cnvregzero.dll", dir());
    copy_test_plugin("cnvregneg.dll", dir());
    copy_test_plugin("cnvregnoenum.dll", dir());
    write_file("cnvbad.dll", "this is not a library");
    copy_test_plugin("cnvreg1s1t.dll", dir(), "cnv.dll");  // "*" may be empty
    load_plugins(main.hwnd());
    EXPECT_EQ(std::vector<std::string>{"One source 000"}, sources());
    EXPECT_EQ(std::vector<std::string>{"One target 000"}, targets());
    int system_errors = 0;
    for (const recorded_notice &n : notices.notices())
        system_errors += n.kind == notice_kind::system_error;
    EXPECT_EQ(2, system_errors) << "one for the file that is no library, one for the missing init function";
    EXPECT_EQ(0, count_notices(too_many));
}

TEST_F(Registry, NamesAndExtensionsEndInsideTheirFields)
{
    copy_test_plugin("cnvregfull.dll", dir());
    load_plugins(main.hwnd());
    const std::string name(63, 'N');
    EXPECT_EQ(std::vector<std::string>{name}, sources());
    EXPECT_EQ(0, find_format(name.c_str(), source_formats)) << "a 63-character name is found again";
    EXPECT_STREQ("eeee", target_formats[0].ext);
}

TEST_F(Registry, TargetsWithoutConverterAreRefused)
{
    copy_test_plugin("cnvregnull.dll", dir());
    trace_mode = 1;
    load_plugins(main.hwnd());
    EXPECT_EQ(std::vector<std::string>{"Null target 001"}, targets());
    EXPECT_EQ(0, find_format("Null target 001", target_formats));
    EXPECT_EQ(1, count_notices("Format Null target 000 refused: it has no converter."));
}

TEST_F(Registry, NoPluginEndsTheWindowWithAMessage)
{
    load_plugins(main.hwnd());
    ASSERT_EQ(1u, notices.notices().size());
    EXPECT_EQ(notice_kind::message_box, notices.notices()[0].kind);
    EXPECT_EQ("No conversion DLL found.\nAborting...", notices.texts()[0]);
    EXPECT_TRUE(sources().empty());
}

TEST_F(Registry, FindFormatComparesExactly)
{
    copy_test_plugin("cnvprobe.dll", dir());
    load_plugins(main.hwnd());
    struct lookup {
        const char *name;
        int expected;
    } cases[] = {
        {"Probe upper", 0}, {"Probe raw", 1}, {"PROBE UPPER", 64}, {"Probe", 64}, {"Probe upper ", 64}, {"", 2},
    };
    for (const lookup &c : cases)
        EXPECT_EQ(c.expected, find_format(c.name, source_formats)) << "name \"" << c.name << "\"";
    EXPECT_EQ(1, find_format("Probe mark", target_formats));
}

}  // namespace
