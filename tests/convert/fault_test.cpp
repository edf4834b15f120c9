// Converters that crash, through the real fault plug-in, in batches of real
// files: the crash costs its file alone, says so once, and leaves nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "app/app_state.h"
#include "convert/batch.h"
#include "convert/convert_file.h"
#include "plugins/plugin_ids.h"
#include "plugins/registry.h"
#include "support/guard.h"
#include "tests/common/test_support.h"

namespace {

struct crash_kind {
    const char *mark;  // what follows "fault:" in the input
    std::uint32_t exception_code;
};

const crash_kind crash_kinds[] = {
    {"av", EXCEPTION_ACCESS_VIOLATION},      {"avio", EXCEPTION_ACCESS_VIOLATION},
    {"div", EXCEPTION_INT_DIVIDE_BY_ZERO},   {"stack", EXCEPTION_STACK_OVERFLOW},
    {"throw", gcc_cxx_exception_code},       {"ill", EXCEPTION_ILLEGAL_INSTRUCTION},
    {"priv", EXCEPTION_PRIV_INSTRUCTION},
};

bool same_time(FILETIME a, FILETIME b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// True when no handle, of this process or another, keeps the file open.
bool openable_alone(const std::string &name)
{
    HANDLE file = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file);
    return true;
}

std::string fault_notice(const char *format, std::uint32_t code, const std::string &file)
{
    char text[512];
    std::snprintf(text, sizeof text,
                  "The converter of format %s stopped with exception 0x%08X while converting %s.\n"
                  "The file was left as it was.",
                  format, static_cast<unsigned>(code), file.c_str());
    return text;
}

// List files left in the drive's root or in the temporary folder.
std::vector<std::string> stray_list_files(const std::string &dir)
{
    char temporary[MAX_PATH] = "";
    GetTempPathA(sizeof temporary, temporary);
    std::vector<std::string> found;
    for (const std::string &place : {dir.substr(0, 3), std::string(temporary)}) {
        WIN32_FIND_DATAA data;
        HANDLE search = FindFirstFileA((place + "MX*.LST").c_str(), &data);
        if (search == INVALID_HANDLE_VALUE)
            continue;
        do
            found.push_back(place + data.cFileName);
        while (FindNextFileA(search, &data));
        FindClose(search);
    }
    return found;
}

struct fault_plugin {
    HMODULE module = nullptr;
    convert_fn fault_read = nullptr;
    convert_fn plain_read = nullptr;
    convert_fn fault_write = nullptr;
    convert_fn plain_write = nullptr;
};

const fault_plugin &plugin()
{
    static const fault_plugin loaded = [] {
        fault_plugin p;
        p.module = LoadLibraryA(MORPHEX_TEST_PLUGIN_DIR "/cnvfault.dll");
        if (p.module) {
            p.fault_read = plugin_function<convert_fn>(p.module, "fault_read");
            p.plain_read = plugin_function<convert_fn>(p.module, "plain_read");
            p.fault_write = plugin_function<convert_fn>(p.module, "fault_write");
            p.plain_write = plugin_function<convert_fn>(p.module, "plain_write");
        }
        return p;
    }();
    return loaded;
}

class ConverterFault : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_NE(nullptr, plugin().module) << "cnvfault.dll not loaded from " MORPHEX_TEST_PLUGIN_DIR;
        if (!source_path) {
            ASSERT_TRUE(alloc_path_buffers());
        }
        std::memset(source_formats, 0, sizeof source_formats);
        std::memset(target_formats, 0, sizeof target_formats);
        put_format(source_formats[0], "Plain read", "", plugin().plain_read);
        put_format(source_formats[1], "Fault read", "", plugin().fault_read);
        put_format(target_formats[0], "Plain write", "out", plugin().plain_write);
        put_format(target_formats[1], "Fault write", "flt", plugin().fault_write);
        replace_mode = 0;
    }
    void TearDown() override
    {
        replace_mode = 0;
        TempDirTest::TearDown();
    }
    // Writes the file with an old date and remembers both.
    void write_source(const std::string &name, const std::string &content)
    {
        write_file(name, content);
        set_last_write(name, 2001, 2, 3);
        sources_.push_back({name, content, last_write(name)});
    }
    // The marked sources are exactly as they were and free to open.
    void expect_untouched(const std::string &name)
    {
        for (const source_record &source : sources_) {
            if (source.name != name)
                continue;
            EXPECT_EQ(source.content, read_file(name)) << name;
            EXPECT_TRUE(same_time(source.time, last_write(name))) << name << ": date changed";
            EXPECT_TRUE(openable_alone(name)) << name << " is still held open";
            return;
        }
        ADD_FAILURE() << name << " was not written by the test";
    }
    std::vector<std::string> modal_texts() const
    {
        std::vector<std::string> texts;
        for (const recorded_notice &notice : notices.notices()) {
            EXPECT_EQ(notice_kind::modal, notice.kind) << notice.text;
            texts.push_back(notice.text);
        }
        return texts;
    }

    NoticeRecorder notices;

