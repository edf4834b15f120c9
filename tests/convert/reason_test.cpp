// A refusal that says why: the plug-in's _DLL_reason on a line of its own
// below the notice the window shows, in either stage, and the notice as it
// always read when there is no reason to give.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "plugins/registry.h"
#include "tests/common/test_support.h"
#include "tests/convert/engine_fixture.h"

namespace {

const std::string wrong_format = " doesn't have the format you selected.";
const std::string null_length = " of null length.";
// What cnvreason.dll's long reason leaves: its first 200 bytes end inside
// the euro sign at bytes 198 to 200, which goes whole.
const std::string long_reason_shown = "Limit met: " + std::string(198 - 11, 'x');

struct stage {
    const char *label;
    const char *source;
    const char *target;
    const char *empty_name;  // the file an empty input is reported under
};
const stage stages[] = {
    {"source stage", "Reason read", "Reason keep", "in.txt"},
    {"target stage", "Reason pass", "Reason write", "in.~mx"},
};

class RefusalReason : public EngineTest {
protected:
    void load(const std::vector<const char *> &plugins)
    {
        for (const char *plugin : plugins)
            copy_test_plugin(plugin, dir());
        load_plugins(main.hwnd());
    }
    // Converts in.txt, holding `content`, from `source` to `target` and
    // returns what the window was told.
    std::vector<recorded_notice> convert(const std::string &content, const char *source, const char *target)
    {
        write_file("in.txt", content);
        const int from = find_format(source, source_formats);
        const int to = find_format(target, target_formats);
        if (from == format_table_size || to == format_table_size) {
            ADD_FAILURE() << "no format " << source << " or " << target;
            return {};
        }
        notices.clear();
        convert_file("in.txt", target_formats[to].ext, source_formats[from].converter, target_formats[to].converter);
        return notices.notices();
    }
};

TEST_F(RefusalReason, TheReasonFollowsTheNoticeOnOneLineOfItsOwn)
{
    load({"cnvreason.dll"});
    struct reason_case {
        const char *input;
        std::string shown;  // the notice's second line; "" for none
    } cases[] = {
        {"-1 plain", "The table in line 12 has no end."},
        {"-2 plain", "The table in line 12 has no end."},
        {"-1 long", long_reason_shown},
        {"-1 lines", "First line second line third line"},
        {"-2 lines", "First line second line third line"},
        {"-1 endless", std::string(200, 'e')},
        {"-1 null", ""},
        {"-2 null", ""},
        {"-1 empty", ""},
        {"-1 crash", ""},
        {"-2 crash", ""},
        {"-1 short", ""},
    };
    for (const stage &s : stages)
        for (const reason_case &c : cases) {
            const std::string label = std::string(s.label) + ", input \"" + c.input + "\"";
            const bool empty = c.input[1] == '2';
            const std::vector<recorded_notice> seen = convert(c.input, s.source, s.target);
            ASSERT_EQ(1u, seen.size()) << label;
            const std::string usual = empty ? "File " + std::string(s.empty_name) + null_length
                                            : "File in.txt" + wrong_format;
            EXPECT_EQ(c.shown.empty() ? usual : usual + "\n" + c.shown, seen[0].text) << label;
            EXPECT_EQ(empty ? notice_kind::timed : notice_kind::modal, seen[0].kind) << label;
            EXPECT_EQ((std::vector<std::string>{"cnvreason.dll", "in.txt"}), dir_entries(dir()))
                << label << ": nothing left behind";
        }
    EXPECT_TRUE(convert("after the crashes", "Reason read", "Reason write").empty());
    EXPECT_EQ("after the crashes", read_file("in.rsn")) << "the plug-in still converts";
}

// The reason is asked of the plug-in whose converter refused: cnvreason.dll
// keeps its last reason while its copying formats run, and a host that
// asked it for the other plug-in's refusal would show it.
TEST_F(RefusalReason, OnlyThePluginThatRefusedIsAsked)
{
    load({"cnvreason.dll", "cnvnoreason.dll"});
    ASSERT_EQ(1u, convert("-1 plain", "Reason read", "Reason keep").size());
    struct pairing {
        const char *source;
        const char *target;
        const char *input;
        std::string notice;
    } cases[] = {
        {"Quiet read", "Quiet keep", "-1 plain", "File in.txt" + wrong_format},
        {"Quiet read", "Quiet keep", "-2 plain", "File in.txt" + null_length},
        {"Reason pass", "Quiet write", "-1 plain", "File in.txt" + wrong_format},
        {"Reason pass", "Quiet write", "-2 plain", "File in.~mx" + null_length},
        {"Quiet pass", "Reason write", "-1 lines", "File in.txt" + wrong_format + "\nFirst line second line third line"},
    };
    for (const pairing &c : cases) {
        const std::vector<recorded_notice> seen = convert(c.input, c.source, c.target);
        ASSERT_EQ(1u, seen.size()) << c.source << " to " << c.target << ", input " << c.input;
        EXPECT_EQ(c.notice, seen[0].text) << c.source << " to " << c.target << ", input " << c.input;
    }
}

// The notices are in the host's code page: the program's own (UTF-8) carries
// the reason's bytes as they are, a Western one the same characters in its
// own bytes.
TEST_F(RefusalReason, TheReasonIsWrittenInTheHostsCodePage)
{
    const char *shown = GetACP() == CP_UTF8 ? "Caf\xC3\xA9: \xE2\x82\xAC sign"
                        : GetACP() == 1252  ? "Caf\xE9: \x80 sign"
                                            : nullptr;
    if (!shown)
        GTEST_SKIP() << "the test knows the texts of code pages 65001 and 1252, not " << GetACP();
    load({"cnvreason.dll"});
    const std::vector<recorded_notice> seen = convert("-1 accents", "Reason read", "Reason keep");
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ("File in.txt" + wrong_format + "\n" + shown, seen[0].text) << "code page " << GetACP();
}

}  // namespace
