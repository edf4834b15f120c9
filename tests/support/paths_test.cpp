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

}  // namespace