private:
    struct source_record {
        std::string name;
        std::string content;
        FILETIME time;
    };
    std::vector<source_record> sources_;
};

class CrashKind : public ConverterFault, public ::testing::WithParamInterface<crash_kind> {
protected:
    std::string marked(const char *before, const char *after) const
    {
        return std::string(before) + " fault:" + GetParam().mark + " " + after;
    }
};

TEST_P(CrashKind, FirstStageCrashCostsOneFileOfAPatternBatch)
{
    write_source("a.txt", "alpha");
    write_source("b.txt", marked("written first", "never written"));
    write_source("c.txt", "gamma");
    convert_batch("*.txt", "out", batch_pattern, plugin().fault_read, plugin().plain_write);

    EXPECT_EQ("<alpha>", read_file("a.out"));
    EXPECT_EQ("<gamma>", read_file("c.out")) << "the format stays usable after the crash";
    expect_untouched("b.txt");
    EXPECT_EQ((std::vector<std::string>{"a.out", "a.txt", "b.txt", "c.out", "c.txt"}), dir_entries(dir()));
    EXPECT_TRUE(stray_list_files(dir()).empty());
    EXPECT_EQ(std::vector<std::string>{fault_notice("Fault read", GetParam().exception_code, "b.txt")},
              modal_texts());
}

TEST_P(CrashKind, SecondStageCrashInPlaceKeepsTheSelectedSource)
{
    make_dir("docs");
    write_source("docs\\a.txt", "alpha");
    write_source("docs\\b.txt", marked("written first", "never written"));
    write_source("docs\\c.txt", "gamma");
    replace_mode = 1;
    for (const char *name : {"docs\\a.txt", "docs\\b.txt", "docs\\c.txt"})
        convert_batch(name, "flt", batch_one_file, plugin().plain_read, plugin().fault_write);

    EXPECT_EQ("<alpha>", read_file("docs\\a.txt"));
    EXPECT_EQ("<gamma>", read_file("docs\\c.txt"));
    expect_untouched("docs\\b.txt");
    EXPECT_EQ((std::vector<std::string>{"a.txt", "b.txt", "c.txt"}), dir_entries(dir() + "docs"));
    EXPECT_EQ(std::vector<std::string>{"docs"}, dir_entries(dir()));
    EXPECT_EQ(std::vector<std::string>{fault_notice("Fault write", GetParam().exception_code, "docs\\b.txt")},
              modal_texts());
}

// Without a first stage the crashing converter reads the source itself,
// which must come out whole, in either mode.
TEST_P(CrashKind, SecondStageCrashOnTheSourceItselfKeepsIt)
{
    write_source("d.txt", marked("written first", "never written"));
    for (int mode : {0, 1}) {
        notices.clear();
        replace_mode = mode;
        convert_batch("d.txt", "flt", batch_one_file, nullptr, plugin().fault_write);
        expect_untouched("d.txt");
        EXPECT_EQ(std::vector<std::string>{"d.txt"}, dir_entries(dir())) << "replace mode " << mode;
        EXPECT_EQ(std::vector<std::string>{fault_notice("Fault write", GetParam().exception_code, "d.txt")},
                  modal_texts());
    }
}

TEST_P(CrashKind, ASecondCrashInTheSameRunIsCaughtAsTheFirst)
{
    write_source("a.txt", marked("top", "level"));
    make_dir("sub");
    write_source("sub\\b.txt", "beta");
    write_source("sub\\c.txt", marked("one", "level down"));
    write_source("sub\\d.txt", "delta");
    replace_mode = 1;
    convert_batch("*.txt", "flt", batch_recursive, plugin().fault_read, plugin().fault_write);

    expect_untouched("a.txt");
    expect_untouched("sub\\c.txt");
    EXPECT_EQ("<beta>", read_file("sub\\b.txt"));
    EXPECT_EQ("<delta>", read_file("sub\\d.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.txt", "sub"}), dir_entries(dir()));
    EXPECT_EQ((std::vector<std::string>{"b.txt", "c.txt", "d.txt"}), dir_entries(dir() + "sub"));
    EXPECT_TRUE(stray_list_files(dir()).empty());
    EXPECT_EQ((std::vector<std::string>{fault_notice("Fault read", GetParam().exception_code, "a.txt"),
                                        fault_notice("Fault read", GetParam().exception_code, "sub\\c.txt")}),
              modal_texts())
        << "a file below is named by its path from where the walk began";
}

INSTANTIATE_TEST_SUITE_P(Kinds, CrashKind, ::testing::ValuesIn(crash_kinds),
                         [](const ::testing::TestParamInfo<crash_kind> &info) { return std::string(info.param.mark); });

