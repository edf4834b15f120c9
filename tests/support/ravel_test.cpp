#include <windows.h>

#include <fcntl.h>

#include <array>
#include <cstring>
#include <string>

#include "support/ravel.h"
#include "support/runtime.h"
#include "tests/common/test_support.h"

namespace {

// A path buffer of RAVEL_PATH_SIZE bytes followed by a guard that no routine
// may touch.
struct guarded_path {
    std::array<char, RAVEL_PATH_SIZE + 32> bytes;
    explicit guarded_path(const std::string &text) {
        bytes.fill('#');
        std::snprintf(bytes.data(), RAVEL_PATH_SIZE, "%s", text.c_str());
    }
    char *data() { return bytes.data(); }
    std::string text() const { return bytes.data(); }
    bool guard_intact() const {
        for (std::size_t i = RAVEL_PATH_SIZE; i < bytes.size(); ++i)
            if (bytes[i] != '#') return false;
        return true;
    }
};

struct rename_case {
    const char *input;
    const char *ext;
    const char *expected;
};

TEST(Extension, ReplacesOnlyTheLastDotOfTheLastComponent) {
    const rename_case cases[] = {
        {"a.doc", "txt", "a.txt"},
        {"a.b.doc", "txt", "a.b.txt"},
        {"readme", "txt", "readme.txt"},
        {"old.v2\\readme", "txt", "old.v2\\readme.txt"},
        {"c:\\x.y\\z.q\\a.doc", "txt", "c:\\x.y\\z.q\\a.txt"},
        {"d:file.doc", "rtf", "d:file.rtf"},
        {"dir/name.old", "new", "dir/name.new"},
        {"a.doc", "", "a"},
    };
    for (const auto &c : cases) {
        guarded_path path(c.input);
        EXPECT_EQ(extension(path.data(), c.ext), 0) << c.input;
        EXPECT_EQ(path.text(), c.expected) << "extension(\"" << c.input << "\", \"" << c.ext << "\")";
    }
}

TEST(Extension, ResultThatWouldNotFitLeavesThePathUnchanged) {
    const std::string fits(251, 'n');  // + ".txt" = 255 characters
    guarded_path exact(fits + ".doc");
    EXPECT_EQ(extension(exact.data(), "txt"), 0);
    EXPECT_EQ(exact.text(), fits + ".txt");

    const std::string full(255, 'n');
    for (auto routine : {+[](char *p) { return extension(p, "txt"); }, +[](char *p) { return extension_temp(p); },
                         +[](char *p) { return extension_num(p); }}) {
        guarded_path path(full);
        EXPECT_EQ(routine(path.data()), -1);
        EXPECT_EQ(path.text(), full);
        EXPECT_TRUE(path.guard_intact());
    }
}

TEST(ExtensionTemp, AlwaysDiffersFromTheInput) {
    const rename_case cases[] = {
        {"a.doc", nullptr, "a.~mx"},
        {"a.~mx", nullptr, "a.~my"},
        {"a.~MX", nullptr, "a.~my"},
        {"a.~my", nullptr, "a.~mx"},
        {"dir.x\\name", nullptr, "dir.x\\name.~mx"},
        {"a.b.c", nullptr, "a.b.~mx"},
    };
    for (const auto &c : cases) {
        guarded_path path(c.input);
        EXPECT_EQ(extension_temp(path.data()), 0) << c.input;
        EXPECT_EQ(path.text(), c.expected) << "extension_temp(\"" << c.input << "\")";
        EXPECT_NE(path.text(), c.input);
    }
}

TEST(ExtensionNumbered, NamesTheNthCandidateWithoutLookingAtTheDisk) {
    struct numbered_case {
        const char *input;
        unsigned number;
        int result;
        const char *expected;
    } cases[] = {
        {"a.txt", 1, 0, "a_1.txt"},
        {"dir.x\\name", 12, 0, "dir.x\\name_12"},
        {"a.b.doc", 999999, 0, "a.b_999999.doc"},
        {"a.txt", 0, -1, "a.txt"},
        {"a.txt", 1000000, -1, "a.txt"},
    };
    for (const numbered_case &c : cases) {
        guarded_path path(c.input);
        EXPECT_EQ(extension_numbered(path.data(), c.number), c.result) << c.input << ", " << c.number;
        EXPECT_EQ(path.text(), c.expected) << "extension_numbered(\"" << c.input << "\", " << c.number << ")";
    }
    guarded_path full(std::string(251, 'n') + ".txt");
    EXPECT_EQ(extension_numbered(full.data(), 1), -1);
    EXPECT_EQ(full.text(), std::string(251, 'n') + ".txt");
    EXPECT_TRUE(full.guard_intact());
}

class ExtensionNum : public TempDirTest {};

TEST_F(ExtensionNum, NeverReturnsAnExistingName) {
    write_file("a.txt", "original");
    write_file("a_1.txt", "1");
    write_file("a_2.txt", "2");
    guarded_path path("a.txt");
    EXPECT_EQ(extension_num(path.data()), 0);
    EXPECT_EQ(path.text(), "a_3.txt");
    EXPECT_EQ(read_file("a.txt"), "original");

    // A directory takes a name as much as a file does.
    write_file("b", "");
    make_dir("b_1");
    make_dir("sub.d");
    write_file("sub.d\\c.txt", "");
    const std::pair<std::string, std::string> cases[] = {
        {"b", "b_2"},
        {"sub.d\\c.txt", "sub.d\\c_1.txt"},
        {dir() + "a.txt", dir() + "a_3.txt"},
    };
    for (const auto &[input, expected] : cases) {
        guarded_path p(input);
        EXPECT_EQ(extension_num(p.data()), 0) << input;
        EXPECT_EQ(p.text(), expected) << "extension_num(\"" << input << "\")";
    }
}

TEST_F(ExtensionNum, ExisteSeesFilesAndDirectories) {
    write_file("f.txt", "");
    make_dir("d.dir");
    EXPECT_NE(existe("f.txt"), 0);
    EXPECT_NE(existe("d.dir"), 0);
    EXPECT_EQ(existe("missing.txt"), 0);
    EXPECT_EQ(existe(""), 0);
}

TEST(Strcnv, MapsEveryByteUnsignedUpToTheTerminator) {
    std::array<unsigned char, 256> table{};
    for (int i = 1; i < 256; ++i) table[i] = static_cast<unsigned char>(256 - i);
    char text[] = "A\xE9z";
    strcnv(text, text, table.data());
    EXPECT_EQ(std::string(text), std::string("\xBF\x17\x86")) << "in place through 256-i";
    char out[8];
    std::memset(out, '#', sizeof out);
    strcnv(out, "", table.data());
    EXPECT_EQ(out[0], '\0');
    EXPECT_EQ(out[1], '#');
}

TEST(SuppressionCrlf, RemovesTheLineEndOnly) {
    const std::pair<const char *, const char *> cases[] = {
        {"a\r\n", "a"}, {"a\n", "a"}, {"a\r", "a"}, {"a", "a"},
        {"", ""},        {"\r\n", ""}, {"a\rb\n", "a\rb"}, {"a b \r\n", "a b "},
    };
    for (const auto &[input, expected] : cases) {
        char line[16];
        std::snprintf(line, sizeof line, "%s", input);
        suppression_crlf(line);
        EXPECT_STREQ(line, expected) << "input with " << std::strlen(input) << " bytes";
    }
}

TEST(Strapp, StopsAtTheBufferSize) {
    char text[6] = {'a', 'b', '\0', '#', '#', '#'};
    EXPECT_EQ(strapp(text, 4, 'c'), 0);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(strapp(text, 4, 'd'), -1);
    EXPECT_STREQ(text, "abc");
    EXPECT_EQ(text[4], '#');
}

TEST(MinstrAnsi, LowersInTheAnsiCodePage) {
    if (GetACP() != 1252) GTEST_SKIP() << "ANSI code page is " << GetACP() << ", not 1252";
    char text[] = "C:\\WORK\\\xC9T\xC9\\";
    minstr_ansi(text);
    EXPECT_STREQ(text, "c:\\work\\\xE9t\xE9\\");
}

TEST(Salloc, GivesZeroedWritableBytes) {
    auto *block = static_cast<unsigned char *>(salloc(768));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 768; ++i) ASSERT_EQ(block[i], 0) << "byte " << i;
    std::memset(block, 0xAA, 768);
}

