// Two-stage conversion of one file, through the real probe plug-in DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <string>
#include <vector>

#include "convert/batch.h"
#include "convert/convert_file.h"
#include "plugins/morphex_plugin.h"
#include "tests/common/test_support.h"
#include "tests/convert/small_drive.h"

namespace {

using set_results_fn = void(__cdecl *)(int, int);

struct probe_plugin {
    HMODULE module = nullptr;
    convert_fn upper = nullptr;
    convert_fn copy = nullptr;
    convert_fn mark = nullptr;
    set_results_fn set_results = nullptr;
};

const probe_plugin &probe()
{
    static probe_plugin plugin = [] {
        probe_plugin p;
        p.module = LoadLibraryA(MORPHEX_TEST_PLUGIN_DIR "/cnvprobe.dll");
        if (p.module) {
            p.upper = plugin_function<convert_fn>(p.module, "probe_upper");
            p.copy = plugin_function<convert_fn>(p.module, "probe_copy");
            p.mark = plugin_function<convert_fn>(p.module, "probe_mark");
            p.set_results = plugin_function<set_results_fn>(p.module, "probe_set_results");
        }
        return p;
    }();
    return plugin;
}

class ConvertFile : public TempDirTest {
protected:
    void SetUp() override
    {
        TempDirTest::SetUp();
        ASSERT_NE(nullptr, probe().module) << "cnvprobe.dll not loaded from " MORPHEX_TEST_PLUGIN_DIR;
        if (!source_path) {
            ASSERT_TRUE(alloc_path_buffers());
        }
        replace_mode = 0;
        probe().set_results(0, 0);
    }
    void TearDown() override
    {
        probe().set_results(0, 0);
        replace_mode = 0;
        TempDirTest::TearDown();
    }
    NoticeRecorder notices;
};

long long seconds_apart(FILETIME a, FILETIME b)
{
    ULARGE_INTEGER x{{a.dwLowDateTime, a.dwHighDateTime}}, y{{b.dwLowDateTime, b.dwHighDateTime}};
    const long long diff = static_cast<long long>(x.QuadPart) - static_cast<long long>(y.QuadPart);
    return (diff < 0 ? -diff : diff) / 10000000;
}

TEST_F(ConvertFile, OutputLiesBesideTheSourceUnderTheTargetExtension)
{
    write_file("report.doc", "hello");
    convert_file("report.doc", "txt", probe().upper, probe().mark);
    EXPECT_EQ("<HELLO>", read_file("report.txt"));
    EXPECT_EQ("hello", read_file("report.doc"));
    EXPECT_EQ((std::vector<std::string>{"report.doc", "report.txt"}), dir_entries(dir()));
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(ConvertFile, ExistingNamesAreNeverWrittenOver)
{
    struct naming_case {
        const char *source;
        const char *ext;
        const char *taken;     // files present before, besides the source
        const char *expected;  // where the output lands
    } cases[] = {
        {"a.doc", "txt", "a.txt", "a_1.txt"},
        {"a.txt", "txt", "", "a_1.txt"},
        {"b.txt", "txt", "b_1.txt", "b_2.txt"},
        {"notes", "txt", "", "notes.txt"},
    };
    for (const naming_case &c : cases) {
        write_file(c.source, "source");
        if (*c.taken)
            write_file(c.taken, "keep me");
        convert_file(c.source, c.ext, probe().upper, probe().copy);
        EXPECT_EQ("SOURCE", read_file(c.expected)) << c.source << " -> ext " << c.ext << ", expected output "
                                                   << c.expected;
        EXPECT_EQ("source", read_file(c.source)) << c.source;
        if (*c.taken) {
            EXPECT_EQ("keep me", read_file(c.taken)) << c.taken << " was touched";
        }
    }
}

TEST_F(ConvertFile, EveryKindOfTakenNameIsSkipped)
{
    struct taken_case {
        const char *source;
        std::vector<std::string> files;        // present before, besides the source
        std::vector<std::string> directories;  // present before
        const char *expected;                  // where the output of ext "txt" lands
    } cases[] = {
        {"a.doc", {"A.TXT"}, {}, "a_1.txt"},
        {"b.doc", {}, {"b.txt"}, "b_1.txt"},
        {"c.doc", {"c.txt"}, {"c_1.txt"}, "c_2.txt"},
        {"D.TXT", {}, {}, "D_1.txt"},
        {"e.txt", {"e_1.txt", "E_2.TXT"}, {}, "e_3.txt"},
        {"f.doc", {"f_1.txt"}, {}, "f.txt"},
    };
    for (const taken_case &c : cases) {
        write_file(c.source, "source");
        for (const std::string &name : c.files)
            write_file(name, "keep " + name);
        for (const std::string &name : c.directories)
            make_dir(name);
        convert_file(c.source, "txt", probe().upper, probe().copy);
        EXPECT_EQ("SOURCE", read_file(c.expected)) << c.source << ": expected output " << c.expected;
        EXPECT_EQ("source", read_file(c.source)) << c.source;
        for (const std::string &name : c.files)
            EXPECT_EQ("keep " + name, read_file(name)) << c.source << ": " << name << " was touched";
        EXPECT_EQ(c.files.size() + c.directories.size() + 2, dir_entries(dir()).size())
            << c.source << ": files were left behind";
        for (const std::string &name : dir_entries(dir())) {
            if (GetFileAttributesA(name.c_str()) & FILE_ATTRIBUTE_DIRECTORY)
                RemoveDirectoryA(name.c_str());
            else
                DeleteFileA(name.c_str());
        }
    }
}

// A source converter that, on its first call, makes the file the next
// source's output would have taken, as another program might while the
// batch runs.
int __cdecl planting_upper(FILE *in, FILE *out)
{
    static bool planted;
    if (!planted) {
        planted = true;
        write_file("b.txt", "made during the batch");
    }
    int c;
    while ((c = fgetc(in)) != EOF)
        fputc(toupper(c), out);
    return 0;
}

TEST_F(ConvertFile, ANameTakenAfterTheListIsMadeIsNotWrittenOver)
{
    write_file("a.doc", "one");
    write_file("b.doc", "two");
    convert_batch("*.doc", "txt", batch_pattern, planting_upper, probe().copy);
    EXPECT_EQ("ONE", read_file("a.txt"));
    EXPECT_EQ("made during the batch", read_file("b.txt"));
    EXPECT_EQ("TWO", read_file("b_1.txt"));
    EXPECT_EQ((std::vector<std::string>{"a.doc", "a.txt", "b.doc", "b.txt", "b_1.txt"}), dir_entries(dir()));
}

TEST_F(ConvertFile, ATakenIntermediateNameIsLeftAlone)
{
    write_file("a.doc", "text");
    write_file("a.~mx", "a file of the user's");
    convert_file("a.doc", "txt", probe().upper, probe().copy);
    EXPECT_EQ("TEXT", read_file("a.txt"));
    EXPECT_EQ("a file of the user's", read_file("a.~mx"));
    EXPECT_EQ((std::vector<std::string>{"a.doc", "a.txt", "a.~mx"}), dir_entries(dir()));
}

TEST_F(ConvertFile, ReplaceModeKeepsNameDateAndLeavesNothingBehind)
{
    make_dir("texts");
    write_file("texts\\a.txt", "replace me");
    set_last_write("texts\\a.txt", 2001, 2, 3);
    const FILETIME before = last_write("texts\\a.txt");
    replace_mode = 1;
    convert_file("texts\\a.txt", "txt", probe().upper, probe().mark);
    EXPECT_EQ("<REPLACE ME>", read_file("texts\\a.txt"));
    EXPECT_LE(seconds_apart(before, last_write("texts\\a.txt")), 2);
    EXPECT_EQ(std::vector<std::string>{"a.txt"}, dir_entries(dir() + "texts"));
    EXPECT_EQ(std::vector<std::string>{"texts"}, dir_entries(dir()));
    EXPECT_TRUE(notices.notices().empty());
}

TEST_F(ConvertFile, ReplaceModeThatCannotRenameKeepsTheSource)
{
    write_file("held.txt", "original");
    // Another program holds the file open without delete sharing.
    HANDLE holder = CreateFileA("held.txt", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    replace_mode = 1;
    convert_file("held.txt", "txt", probe().upper, probe().copy);
    CloseHandle(holder);
    EXPECT_EQ("original", read_file("held.txt"));
    EXPECT_EQ(std::vector<std::string>{"held.txt"}, dir_entries(dir()));
    ASSERT_EQ(1u, notices.notices().size());
    EXPECT_NE(std::string::npos, notices.texts()[0].find("held.txt")) << notices.texts()[0];
}

// Every converter result in each stage: the notice and what remains.
TEST_F(ConvertFile, ConverterResultsGiveTheirNoticesAndLeftovers)
{
    struct result_case {
        int source_result;
        int target_result;
        bool replace;
        notice_kind kind;   // when a notice is expected
        const char *notice; // "" for none; %s is the name the notice carries
        std::vector<std::string> remaining;
        const char *source_content;
    };
    const result_case cases[] = {
        {0, 0, false, notice_kind::modal, "", {"in.doc", "in.txt"}, "data"},
        {1, 0, false, notice_kind::modal, "", {"in.doc", "in.txt"}, "data"},
        {-3, 1, false, notice_kind::modal, "", {"in.doc", "in.txt"}, "data"},
        {0, -3, false, notice_kind::modal, "", {"in.doc", "in.txt"}, "data"},
        {-1, 0, false, notice_kind::modal, "File in.doc doesn't have the format you selected.", {"in.doc"}, "data"},
        {-2, 0, false, notice_kind::timed, "File in.doc of null length.", {"in.doc"}, "data"},
        {0, -1, false, notice_kind::modal, "File in.doc doesn't have the format you selected.", {"in.doc"}, "data"},
        {0, -2, false, notice_kind::timed, "File in.~mx of null length.", {"in.doc"}, "data"},
        {0, -2, true, notice_kind::timed, "File in.~mx of null length.", {"in.doc"}, "data"},
        {-1, 0, true, notice_kind::modal, "File in.doc doesn't have the format you selected.", {"in.doc"}, "data"},
        {0, 0, true, notice_kind::modal, "", {"in.doc"}, "DATA"},
    };
    for (const result_case &c : cases) {
        notices.clear();
        write_file("in.doc", "data");
        probe().set_results(c.source_result, c.target_result);
        replace_mode = c.replace ? 1 : 0;
        convert_file("in.doc", "txt", probe().upper, probe().copy);
        const std::string label = "source " + std::to_string(c.source_result) + ", target " +
                                  std::to_string(c.target_result) + (c.replace ? ", replace" : "");
        EXPECT_EQ(c.remaining, dir_entries(dir())) << label;
        EXPECT_EQ(c.source_content, read_file("in.doc")) << label;
        if (*c.notice) {
            ASSERT_EQ(1u, notices.notices().size()) << label;
            EXPECT_EQ(c.kind, notices.notices()[0].kind) << label;
            EXPECT_EQ(c.notice, notices.texts()[0]) << label;
        } else {
            EXPECT_TRUE(notices.notices().empty()) << label << ": " << notices.texts()[0];
        }
        DeleteFileA("in.txt");
        DeleteFileA("in.doc");
    }
}

std::vector<std::string> entries_seen_by_target;
int __cdecl looking_copy(FILE *in, FILE *out)
{
    entries_seen_by_target = dir_entries(".\\");
    int c;
    while ((c = fgetc(in)) != EOF)
        fputc(c, out);
    return 0;
}

TEST_F(ConvertFile, WithoutSourceConverterTheTargetReadsTheSourceItself)
{
    write_file("plain.doc", "as is");
    convert_file("plain.doc", "prb", nullptr, probe().mark);
    EXPECT_EQ("<as is>", read_file("plain.prb"));
    EXPECT_EQ("as is", read_file("plain.doc"));
    EXPECT_EQ((std::vector<std::string>{"plain.doc", "plain.prb"}), dir_entries(dir()));

    write_file("second.doc", "x");
    convert_file("second.doc", "out", nullptr, looking_copy);
    EXPECT_EQ((std::vector<std::string>{"plain.doc", "plain.prb", "second.doc", "second.out"}),
              entries_seen_by_target)
        << "an intermediate file existed during the target stage";

    probe().set_results(0, CONVERT_EMPTY_INPUT);
    convert_file("plain.doc", "prb", nullptr, probe().copy);
    ASSERT_EQ(1u, notices.notices().size());
    EXPECT_EQ("File plain.doc of null length.", notices.texts()[0]);
    EXPECT_EQ("as is", read_file("plain.doc"));
}

TEST_F(ConvertFile, ReadOnlySourceIsOnlyReported)
{
    write_file("locked.doc", "x");
    SetFileAttributesA("locked.doc", FILE_ATTRIBUTE_READONLY);
    convert_file("locked.doc", "txt", probe().upper, probe().copy);
    SetFileAttributesA("locked.doc", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(std::vector<std::string>{"locked.doc"}, dir_entries(dir()));
    ASSERT_EQ(1u, notices.notices().size());
    EXPECT_EQ(notice_kind::timed, notices.notices()[0].kind);
    EXPECT_EQ("Unable to open file\nlocked.doc.\n(It is probably still open\nin another application).",
              notices.texts()[0]);
}

TEST_F(ConvertFile, TargetWithoutConverterNeverMakesAnOutput)
{
    write_file("a.doc", "keep");
    for (int mode : {0, 1}) {
        notices.clear();
        replace_mode = mode;
        convert_file("a.doc", "txt", probe().upper, nullptr);
        EXPECT_EQ(std::vector<std::string>{"a.doc"}, dir_entries(dir())) << "replace mode " << mode;
        EXPECT_EQ("keep", read_file("a.doc"));
        EXPECT_EQ(1u, notices.notices().size()) << "replace mode " << mode;
    }
}

TEST_F(ConvertFile, LongNamesCutTheNoticeNotTheBuffer)
{
    const std::string name(250, 'n');
    convert_file((name + ".doc").c_str(), "txt", probe().upper, probe().copy);
    ASSERT_EQ(1u, notices.notices().size());
    EXPECT_EQ(255u, notices.texts()[0].size());
    EXPECT_EQ(0u, notices.texts()[0].rfind("Unable to open file\n", 0));
}

// Writes far more than any intermediate it is given: the output outgrows a
// drive that held the intermediate.
int __cdecl swelling_copy(FILE *in, FILE *out)
{
    const std::string block(4096, 's');
    while (std::fgetc(in) != EOF) {
    }
    for (int i = 0; i < 50; ++i)
        std::fwrite(block.data(), 1, block.size(), out);
    return 0;
}

// The disk fills while a stage writes: whatever the converter returned, the
// file has failed, nothing is left behind, the source is as it was.
TEST_F(ConvertFile, AFullDiskFailsTheFileAndLeavesTheSourceWhole)
{
    SmallDrive drive;
    if (!drive.here())
        GTEST_SKIP() << drive.why_not();
    struct full_disk_case {
        const char *what;
        std::size_t source_size;
        ULONGLONG left_free;
        bool first_stage;
        bool swelling_target;
    };
    const full_disk_case cases[] = {
        {"the intermediate runs out of room", 150000, 16 * 1024, true, false},
        {"the output runs out of room", 150000, 16 * 1024, false, false},
        {"the output outgrows the intermediate", 100, 16 * 1024, true, true},
        {"only the intermediate's last flush fails", 100, 0, true, false},
        {"only the output's last flush fails", 100, 0, false, false},
    };
    std::string content;
    for (std::size_t i = 0; content.size() < 150000; ++i)
        content += "line " + std::to_string(i) + "\r\n";
    const std::string expected_reason = system_text(ERROR_DISK_FULL);
    ASSERT_FALSE(expected_reason.empty());
    for (const full_disk_case &c : cases) {
        for (int mode : {0, 1}) {
            const std::string label = std::string(c.what) + (mode ? ", replace mode" : ", beside the source");
            const std::string source = drive.dir() + "letter.txt";
            const std::string before = content.substr(0, c.source_size);
            write_file(source, before);
            ASSERT_TRUE(drive.fill(c.left_free)) << label;
            notices.clear();
            replace_mode = mode;
            convert_file(source.c_str(), "LOW", c.first_stage ? probe().upper : nullptr,
                         c.swelling_target ? swelling_copy : probe().copy);
            drive.empty();
            EXPECT_EQ(before, read_file(source)) << label;
            EXPECT_EQ(std::vector<std::string>{"letter.txt"}, dir_entries(drive.dir())) << label;
            ASSERT_EQ(1u, notices.notices().size()) << label;
            EXPECT_EQ(notice_kind::modal, notices.notices()[0].kind) << label;
            EXPECT_EQ("Unable to convert file\n" + source + ".\n" + expected_reason, notices.texts()[0]) << label;
        }
    }
}

}  // namespace