TEST_F(ConverterFault, ExceptionsAPluginHandlesItselfAreNoConcernOfTheHost)
{
    write_source("catch.txt", "x fault:catch y");
    write_source("probe.txt", "x fault:probe y");
    convert_batch("*.txt", "flt", batch_pattern, plugin().fault_read, plugin().fault_write);
    EXPECT_EQ("<x fault:catch y>", read_file("catch.flt"));
    EXPECT_EQ("<x fault:probe y>", read_file("probe.flt"));
    EXPECT_TRUE(notices.notices().empty()) << notices.texts()[0];
}

TEST_F(ConverterFault, DifferentCrashesInOneBatchEachCostTheirFile)
{
    std::vector<std::string> expected_notices;
    for (const crash_kind &kind : crash_kinds) {
        const std::string name = std::string(kind.mark) + ".txt";
        write_source(name, std::string("fault:") + kind.mark);
        expected_notices.push_back(fault_notice("Fault write", kind.exception_code, name));
    }
    write_source("zz.txt", "last");
    for (const crash_kind &kind : crash_kinds)
        convert_batch((std::string(kind.mark) + ".txt").c_str(), "flt", batch_one_file, nullptr,
                      plugin().fault_write);
    convert_batch("zz.txt", "flt", batch_one_file, nullptr, plugin().fault_write);
    for (const crash_kind &kind : crash_kinds)
        expect_untouched(std::string(kind.mark) + ".txt");
    EXPECT_EQ("<last>", read_file("zz.flt"));
    EXPECT_EQ(expected_notices, modal_texts());
    EXPECT_EQ(std::size(crash_kinds) + 2, dir_entries(dir()).size());
}

// The guard alone: what a call returns, and that it nests.
std::int32_t __cdecl add_three(std::int32_t a, std::int32_t b, std::int32_t c)
{
    return a + b + c;
}

std::int32_t __cdecl crash_inside(std::int32_t, std::int32_t, std::int32_t)
{
    RaiseException(0xE0000042, 0, 0, nullptr);
    return 0;
}

std::int32_t __cdecl guard_inside_guard(std::int32_t, std::int32_t, std::int32_t)
{
    const guard_result inner = guarded_call(crash_inside, 0, 0, 0);
    return inner.faulted ? static_cast<std::int32_t>(inner.exception_code) : 0;
}

TEST(GuardedCall, ReturnsTheResultOrTheExceptionCodeAndNests)
{
    const guard_result sum = guarded_call(add_three, 1, -2, 40);
    EXPECT_FALSE(sum.faulted);
    EXPECT_EQ(39, sum.value);
    const guard_result crash = guarded_call(crash_inside, 0, 0, 0);
    EXPECT_TRUE(crash.faulted);
    EXPECT_EQ(0xE0000042u, crash.exception_code);
    const guard_result nested = guarded_call(guard_inside_guard, 0, 0, 0);
    EXPECT_FALSE(nested.faulted) << "the inner guard takes the exception";
    EXPECT_EQ(static_cast<std::int32_t>(0xE0000042u), nested.value);
}

// A plug-in that crashes in _DLL_enum is refused whole; loading goes on.
class EnumFault : public TempDirTest {
protected:
    void TearDown() override
    {
        unload_plugins_in(dir());
        TempDirTest::TearDown();
    }
    MainDialog main;
    NoticeRecorder notices;
};

TEST_F(EnumFault, CrashingPluginIsRefusedAndLoadingGoesOn)
{
    std::memset(source_formats, 0, sizeof source_formats);
    std::memset(target_formats, 0, sizeof target_formats);
    trace_mode = 0;
    copy_test_plugin("cnvfaultenum0.dll", dir());
    copy_test_plugin("cnvfaultenum1.dll", dir());
    copy_test_plugin("cnvprobe.dll", dir());
    load_plugins(main.hwnd());

    EXPECT_EQ((std::vector<std::string>{"Probe raw", "Probe upper"}), combo_items(main.item(IDC_SOURCE_FORMAT)));
    EXPECT_EQ((std::vector<std::string>{"Probe mark", "Probe text"}), combo_items(main.item(IDC_TARGET_FORMAT)));
    EXPECT_EQ(format_table_size, find_format("Fault read", source_formats)) << "withdrawn with its plug-in";
    EXPECT_EQ(format_table_size, find_format("Endless", target_formats));
    std::vector<std::string> texts = notices.texts();
    std::sort(texts.begin(), texts.end());
    const char *const expected_text =
        "The plug-in %s stopped with exception 0xC0000005 while declaring its formats.\n"
        "Its formats are not available.";
    char first[256], second[256];
    std::snprintf(first, sizeof first, expected_text, "cnvfaultenum0.dll");
    std::snprintf(second, sizeof second, expected_text, "cnvfaultenum1.dll");
    EXPECT_EQ((std::vector<std::string>{first, second}), texts);
}

}  // namespace