TEST(EnregNoms, KeepsCopiesCutTo255) {
    std::string input = "in.~mx";
    enreg_noms(input.c_str(), "out.txt");
    input = "changed";
    const char *in = nullptr, *out = nullptr;
    enreg_noms_last(&in, &out);
    EXPECT_STREQ(in, "in.~mx");
    EXPECT_STREQ(out, "out.txt");
    const std::string long_name(400, 'x');
    enreg_noms(long_name.c_str(), long_name.c_str());
    enreg_noms_last(&in, &out);
    EXPECT_EQ(std::strlen(in), 255u);
}

class SecOpenRo : public TempDirTest {};

TEST_F(SecOpenRo, OpensForReadingWithRuntimeLength) {
    write_file("ten.txt", "0123456789");
    SetFileAttributesA("ten.txt", FILE_ATTRIBUTE_READONLY);
    const int fd = sec_open_ro("ten.txt");
    ASSERT_NE(fd, -1);
    EXPECT_EQ(filelength(fd), 10);
    char c = 0;
    EXPECT_EQ(_read(fd, &c, 1), 1);
    EXPECT_EQ(c, '0');
    EXPECT_EQ(_write(fd, "x", 1), -1) << "opened for writing";
    EXPECT_EQ(_close(fd), 0);
    SetFileAttributesA("ten.txt", FILE_ATTRIBUTE_NORMAL);
    EXPECT_EQ(sec_open_ro("missing.txt"), -1);
    EXPECT_EQ(filelength(-1), -1);
}

TEST_F(SecOpenRo, SupportLfn) {
    EXPECT_EQ(support_lfn(-1), 1) << "the test drive takes long names";
    const DWORD drives = GetLogicalDrives();
    for (int d = 25; d >= 0; --d)
        if (!(drives & (1u << d))) {
            EXPECT_EQ(support_lfn(d), 0) << "drive " << char('A' + d) << " does not exist";
            break;
        }
}

}  // namespace
