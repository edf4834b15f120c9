// The HTML Help side of the help: the compiled morphex.chm read through its
// own directory (the ITSF container's PMGL listing chunks), the choice of
// viewer for each kind of system, and the names of both help files.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "app/help.h"
#include "tests/common/test_support.h"

namespace {

std::string html_help_path() { return std::string(MORPHEX_BIN_DIR) + "\\morphex.chm"; }

std::uint32_t read_u32(const std::string &data, std::size_t at)
{
    std::uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(data[at + i]);
    return value;
}

std::uint64_t read_u64(const std::string &data, std::size_t at)
{
    return read_u32(data, at) | static_cast<std::uint64_t>(read_u32(data, at + 4)) << 32;
}

// A number in 7-bit groups, most significant first, high bit set on all
// groups but the last.
std::optional<std::uint64_t> read_encint(const std::string &data, std::size_t &at, std::size_t end)
{
    std::uint64_t value = 0;
    while (at < end) {
        const auto byte = static_cast<unsigned char>(data[at++]);
        value = value << 7 | (byte & 0x7F);
        if (!(byte & 0x80))
            return value;
    }
    return std::nullopt;
}

struct chm_entry {
    std::string name;
    std::uint64_t section;
    std::uint64_t length;
};

struct chm_directory {
    std::string error;  // empty when the file parsed
    std::vector<chm_entry> entries;
};

// Layout of the container: the ITSF header gives the directory's place; the
// directory (ITSP header) is a row of fixed-size chunks, of which the PMGL
// ones list every file with its section, offset and length.
constexpr std::size_t itsf_directory_offset = 0x48;
constexpr std::size_t itsp_header_size = 0x54;
constexpr std::size_t itsp_chunk_size = 0x10;
constexpr std::size_t itsp_chunk_count = 0x2C;
constexpr std::size_t pmgl_free_space = 0x04;
constexpr std::size_t pmgl_entries = 0x14;

chm_directory read_chm_directory(const std::string &chm)
{
    chm_directory result;
    if (chm.size() < itsf_directory_offset + 16 || chm.compare(0, 4, "ITSF") != 0) {
        result.error = "no ITSF header";
        return result;
    }
    const std::uint64_t directory = read_u64(chm, itsf_directory_offset);
    const std::uint64_t directory_length = read_u64(chm, itsf_directory_offset + 8);
    if (directory + directory_length > chm.size() || directory_length < itsp_header_size ||
        chm.compare(directory, 4, "ITSP") != 0) {
        result.error = "no ITSP directory where the header points";
        return result;
    }
    const std::uint32_t chunk_size = read_u32(chm, directory + itsp_chunk_size);
    const std::uint32_t chunks = read_u32(chm, directory + itsp_chunk_count);
    if (chunk_size < pmgl_entries || itsp_header_size + std::uint64_t{chunk_size} * chunks > directory_length) {
        result.error = "directory chunks run past the directory";
        return result;
    }
    for (std::uint32_t i = 0; i < chunks; ++i) {
        const std::size_t chunk = directory + itsp_header_size + std::size_t{chunk_size} * i;
        if (chm.compare(chunk, 4, "PMGL") != 0)
            continue;  // an index chunk (PMGI) repeats names only
        const std::uint32_t free_space = read_u32(chm, chunk + pmgl_free_space);
        if (free_space > chunk_size - pmgl_entries) {
            result.error = "listing chunk " + std::to_string(i) + " has more free space than room";
            return result;
        }
        const std::size_t end = chunk + chunk_size - free_space;
        std::size_t at = chunk + pmgl_entries;
        while (at < end) {
            const auto name_length = read_encint(chm, at, end);
            if (!name_length || at + *name_length > end) {
                result.error = "entry name runs past listing chunk " + std::to_string(i);
                return result;
            }
            chm_entry entry{chm.substr(at, *name_length), 0, 0};
            at += *name_length;
            const auto section = read_encint(chm, at, end);
            const auto offset = read_encint(chm, at, end);
            const auto length = read_encint(chm, at, end);
            if (!section || !offset || !length) {
                result.error = "entry " + entry.name + " cut short";
                return result;
            }
            entry.section = *section;
            entry.length = *length;
            result.entries.push_back(entry);
        }
    }
    return result;
}

// The keywords of the headings the help source gives with `commands`
// (\C chapters, \H sections, \S subsections): halibut writes each one's
// page as KEYWORD.html.
std::vector<std::string> heading_keywords(const std::string &source, std::initializer_list<const char *> commands)
{
    std::vector<std::string> keywords;
    for (const char *command : commands) {
        for (std::size_t at = source.find(command); at != std::string::npos; at = source.find(command, at + 1)) {
            if (at > 0 && source[at - 1] != '\n')
                continue;
            const std::size_t start = at + 3;
            const std::size_t end = source.find('}', start);
            if (end != std::string::npos)
                keywords.push_back(source.substr(start, end - start));
        }
    }
    return keywords;
}

TEST(HtmlHelpFile, IsAnHtmlHelpContainerWithEveryPageItsContentsAndIndex)
{
    const std::string chm = read_file(html_help_path());
    ASSERT_FALSE(chm.empty()) << html_help_path() << " is missing or empty";
    const chm_directory directory = read_chm_directory(chm);
    ASSERT_EQ("", directory.error) << html_help_path();
    std::set<std::string> names;
    for (const auto &entry : directory.entries)
        if (entry.length > 0)
            names.insert(entry.name);

    for (const char *required : {"/#SYSTEM", "/contents.hhc", "/index.hhk"})
        EXPECT_EQ(1u, names.count(required)) << html_help_path() << " lacks " << required;

    const std::string source = read_file(MORPHEX_HELP_SOURCE);
    // The HTML Help file has a page for every heading.
    const std::vector<std::string> keywords = heading_keywords(source, {"\\C{", "\\H{", "\\S{"});
    ASSERT_GE(keywords.size(), 5u) << "too few headings found in " << MORPHEX_HELP_SOURCE;
    for (const auto &keyword : keywords)
        EXPECT_EQ(1u, names.count("/" + keyword + ".html"))
            << html_help_path() << " has no page for the heading " << keyword;
}

TEST(HelpPages, TheBuildsDocsHoldAPageForEveryChapterAndSection)
{
    const std::string pages = MORPHEX_HELP_PAGES_DIR;
    EXPECT_NE(std::string::npos, read_file(pages + "\\index.html").find("Morphex Help")) << pages << "\\index.html";
    const std::string source = read_file(MORPHEX_HELP_SOURCE);
    const std::vector<std::string> keywords = heading_keywords(source, {"\\C{", "\\H{"});
    ASSERT_GE(keywords.size(), 5u) << "too few headings found in " << MORPHEX_HELP_SOURCE;
    for (const auto &keyword : keywords)
        EXPECT_TRUE(file_exists(pages + "\\" + keyword + ".html")) << "no page " << keyword << ".html in " << pages;
}

TEST(HtmlHelpFile, ReaderRejectsWhatIsNoHtmlHelpFile)
{
    EXPECT_NE("", read_chm_directory("").error);
    EXPECT_NE("", read_chm_directory(read_file(std::string(MORPHEX_BIN_DIR) + "\\morphex.hlp")).error);
    std::string cut = read_file(html_help_path());
    ASSERT_GT(cut.size(), 0x200u);
    cut.resize(0x100);
    EXPECT_NE("", read_chm_directory(cut).error) << "a CHM cut after its header";
}

struct viewer_case {
    const char *system;
    help_system given;
    help_viewer expected;
};

constexpr viewer_case viewer_cases[] = {
    {"Windows 10, hhctrl.ocx present", {10, false, true}, help_viewer::html_help},
    {"Windows 7, hhctrl.ocx present", {6, false, true}, help_viewer::html_help},
    {"Windows Vista without hhctrl.ocx", {6, false, false}, help_viewer::winhelp},
    {"Windows 11 without hhctrl.ocx", {10, false, false}, help_viewer::winhelp},
    {"Windows XP, hhctrl.ocx present", {5, false, true}, help_viewer::winhelp},
    {"Windows 98", {4, false, false}, help_viewer::winhelp},
    {"Wine reporting Windows 10, hhctrl.ocx present", {10, true, true}, help_viewer::winhelp},
    {"Wine without hhctrl.ocx", {10, true, false}, help_viewer::winhelp},
    {"Wine reporting Windows XP", {5, true, true}, help_viewer::winhelp},
};

TEST(HelpViewerChoice, HtmlHelpFromVistaOnOutsideWineWinHelpElsewhere)
{
    for (const auto &c : viewer_cases)
        EXPECT_EQ(c.expected, choose_help_viewer(c.given))
            << c.system << ": expected " << (c.expected == help_viewer::html_help ? "HTML Help" : "WinHelp");
}

struct help_name_case {
    const char *exe_path;
    const char *extension;
    const char *help_path;
};

constexpr help_name_case help_name_cases[] = {
    {"C:\\TOOLS\\CONV.EXE", "CHM", "C:\\TOOLS\\CONV.CHM"},
    {"C:\\TOOLS\\CONV.EXE", "HLP", "C:\\TOOLS\\CONV.HLP"},
    {"C:\\MY.TOOLS\\CONV", "CHM", "C:\\MY.TOOLS\\CONV.CHM"},
    {"C:\\TOOLS\\CONV.OLD.EXE", "CHM", "C:\\TOOLS\\CONV.OLD.CHM"},
};

TEST(HelpFileName, GivesBothHelpFilesTheirExtension)
{
    for (const auto &c : help_name_cases) {
        char actual[256] = "";
        help_file_name(c.exe_path, actual, sizeof actual, c.extension);
        EXPECT_STREQ(c.help_path, actual) << "for executable " << c.exe_path << " and " << c.extension;
    }
}

TEST(HelpFileName, BothNamesStayWithin255Characters)
{
    // The longest executable path: 255 characters, extension included.
    std::string exe = "C:\\" + std::string(248, 'a') + ".exe";
    ASSERT_EQ(255u, exe.size());
    std::string no_extension = "C:\\" + std::string(252, 'b');
    for (const char *extension : {"CHM", "HLP"}) {
        char actual[256];
        help_file_name(exe.c_str(), actual, sizeof actual, extension);
        EXPECT_EQ(255u, std::strlen(actual)) << extension;
        EXPECT_EQ(std::string(".") + extension, std::string(actual).substr(251)) << extension;
        help_file_name(no_extension.c_str(), actual, sizeof actual, extension);
        EXPECT_EQ(255u, std::strlen(actual)) << extension << ": a name without extension, cut to 255";
    }
}

}  // namespace
