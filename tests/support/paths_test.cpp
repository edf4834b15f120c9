// Where a path's directory part ends, as every part of the program splits it.
#include <gtest/gtest.h>

#include <string>

#include "support/paths.h"
#include "support/ravel.h"

namespace {

struct split_case {
    const char *path;
    const char *directory;
    const char *name;
};

constexpr split_case split_cases[] = {
    {"*.txt", "", "*.txt"},
    {"", "", ""},
    {"docs\\*.txt", "docs\\", "*.txt"},
    {"docs/*.txt", "docs/", "*.txt"},
    {"docs/sub\\a.txt", "docs/sub\\", "a.txt"},
    {"docs\\sub/a.txt", "docs\\sub/", "a.txt"},
    {"d:*.txt", "d:", "*.txt"},
    {"D:docs/*.txt", "D:docs/", "*.txt"},
    {"c:\\texts\\*.txt", "c:\\texts\\", "*.txt"},
    {"c:/", "c:/", ""},
    {"\\*.txt", "\\", "*.txt"},
    {"\\\\server\\share\\*.txt", "\\\\server\\share\\", "*.txt"},
    {"name:stream", "", "name:stream"},
    {"docs\\name:stream", "docs\\", "name:stream"},
    {"1:a.txt", "", "1:a.txt"},
    {"z:\\work\\bin\\morphex.exe", "z:\\work\\bin\\", "morphex.exe"},
};

TEST(DirectoryPart, EndsAtTheLastSlashOfEitherKindOrTheDrive)
{
    for (const split_case &c : split_cases) {
        const std::string path = c.path;
        EXPECT_EQ(c.directory, path.substr(0, directory_part_length(path))) << "path " << c.path;
        EXPECT_EQ(c.name, std::string(file_name_part(path))) << "path " << c.path;
    }
}

// The file-name routines of the support library take the same last component.
TEST(DirectoryPart, IsTheOneTheNameRoutinesUse)
{
    struct extension_case {
        const char *path;
        const char *expected;
    } cases[] = {
        {"d:a.txt", "d:a.LOW"},
        {"d:readme", "d:readme.LOW"},
        {"old.v2/readme", "old.v2/readme.LOW"},
        {"old.v2\\notes.doc", "old.v2\\notes.LOW"},
    };
    for (const extension_case &c : cases) {
        char path[RAVEL_PATH_SIZE];
        std::snprintf(path, sizeof path, "%s", c.path);
        ASSERT_EQ(0, extension(path, "LOW")) << c.path;
        EXPECT_STREQ(c.expected, path) << "extension of " << c.path;
    }
}

// Names shown relative to a batch's directory, as the window and mxconv show them.
TEST(RelativeTo, CutsTheDirectoryWhateverItsCaseAndOnlyBelowIt)
{
    const struct {
        const char *path;
        const char *expected;
    } cases[] = {
        {"C:\\Texts\\a.txt", "a.txt"},
        {"c:\\TEXTS\\sub\\b.txt", "sub\\b.txt"},
        {"C:\\Textsmore\\a.txt", "C:\\Textsmore\\a.txt"},
        {"C:\\Texts\\", "C:\\Texts\\"},
        {"D:\\a.txt", "D:\\a.txt"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, relative_to(c.path, "C:\\Texts\\")) << "path " << c.path;
    EXPECT_EQ("C:\\a.txt", relative_to("C:\\a.txt", "")) << "no directory";
}

TEST(FullPath, IsBelowTheCurrentDirectoryEndingInItsSeparator)
{
    const std::string current = current_directory_with_separator();
    ASSERT_FALSE(current.empty());
    EXPECT_EQ('\\', current.back()) << current;
    EXPECT_EQ(current + "a.txt", full_path_of("a.txt"));
    EXPECT_EQ("a.txt", relative_to(full_path_of("a.txt"), current));
}

}  // namespace
